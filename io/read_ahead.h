// Reading ahead in files of which only some bytes are read (the luma planes
// of raw and Y4M files): the kernel's own read-ahead, which would read every
// byte of the file, is turned off, and the bytes the frames ahead will be
// read from are asked for instead, a few megabytes ahead of the reading.
#pragma once

#include <fcntl.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstdint>

namespace lumaqc {

// The frames asked for ahead of the one being read: about 16 MiB, enough
// for the storage to stream while the frames before are analysed.
inline int64_t framesAhead(int64_t frameBytes) {
    return std::clamp<int64_t>((int64_t{16} << 20) / std::max<int64_t>(frameBytes, 1), 2, 64);
}

// Turns the kernel's read-ahead off for `fd` (not a file: nothing changes).
inline void readOnlyWhatIsAskedFor(int fd) {
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
}

// Asks for `bytes` of `fd` at `offset` to be read in the background,
// unless their last byte is in memory already (a file read again).
inline void askAhead(int fd, int64_t offset, int64_t bytes) {
    uint8_t last = 0;
    iovec probe{&last, 1};
    if (bytes <= 0 || preadv2(fd, &probe, 1, offset + bytes - 1, RWF_NOWAIT) == 1) return;
    (void)posix_fadvise(fd, offset, bytes, POSIX_FADV_WILLNEED);
}

}  // namespace lumaqc
