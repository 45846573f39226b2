#include "wholeFile.h"

#include "failure.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>

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

// The temporary copy's name while it exists unmoved, for the signal
// handler, which may only read it and unlink it: a lock-free atomic is safe
// to read there.
std::atomic<const char*> interruptedCopy{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free);

const int interruptions[] = {SIGINT, SIGTERM};

extern "C" void removeCopyAndEnd(int signal) {
    const char* copy = interruptedCopy;
    if (copy != nullptr) {
        unlink(copy);
    }
    // The handler was reset to the default on entry: raised again, the
    // signal ends the tool as it would have without us once this returns.
    raise(signal);
}

// Holds SIGINT and SIGTERM back while the copy's name changes hands, so that
// the handler never sees a copy without its name or a name already moved.
class InterruptionsHeld {
public:
    InterruptionsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int signal : interruptions) {
            sigaddset(&held, signal);
        }
        sigprocmask(SIG_BLOCK, &held, &before_);
    }
    InterruptionsHeld(const InterruptionsHeld&) = delete;
    InterruptionsHeld& operator=(const InterruptionsHeld&) = delete;
    ~InterruptionsHeld() { sigprocmask(SIG_SETMASK, &before_, nullptr); }

private:
    sigset_t before_;
};

// While a copy is being made, Ctrl-C and a cancelled CI job remove it. A
// signal that was ignored (a background job's SIGINT) stays ignored.
class InterruptionHandlers {
public:
    InterruptionHandlers() {
        struct sigaction handler {};
        handler.sa_handler = removeCopyAndEnd;
        handler.sa_flags = SA_RESETHAND;
        // One interruption at a time: the other waits until the first has
        // removed the copy and ended the tool.
        sigemptyset(&handler.sa_mask);
        for (int signal : interruptions) {
            sigaddset(&handler.sa_mask, signal);
        }
        for (std::size_t i = 0; i < std::size(interruptions); ++i) {
            sigaction(interruptions[i], nullptr, &before_[i]);
            if (before_[i].sa_handler != SIG_IGN) {
                sigaction(interruptions[i], &handler, nullptr);
            }
        }
    }
    InterruptionHandlers(const InterruptionHandlers&) = delete;
    InterruptionHandlers& operator=(const InterruptionHandlers&) = delete;
    ~InterruptionHandlers() {
        for (std::size_t i = 0; i < std::size(interruptions); ++i) {
            sigaction(interruptions[i], &before_[i], nullptr);
        }
    }

private:
    struct sigaction before_[std::size(interruptions)];
};

// Makes the copy's file from the pattern in `path` and hands its name to the
// signal handler in the same step.
int createCopy(std::string& path) {
    InterruptionsHeld held;
    int descriptor = mkstemp(&path[0]);
    if (descriptor >= 0) {
        interruptedCopy = path.c_str();
    }
    return descriptor;
}

// The copy being made, beside its target so that the final rename stays on
// one file system. It is removed on every way out unless it has been moved,
// an interruption included.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& folder)
        : path_(folder + "/.brandXXXXXX"), file_(createCopy(path_)) {
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
        InterruptionsHeld held;
        if (!path_.empty()) {
            unlink(path_.c_str());
        }
        interruptedCopy = nullptr;
    }
    FileDescriptor& file() { return file_; }
    void moveTo(const std::string& target) {
        InterruptionsHeld held;
        if (rename(path_.c_str(), target.c_str()) != 0) {
            failWithErrno("cannot write " + target, errno);
        }
        interruptedCopy = nullptr;
        path_.clear();
    }

private:
    InterruptionHandlers handlers_;  // declared first: in place before the file exists
    std::string path_;               // before the file: mkstemp fills it in
    FileDescriptor file_;
};

}  // namespace

std::string readWholeFile(const std::string& path) {
    // Without O_NONBLOCK the open of a FIFO waits for a writer, for ever in
    // a CI job with a mistyped path; on a regular file the flag changes nothing.
    FileDescriptor file{open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
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

void replaceFile(const std::string& path, const std::string& bytes, const std::string& like) {
    // The move would put the copy in the place of whatever stands at the
    // name: never of a folder or a device (as root, /dev/null itself), nor
    // of a file its owner made read-only, which the Windows move refuses.
    struct stat target {};
    if (stat(path.c_str(), &target) == 0 && !S_ISREG(target.st_mode)) {
        fail(path + (S_ISDIR(target.st_mode) ? " names a folder" : " names a device") +
             ", not the file to write");
    }
    if (stat(path.c_str(), &target) == 0 && (target.st_mode & 0222) == 0) {
        fail(path + " is a read-only file: make it writable or write the branded copy to another file");
    }
    struct stat source {};
    if (stat(like.c_str(), &source) != 0) {
        failWithErrno("cannot read " + like, errno);
    }
    std::string folder = std::filesystem::path(path).parent_path().string();
    TemporaryFile copy{folder.empty() ? std::string(".") : folder};
    // mkstemp makes the file for its owner alone; the copy gets its
    // source's permissions through the umask, as cp gives them, so that an
    // executable launcher gives an executable copy.
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(copy.file().get(), source.st_mode & 0777 & ~mask) != 0) {
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
