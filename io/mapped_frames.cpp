#include "io/mapped_frames.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <utility>

namespace lumaqc {

namespace {

// The mappings held, read by the signal handler without a lock: each entry
// is written between two increments of its sequence number (odd while it
// changes), and the handler takes an entry only when it read the same even
// number before and after its bounds. An entry hit by a fault is stable:
// the mapping is being read, so it is held and stays registered.
struct Entry {
    std::atomic<bool> used{false};
    std::atomic<uint32_t> sequence{0};
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<bool> lost{false};
};
constexpr size_t kEntries = 256;  // far more than a run holds (a few per thread)
Entry registry[kEntries];

struct sigaction previousHandler {};
std::atomic<bool> guarded{false};
std::atomic<bool> populates{true};  // the kernel knows MADV_POPULATE_READ

void onBusError(int signal, siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (Entry& entry : registry) {
        const uint32_t before = entry.sequence.load();
        if ((before & 1) != 0) continue;
        const uintptr_t begin = entry.begin.load();
        const uintptr_t end = entry.end.load();
        if (entry.sequence.load() != before || address < begin || address >= end) continue;
        // Zero pages where the file's were: the access goes on, and the
        // frame is reported lost.
        void* zeros = ::mmap(reinterpret_cast<void*>(begin), end - begin, PROT_READ,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (zeros == MAP_FAILED) break;
        entry.lost.store(true);
        return;
    }
    // Not a mapped frame's: as if this handler were not there.
    if ((previousHandler.sa_flags & SA_SIGINFO) != 0) {
        previousHandler.sa_sigaction(signal, info, context);
    } else if (previousHandler.sa_handler != SIG_DFL && previousHandler.sa_handler != SIG_IGN) {
        previousHandler.sa_handler(signal);
    } else {
        // The fault comes again on return and takes the default action; a
        // signal sent (kill) is sent again.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(SIGBUS, &fallback, nullptr);
        if (info->si_code <= 0) raise(SIGBUS);
    }
}

// A frame's mapping: registered from its mapping to its unmapping.
class Mapping {
  public:
    Mapping(void* base, size_t length, Entry& entry)
        : base_(base), length_(length), entry_(entry) {}
    ~Mapping() {
        write(0, 0);
        ::munmap(base_, length_);
        entry_.used.store(false);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    // Claims a free entry for [base, base + length); null when none is free.
    static Entry* claim(void* base, size_t length) {
        for (Entry& entry : registry) {
            bool free = false;
            if (!entry.used.compare_exchange_strong(free, true)) continue;
            entry.lost.store(false);
            const auto begin = reinterpret_cast<uintptr_t>(base);
            writeEntry(entry, begin, begin + length);
            return &entry;
        }
        return nullptr;
    }

    bool lost() const { return entry_.lost.load(); }

  private:
    static void writeEntry(Entry& entry, uintptr_t begin, uintptr_t end) {
        entry.sequence.fetch_add(1);
        entry.begin.store(begin);
        entry.end.store(end);
        entry.sequence.fetch_add(1);
    }
    void write(uintptr_t begin, uintptr_t end) { writeEntry(entry_, begin, end); }

    void* base_;
    size_t length_;
    Entry& entry_;
};

// The file `fd` names now.
struct FileState {
    dev_t device = 0;
    ino_t inode = 0;
    int64_t size = -1;
};

FileState fileState(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return {};
    return {st.st_dev, st.st_ino, static_cast<int64_t>(st.st_size)};
}

}  // namespace

bool guardMappedFrames() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction handler {};
        handler.sa_sigaction = onBusError;
        handler.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&handler.sa_mask);
        guarded.store(sigaction(SIGBUS, &handler, &previousHandler) == 0);
    });
    return guarded.load();
}

bool mapFrame(int fd, int64_t offset, int64_t bytes, int64_t needed, HeldLuma& held,
              std::function<ReadResult()> error) {
    if (!guarded.load() || !populates.load() || bytes <= 0 || offset < 0) return false;
    static const int64_t page = sysconf(_SC_PAGESIZE);
    const int64_t start = offset / page * page;
    const auto length = static_cast<size_t>(offset - start + bytes);
    void* base = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(start));
    if (base == MAP_FAILED) return false;
    Entry* entry = Mapping::claim(base, length);
    if (entry == nullptr) {
        ::munmap(base, length);
        return false;
    }
    auto mapping = std::make_shared<Mapping>(base, length, *entry);
    // Fails (EFAULT), without a signal, for pages beyond the end of the
    // file; a file that ends inside the last page is found by its size.
    int populated = -1;
    do {
        populated = ::madvise(base, length, MADV_POPULATE_READ);
    } while (populated != 0 && errno == EINTR);
    if (populated != 0 && errno == EINVAL) populates.store(false);
    const FileState mapped = fileState(fd);
    if (populated != 0 || mapped.size < needed) return false;
    held.data = static_cast<const uint8_t*>(base) + (offset - start);
    // Pages wholly past a cut fault; the rest of the page a cut falls in
    // reads as zeros, without a fault: when that rest overlaps the bytes,
    // the file's size tells (whether they were read before the cut or
    // after cannot be known: they count as lost). The mapping stays on the
    // file even if the descriptor comes to name another one (then only
    // faults tell).
    held.lost = [mapping, fd, offset, bytes, mapped, error = std::move(error)](bool previousLost) {
        const FileState now = fileState(fd);
        const bool same = now.device == mapped.device && now.inode == mapped.inode;
        const int64_t zerosEnd = (now.size + page - 1) / page * page;
        const bool zeroed = same && now.size < offset + bytes && zerosEnd > offset;
        if (previousLost || mapping->lost() || zeroed) return error();
        return ReadResult{};
    };
    held.hold = std::move(mapping);
    return true;
}

}  // namespace lumaqc
