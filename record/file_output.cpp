// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/file_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <QFile>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace dmm {

namespace {

constexpr int kMostLinks = 40;  // as the system's own limit on a path
constexpr size_t kLongestTemporaryStem = 200;

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where a symbolic link points, relative targets taken from the link's folder.
bool ReadLink(const std::string& link, std::string& target) {
    std::string buf(4096, '\0');
    const ssize_t n = ::readlink(link.c_str(), buf.data(), buf.size());
    if (n < 0 || size_t(n) >= buf.size())
        return false;
    buf.resize(size_t(n));
    target = (!buf.empty() && buf[0] == '/') ? buf : DirectoryOf(link) + "/" + buf;
    return true;
}

unsigned long NextTemporarySuffix() {
    static std::atomic<unsigned long> counter{0};
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return (unsigned long)(ts.tv_nsec) ^ ((unsigned long)(::getpid()) << 20) ^
           (counter.fetch_add(1) * 2654435761UL);
}

}  // namespace

std::string SystemErrorText(int error) {
    char buf[256];
    // The GNU strerror_r returns its text, which need not be in buf.
    return ::strerror_r(error, buf, sizeof buf);
}

FileOutput::FileOutput(const QString& fileName, bool waitForReader, Placement placement)
    : fileName_(fileName), waitForReader_(waitForReader), placement_(placement) {}

FileOutput::~FileOutput() {
    cancel();
}

bool FileOutput::fail(int error) {
    if (error_.empty())
        errorNumber_ = error;
    return fail(SystemErrorText(error));
}

bool FileOutput::fail(std::string reason) {
    if (error_.empty())
        error_ = std::move(reason);
    return false;
}

bool FileOutput::open() {
    std::string path = QFile::encodeName(fileName_).toStdString();
    if (path.empty())
        return fail(ENOENT);
    // Follow the links to the file they name. A link into /proc (as
    // /dev/stdout is) names an open file of this process: it is written into.
    for (int links = 0;; ++links) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT)
                return openRegular(path);
            return fail(errno);
        }
        if (S_ISLNK(st.st_mode)) {
            std::string target;
            if (links >= kMostLinks)
                return fail(ELOOP);
            if (!ReadLink(path, target))
                return fail(errno ? errno : ENAMETOOLONG);
            if (target.rfind("/proc/", 0) == 0)
                return openDirect(path, false);
            path = target;
            continue;
        }
        if (S_ISREG(st.st_mode))
            return openRegular(path);
        if (S_ISDIR(st.st_mode))
            return fail(EISDIR);
        return openDirect(path, S_ISFIFO(st.st_mode));
    }
}

bool FileOutput::openDirect(const std::string& path, bool isFifo) {
    direct_ = true;
    // Appending: a file reached through /proc keeps what its opener wrote.
    const int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_APPEND;
    fd_ = ::open(path.c_str(), flags | (isFifo ? O_NONBLOCK : 0));
    if (fd_ < 0 && isFifo && errno == ENXIO) {
        if (!waitForReader_)
            return fail(std::string("nobody is reading from this FIFO"));
        do {
            fd_ = ::open(path.c_str(), flags);
        } while (fd_ < 0 && errno == EINTR);
    }
    if (fd_ < 0)
        return fail(errno);
    const int now = ::fcntl(fd_, F_GETFL);
    if (now >= 0 && (now & O_NONBLOCK))
        ::fcntl(fd_, F_SETFL, now & ~O_NONBLOCK);
    return true;
}

bool FileOutput::openRegular(const std::string& target) {
    return placement_ == Placement::WriteInPlace ? openInPlace(target) : openReplacement(target);
}

bool FileOutput::openInPlace(const std::string& target) {
    direct_ = true;
    syncable_ = true;
    fd_ = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    return fd_ >= 0 || fail(errno);
}

bool FileOutput::openReplacement(const std::string& target) {
    syncable_ = true;
    target_ = target;
    const std::string stem =
        DirectoryOf(target) + "/." + BaseNameOf(target).substr(0, kLongestTemporaryStem) + ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%06lx", NextTemporarySuffix() & 0xFFFFFF);
        const std::string name = stem + suffix;
        // Created as any new file is, under the user's umask.
        fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd_ >= 0) {
            temporary_ = name;
            break;
        }
        if (errno != EEXIST)
            return fail(errno);
    }
    if (fd_ < 0)
        return fail(EEXIST);
    // The new file takes the old one's permissions (and, for root, its owner).
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0) {
        ::fchmod(fd_, old.st_mode & 07777);
        if (::geteuid() == 0) {
            const int kept = ::fchown(fd_, old.st_uid, old.st_gid);
            static_cast<void>(kept);  // root keeps what it can
        }
    }
    return true;
}

bool FileOutput::writeOut(const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(errno);
        }
        if (n == 0)
            return fail(ENOSPC);
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool FileOutput::flushBuffer() {
    if (buffer_.empty())
        return true;
    const bool ok = writeOut(buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok;
}

bool FileOutput::write(std::string_view bytes) {
    if (failed())
        return false;
    if (fd_ < 0)
        return fail(EBADF);
    if (buffer_.size() + bytes.size() < kBufferBytes) {
        buffer_.append(bytes);
        return true;
    }
    if (!flushBuffer())
        return false;
    if (bytes.size() >= kBufferBytes)
        return writeOut(bytes.data(), bytes.size());
    buffer_.assign(bytes);
    return true;
}

bool FileOutput::flush() {
    if (failed())
        return false;
    return fd_ >= 0 ? flushBuffer() : fail(EBADF);
}

bool FileOutput::sync() {
    if (!flush())
        return false;
    return !syncable_ || ::fdatasync(fd_) == 0 || fail(errno);
}

bool FileOutput::commit() {
    if (fd_ < 0 && !failed())
        fail(EBADF);
    if (failed() || !flushBuffer()) {
        cancel();
        return false;
    }
    if (syncable_ && ::fsync(fd_) != 0) {
        fail(errno);
        cancel();
        return false;
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) {
        fail(errno);
        cancel();
        return false;
    }
    if (direct_)
        return true;
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        fail(errno);
        cancel();
        return false;
    }
    temporary_.clear();
    // The new name is made durable too, where the folder lets itself be synced.
    const int dir = ::open(DirectoryOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

void FileOutput::cancel() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
        temporary_.clear();
    }
    buffer_.clear();
}

}  // namespace dmm
