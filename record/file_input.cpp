// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/file_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>

#include "record/file_output.h"

namespace dmm {

FileInput::FileInput(const QString& fileName) : fileName_(fileName) {}

FileInput::~FileInput() {
    if (fd_ >= 0)
        ::close(fd_);
}

int64_t FileInput::fail(int error) {
    error_ = SystemErrorText(error);
    return -1;
}

bool FileInput::open() {
    const QByteArray path = QFile::encodeName(fileName_);
    if (path.isEmpty())
        return fail(ENOENT) >= 0;
    fd_ = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd_ < 0)
        return fail(errno) >= 0;
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        return fail(errno) >= 0;
    if (S_ISDIR(st.st_mode))
        return fail(EISDIR) >= 0;
    waits_ = !S_ISREG(st.st_mode);
    if (!waits_) {
        size_ = st.st_size;
        const int flags = ::fcntl(fd_, F_GETFL);
        if (flags >= 0)
            ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
    }
    return true;
}

int64_t FileInput::read(char* data, size_t size, const std::function<bool()>& keepWaiting) {
    if (fd_ < 0)
        return fail(EBADF);
    for (;;) {
        if (waits_) {
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, kWaitSliceMs);
            if (ready < 0 && errno != EINTR)
                return fail(errno);
            if (ready <= 0) {
                if (keepWaiting && !keepWaiting()) {
                    error_.clear();
                    return -1;
                }
                continue;
            }
        }
        const ssize_t n = ::read(fd_, data, size);
        if (n >= 0)
            return n;
        if (errno != EINTR && errno != EAGAIN)
            return fail(errno);
    }
}

}  // namespace dmm
