// The file of a file output (log, JSON document, CSV, HTML report, events),
// or standard output for the path "-". A regular file keeps its earlier
// contents until the run has its first row (start()): what is written before
// goes to it then, and a file that is never started is left as it was, or
// removed again when it was created for the run. Every write is flushed at
// once so that a run that stops keeps what was written, a write that fails
// part-way is cut back so that the file ends with the last whole write, and
// every failure is described in one line that names the file (or standard
// output) and gives the system's reason.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace lumaqc {

// True for the path that names standard output.
inline bool isStandardOutput(const std::string& path) {
    return path == "-";
}

// The file a path leads to: the end of a chain of symbolic links (the file
// may still be missing), or the path itself when it is no link.
std::string linkedFile(const std::string& path);

// An output as a check names it ("the JSON document (--json)") and its path.
// A file `kept` is no output: the run leaves it alone, and another output
// on it is refused as overwriting it.
struct NamedOutput {
    std::string what;
    std::string path;
    bool kept = false;
};

// Empty when `outputs` can be written without destroying the input or one
// another; otherwise the one-line message (line feed included) that refuses
// the run: two documents on standard output, an output on the input file
// (`input` "-" is standard input, identified by its device and inode when it
// is a file), two outputs on one file. Files are compared by device and inode
// when they exist, else by their normalised paths; character devices
// (/dev/null) may take several outputs, and an output on a file kept is
// refused. `program` starts the message ("lumaqc").
std::string checkOutputs(const std::string& program, const std::string& input,
                         const std::vector<NamedOutput>& outputs);

class OutputFile {
  public:
    // Whether a regular file is locked while this object writes it.
    enum class Lock { None, Advisory };

    // Opens `path`, creating it if it is missing and leaving an existing
    // file's contents as they are until start(); `what` names the file in
    // messages ("the JSON file"). When that fails, isOpen() is false and
    // error() says "Cannot create <what> <path>: <reason>". With
    // Lock::Advisory a regular file gets an advisory lock for the life of
    // this object; when another process holds it, busy() is true, the file
    // is left alone and error() names that process. Files that are not
    // regular (a pipe, a device) are written as they come. The path "-"
    // writes to standard output as it is: never locked, emptied or cut back
    // ("Cannot write <what> to standard output: ...").
    OutputFile(std::string what, std::string path, Lock lock = Lock::None);
    // Closes the file if it is still open, without checking (standard output
    // stays open); a file this object created and never started is removed.
    ~OutputFile();
    // Off: writes stay in the file's buffer until it fills or the file is
    // closed (a document written whole at once); on by default.
    void flushEachWrite(bool on) { flushEachWrite_ = on; }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool isOpen() const { return file_ != nullptr; }
    bool busy() const { return busy_; }
    // errno of the failed creation, 0 when it succeeded.
    int openErrno() const { return openErrno_; }

    // Empties a regular file (the earlier contents go only now) and writes
    // what was written to it before. Later calls do nothing. False, with
    // error() as for write(), when that fails.
    bool start();
    // Writes and flushes `text`; a regular file not started yet keeps it
    // for start(). False, with error() "Cannot write <what> <path>:
    // <reason>", when that fails or the file is not open.
    bool write(std::string_view text);
    // Closes the file (standard output is flushed); false, with error() as
    // for write(), when data could not be written. A regular file never
    // started is left as it was (removed when created here). Later calls do
    // nothing and return true.
    bool close();

    const std::string& error() const { return error_; }

    // True when the file open here is a regular file and still the one at
    // `path` (same device and inode): nobody replaced or removed it.
    bool isRegularFileAt(const std::string& path) const;

  private:
    void failed(int error);
    bool open(Lock lock);
    void forget();

    std::string what_;
    std::string path_;
    std::FILE* file_ = nullptr;
    bool flushEachWrite_ = true;
    int openErrno_ = 0;
    std::string error_;
    bool regular_ = false;     // a regular file: emptied at start(), cut back after a failed write
    bool created_ = false;     // created by this object
    std::string createdPath_;  // where: the path, or the target of a link to a missing file
    bool started_ = false;
    std::string held_;  // written to a regular file before start()
    bool busy_ = false;
    off_t written_ = 0;  // bytes of whole writes in the file
};

}  // namespace lumaqc
