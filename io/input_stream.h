// A forward-only byte stream over a file or standard input whose first bytes
// can be looked at before deciding how to read it: the bytes peeked are
// delivered again by the reads that follow, so nothing is lost on a pipe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace lumaqc {

class InputStream {
  public:
    // Takes ownership of `file` (standard input is never closed). `name` is
    // how messages refer to the input.
    InputStream(FILE* file, std::string name);
    ~InputStream();
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    // Looks at up to `count` bytes ahead without consuming them. They are
    // read from the descriptor itself, so that before any read() nothing of
    // the input waits in the FILE's buffer (see readWaiting()).
    std::string peek(size_t count);
    // As peek(), without the copy: how many of `count` bytes ahead are there.
    size_t lookAhead(size_t count);
    // Reads up to `count` bytes; fewer only at the end of the input or on a
    // read error (see failed()).
    size_t read(void* buffer, size_t count);
    // What makes readWaiting() give up: `wake` (a descriptor, -1 for none)
    // turning readable, or `giveUp(opaque)` returning non-zero, which is asked
    // when a signal interrupts the wait and at least every kGiveUpCheckMs.
    struct Waiting {
        int wake = -1;
        int (*giveUp)(void*) = nullptr;
        void* opaque = nullptr;
    };
    static constexpr int kGiveUpCheckMs = 100;
    // Reads up to `count` bytes as read() does, straight from the descriptor
    // after the bytes peeked, waiting for them with poll(): fewer when
    // `waiting` says to give up. Never mixed with read() on one stream.
    size_t readWaiting(void* buffer, size_t count, const Waiting& waiting);
    // Reads and discards `count` bytes; returns how many there were.
    size_t skip(size_t count);
    // Reads one line up to and including '\n', at most `limit` bytes. Returns
    // false (with what was read in `line`) when no line feed came in time.
    bool readLine(std::string& line, size_t limit);
    // Whether the input ends here: waits for one more byte, which is left
    // for the reads that follow. True on a read error too (see failed()).
    bool atEnd();

    // Hands the file over (for reading at offsets); bytes peeked are dropped.
    FILE* release();

    bool failed() const { return failed_ || std::ferror(file_) != 0; }
    int errorNumber() const { return errno_; }
    const std::string& name() const { return name_; }

  private:
    FILE* file_;
    std::string name_;
    std::string pending_;  // bytes peeked and not yet read
    size_t pendingPos_ = 0;
    int errno_ = 0;
    bool failed_ = false;  // a read of the descriptor itself failed
    // Moves up to `count` peeked bytes to `out`; returns how many.
    size_t takePending(unsigned char* out, size_t count);
};

}  // namespace lumaqc
