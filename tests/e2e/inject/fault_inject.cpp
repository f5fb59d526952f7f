// Fault injection for the end-to-end tests, preloaded into the binary under
// test with LD_PRELOAD. LUMAQC_FAULT="OFFSET:ACTION" arms one fault, which
// fires once, just before the first read (fread at the stream's position,
// pread at its offset, mmap of a region at its last byte) or, for `full`, the
// first flush (fflush) of a regular file at or beyond byte OFFSET:
//   eio        the read fails with EIO, and so does every later read of that
//              stream (its descriptor now reads a region that does not exist)
//   truncate=N the file is cut to N bytes, as if another process shrank it
//   signal=N   signal N is raised, as if it came from outside
//   full       the flush and every later write of that stream fail with
//              ENOSPC (its descriptor now writes to /dev/full)
// LUMAQC_FAULT="threads=N" lets N threads be created and fails every later
// pthread_create with EAGAIN, as when the process runs out of room for stacks.
// Standard input, output and error are left alone. Without LUMAQC_FAULT the
// library changes nothing.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using FreadFunction = size_t (*)(void*, size_t, size_t, FILE*);
using FflushFunction = int (*)(FILE*);

bool armed = true;

int realFflush(FILE* stream) {
    static const FflushFunction real = reinterpret_cast<FflushFunction>(dlsym(RTLD_NEXT, "fflush"));
    return real(stream);
}

// Redirects the descriptor of `stream` to `path`, opened with `flags`.
void redirect(int fd, const char* path, int flags) {
    const int other = open(path, flags);
    if (other < 0) std::abort();
    dup2(other, fd);
    close(other);
}

// `stream` is null for pread(), which reads `fd` at `position`.
void inject(FILE* stream, int fd, long long position, bool flushing) {
    const char* fault = std::getenv("LUMAQC_FAULT");
    if (!armed || fault == nullptr || fd < 0) return;
    struct stat st {};
    if (fd <= STDERR_FILENO || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
    char* action = nullptr;
    const long long offset = std::strtoll(fault, &action, 10);
    if (*action != ':' || (stream != nullptr ? ftello(stream) : position) < offset) return;
    ++action;
    if (flushing != (std::strcmp(action, "full") == 0)) return;
    armed = false;
    // Bytes read ahead into the stream's buffer would hide the fault.
    if (!flushing && stream != nullptr) realFflush(stream);
    if (std::strcmp(action, "eio") == 0) {
        // Address 0 of the process is never mapped: reading there gives EIO.
        redirect(fd, "/proc/self/mem", O_RDONLY);
    } else if (std::strcmp(action, "full") == 0) {
        redirect(fd, "/dev/full", O_WRONLY);
    } else if (std::strncmp(action, "truncate=", 9) == 0) {
        // The stream is open for reading only: cut the file through its path.
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        if (truncate(path.c_str(), std::strtoll(action + 9, nullptr, 10)) != 0) std::abort();
    } else if (std::strncmp(action, "signal=", 7) == 0) {
        raise(static_cast<int>(std::strtol(action + 7, nullptr, 10)));
    } else {
        std::abort();
    }
}

}  // namespace

extern "C" size_t fread(void* buffer, size_t size, size_t count, FILE* stream) {
    static const FreadFunction real = reinterpret_cast<FreadFunction>(dlsym(RTLD_NEXT, "fread"));
    inject(stream, stream != nullptr ? fileno(stream) : -1, 0, false);
    return real(buffer, size, count, stream);
}

extern "C" ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
    using Pread = ssize_t (*)(int, void*, size_t, off_t);
    static const Pread real = reinterpret_cast<Pread>(dlsym(RTLD_NEXT, "pread"));
    inject(nullptr, fd, offset, false);
    return real(fd, buffer, count, offset);
}

// Called by the allocator too (anonymous mappings, left alone): the system
// call is made directly, without a lookup that could allocate.
extern "C" void* mmap(void* address, size_t length, int protection, int flags, int fd,
                      off_t offset) {
    if (fd >= 0 && length > 0) {
        inject(nullptr, fd, offset + static_cast<off_t>(length) - 1, false);
    }
    return reinterpret_cast<void*>(
        syscall(SYS_mmap, address, length, protection, flags, fd, offset));
}

extern "C" int fflush(FILE* stream) {
    inject(stream, stream != nullptr ? fileno(stream) : -1, 0, true);
    return realFflush(stream);
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const Create real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    static int allowed = -1;  // threads still allowed; -1: no limit
    const char* fault = std::getenv("LUMAQC_FAULT");
    if (allowed == -1 && fault != nullptr && std::strncmp(fault, "threads=", 8) == 0) {
        allowed = static_cast<int>(std::strtol(fault + 8, nullptr, 10));
    }
    if (allowed == 0) return EAGAIN;
    if (allowed > 0) --allowed;
    return real(thread, attr, start, arg);
}
