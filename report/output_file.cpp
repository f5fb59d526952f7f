#include "report/output_file.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "io/display_name.h"
namespace lumaqc {

namespace {

// What identifies the file at `path`: its device and inode when it exists,
// else its normalised absolute path. `shared` is set for character devices.
struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string path;
    bool shared = false;

    bool operator==(const Identity& other) const {
        if (exists != other.exists) return false;
        return exists ? device == other.device && inode == other.inode : path == other.path;
    }
};

Identity identityOf(const struct stat& st) {
    Identity id;
    id.exists = true;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.shared = S_ISCHR(st.st_mode);
    return id;
}

Identity identify(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) return identityOf(st);
    // A link to a file still missing stands for that file (a write creates
    // it); symbolic links in the directories resolved, "." and ".." removed.
    Identity id;
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(linkedFile(path), error);
    std::filesystem::path normal = std::filesystem::weakly_canonical(absolute, error);
    if (error) normal = absolute.lexically_normal();
    id.path = normal.empty() ? path : normal.string();
    return id;
}

// Standard input as an input: a file it reads can be overwritten like a
// named one; a pipe or a terminal cannot.
Identity standardInput() {
    struct stat st {};
    if (fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode)) return identityOf(st);
    Identity none;
    none.shared = true;
    return none;
}

}  // namespace

std::string checkOutputs(const std::string& program, const std::string& input,
                         const std::vector<NamedOutput>& outputs) {
    std::vector<Identity> ids;
    for (const NamedOutput& output : outputs) ids.push_back(identify(output.path));
    const bool fromStdin = input == "-";
    const Identity source = fromStdin ? standardInput() : identify(input);
    const std::string inputName = fromStdin ? "file on standard input" : printableName(input);
    for (size_t i = 0; i < outputs.size(); ++i) {
        const std::string& path = outputs[i].path;
        if (isStandardOutput(path)) {
            for (size_t j = 0; j < i; ++j) {
                if (isStandardOutput(outputs[j].path)) {
                    return program + ": " + outputs[j].what + " and " + outputs[i].what +
                           " cannot both go to standard output (-)\n";
                }
            }
            continue;
        }
        if (!outputs[i].kept && !source.shared && ids[i] == source) {
            return program + ": " + outputs[i].what + " would overwrite the input " + inputName +
                   "\n";
        }
        for (size_t j = 0; j < i; ++j) {
            if (!isStandardOutput(outputs[j].path) && !ids[i].shared && ids[i] == ids[j] &&
                !outputs[j].kept) {
                if (outputs[i].kept) {
                    return program + ": " + outputs[j].what + " would overwrite " +
                           outputs[i].what + "\n";
                }
                return program + ": " + outputs[j].what + " and " + outputs[i].what +
                       " would both be written to " + printableName(path) + "\n";
            }
        }
    }
    return "";
}

OutputFile::OutputFile(std::string what, std::string path, Lock lock)
    : what_(std::move(what)), path_(std::move(path)) {
    if (isStandardOutput(path_)) {
        file_ = stdout;
        started_ = true;
        return;
    }
    if (!open(lock)) return;
    if (file_ == nullptr) {
        openErrno_ = errno;
        error_ = "Cannot create " + what_ + " " + printableName(path_) + ": " +
                 std::strerror(openErrno_);
        return;
    }
    struct stat st {};
    regular_ = fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode);
    // Pipes and devices are written as they come.
    started_ = !regular_;
}

// Opens without truncating (creating the file if it is missing) and takes
// the lock when asked. False when another process holds it; otherwise file_
// is set, or errno says why it is not.
bool OutputFile::open(Lock lock) {
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    created_ = fd >= 0;
    createdPath_ = path_;
    if (fd < 0 && errno == EEXIST) {
        fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
        // A symbolic link to a file that does not exist yet: the file is
        // created where the link leads (O_EXCL does not follow links).
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
            created_ = fd >= 0;
            if (created_) createdPath_ = linkedFile(path_);
        }
    }
    if (fd < 0) return true;
    struct stat st {};
    // An advisory lock on the whole file. File systems without locks (F_SETLK
    // fails otherwise) are written without one.
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (lock == Lock::Advisory && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        fcntl(fd, F_SETLK, &whole) != 0 && (errno == EACCES || errno == EAGAIN)) {
        struct flock holder = whole;
        const bool known = fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK;
        error_ = "lumaqc: " + what_ + " " + printableName(path_) +
                 " is being written by another run" +
                 (known ? " (process " + std::to_string(holder.l_pid) + ")" : std::string());
        busy_ = true;
        created_ = false;
        ::close(fd);
        return false;
    }
    file_ = fdopen(fd, "w");
    if (file_ == nullptr) {
        const int error = errno;
        ::close(fd);
        if (created_) ::unlink(createdPath_.c_str());
        created_ = false;
        errno = error;
    }
    return true;
}

// A file never started is left as it was: one created for the run goes again
// (unless something else took its name meanwhile).
void OutputFile::forget() {
    if (created_ && !started_ && isRegularFileAt(createdPath_)) ::unlink(createdPath_.c_str());
    created_ = false;
    held_.clear();
}

OutputFile::~OutputFile() {
    forget();
    if (file_ != nullptr && file_ != stdout) std::fclose(file_);
}

std::string linkedFile(const std::string& path) {
    std::error_code error;
    std::filesystem::path named = path;
    for (int hop = 0; hop < 40 && std::filesystem::is_symlink(named, error); ++hop) {
        const std::filesystem::path target = std::filesystem::read_symlink(named, error);
        if (error) break;
        named = target.is_absolute() ? target : named.parent_path() / target;
    }
    return named.string();
}

bool OutputFile::isRegularFileAt(const std::string& path) const {
    if (file_ == nullptr || file_ == stdout) return false;
    struct stat open {};
    struct stat named {};
    return fstat(fileno(file_), &open) == 0 && S_ISREG(open.st_mode) &&
           lstat(path.c_str(), &named) == 0 && named.st_dev == open.st_dev &&
           named.st_ino == open.st_ino;
}

void OutputFile::failed(int error) {
    const std::string where =
        isStandardOutput(path_) ? " to standard output" : " " + printableName(path_);
    error_ = "Cannot write " + what_ + where + ": " + std::strerror(error);
}

bool OutputFile::start() {
    if (file_ == nullptr || started_) return true;
    started_ = true;
    if (ftruncate(fileno(file_), 0) != 0) {
        failed(errno);
        return false;
    }
    return held_.empty() || write(std::exchange(held_, std::string()));
}

bool OutputFile::write(std::string_view text) {
    if (file_ == nullptr) return false;
    if (!started_) {
        held_ += text;
        return true;
    }
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() ||
        (flushEachWrite_ && std::fflush(file_) != 0)) {
        failed(errno);
        // Part of the text may have gone through (a file size limit): the file
        // is cut back to its last whole write and the rest is dropped.
        __fpurge(file_);
        if (regular_ && ftruncate(fileno(file_), written_) != 0) {
            // The write error is the one to report.
        }
        return false;
    }
    written_ += static_cast<off_t>(text.size());
    return true;
}

bool OutputFile::close() {
    if (file_ == nullptr) return true;
    forget();
    std::FILE* file = std::exchange(file_, nullptr);
    if ((file == stdout ? std::fflush(file) : std::fclose(file)) != 0) {
        failed(errno);
        return false;
    }
    return true;
}

}  // namespace lumaqc
