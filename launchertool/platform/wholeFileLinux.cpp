#include "wholeFile.h"

#include "failure.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

[[noreturn]] void failWithErrno(const std::string& what, int code) {
    fail(what + ": " + std::strerror(code));
}

class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { close(); }
    int get() const { return descriptor_; }
    // Whether the close succeeded, which for a written file says whether its
    // data reached the disk's cache.
    bool close() {
        int descriptor = descriptor_;
        descriptor_ = -1;
        return descriptor < 0 || ::close(descriptor) == 0;
    }

private:
    int descriptor_;
};

// The copy being made, beside its target so that the final rename stays on
// one file system. It is removed on every way out unless it has been moved.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& folder)
        : path_(folder + "/.brandXXXXXX"), file_(mkstemp(&path_[0])) {
        if (file_.get() < 0) {
            int code = errno;
            path_.clear();
            failWithErrno("cannot write in " + folder, code);
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        file_.close();
        if (!path_.empty()) {
            unlink(path_.c_str());
        }
    }
    FileDescriptor& file() { return file_; }
    void moveTo(const std::string& target) {
        if (rename(path_.c_str(), target.c_str()) != 0) {
            failWithErrno("cannot write " + target, errno);
        }
        path_.clear();
    }

private:
    std::string path_;  // declared first: mkstemp fills it in
    FileDescriptor file_;
};

}  // namespace

std::string readWholeFile(const std::string& path) {
    FileDescriptor file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat facts {};
    if (file.get() < 0 || fstat(file.get(), &facts) != 0) {
        failWithErrno("cannot read " + path, errno);
    }
    if (!S_ISREG(facts.st_mode)) {
        fail("cannot read " + path + ": it is no regular file");
    }
    if (static_cast<unsigned long long>(facts.st_size) > largestReadFile) {
        fail("cannot read " + path + ": the file is larger than 256 MB");
    }
    std::string bytes(static_cast<std::size_t>(facts.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t got = read(file.get(), &bytes[done], bytes.size() - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            failWithErrno("cannot read " + path, errno);
        }
        if (got == 0) {
            fail("cannot read " + path + ": the file shrank while it was read");
        }
        done += static_cast<std::size_t>(got);
    }
    return bytes;
}

bool sameFile(const std::string& first, const std::string& second) {
    struct stat one {};
    struct stat other {};
    return stat(first.c_str(), &one) == 0 && stat(second.c_str(), &other) == 0 &&
           one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

void replaceFile(const std::string& path, const std::string& bytes) {
    // The move would put the copy in the place of whatever stands at the
    // name: never of a folder or a device (as root, /dev/null itself).
    struct stat target {};
    if (stat(path.c_str(), &target) == 0 && !S_ISREG(target.st_mode)) {
        fail(path + (S_ISDIR(target.st_mode) ? " names a folder" : " names a device") +
             ", not the file to write");
    }
    std::string folder = std::filesystem::path(path).parent_path().string();
    TemporaryFile copy{folder.empty() ? std::string(".") : folder};
    // mkstemp makes the file for its owner alone; the copy is a program
    // like any other file the deployer writes.
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(copy.file().get(), 0666 & ~mask) != 0) {
        failWithErrno("cannot write " + path, errno);
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t written = write(copy.file().get(), bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            failWithErrno("cannot write " + path, errno);
        }
        done += static_cast<std::size_t>(written);
    }
    if (fsync(copy.file().get()) != 0 || !copy.file().close()) {
        failWithErrno("cannot write " + path, errno);
    }
    copy.moveTo(path);
}
