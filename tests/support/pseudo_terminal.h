// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A pseudo-terminal standing in for a meter on a serial line: the test writes
// the meter's bytes into the master side, the code under test opens the slave
// path. Closing the master hangs the line up, as pulling a USB adapter does.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <algorithm>
#include <cerrno>

namespace dmm::test {

class PseudoTerminal {
  public:
    PseudoTerminal() {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
            master_ = -1;
            return;
        }
        slavePath_ = QString::fromLocal8Bit(name);
        ::close(slave);  // the code under test opens its own
        // A child process must not keep the line up after hangUp().
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    }
    ~PseudoTerminal() { hangUp(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool ok() const { return master_ >= 0; }
    const QString& slavePath() const { return slavePath_; }

    bool write(const QByteArray& bytes) {
        qsizetype done = 0;
        while (master_ >= 0 && done < bytes.size()) {
            const ssize_t n =
                ::write(master_, bytes.constData() + done, size_t(bytes.size() - done));
            if (n <= 0)
                return false;
            done += n;
        }
        return done == bytes.size();
    }

    // The slave's line settings, as the opener left them.
    termios line() const {
        termios tio{};
        ::tcgetattr(master_, &tio);
        return tio;
    }

    // From now on the opener's flushes of its input are reported (the
    // master's packet mode), for waitForInputFlush(). Set before the line is
    // opened.
    bool reportFlushes() {
        int on = 1;
        return master_ >= 0 && ::ioctl(master_, TIOCPKT, &on) == 0;
    }

    // Waits up to ms until the opener has thrown away what waited on its side
    // of the line, as a serial port does when it is set up: what is written
    // after that reaches it. Whatever the opener sent meanwhile is dropped.
    bool waitForInputFlush(int ms) {
        const QDeadlineTimer deadline(ms);
        while (master_ >= 0 && !deadline.hasExpired()) {
            pollfd p = {master_, POLLIN | POLLPRI, 0};
            const int ready = ::poll(&p, 1, int(std::min<qint64>(deadline.remainingTime(), 100)));
            if (ready <= 0)
                continue;
            unsigned char packet[512];
            const ssize_t n = ::read(master_, packet, sizeof packet);
            if (n > 0 && (packet[0] & TIOCPKT_FLUSHREAD))
                return true;
            // A data packet (first byte 0) is what the opener sent. Until the
            // line is opened its master reads nothing but EIO.
            if (n < 0 && errno == EIO)
                ::poll(nullptr, 0, 10);
        }
        return false;
    }

    // From now on queuedInput() tells how many bytes wait on the opener's
    // side of the line, unread: the test keeps a descriptor of that side of
    // its own, which reads nothing. Call before the code under test opens the
    // line (it may open it exclusively).
    bool watchInput() {
        if (watch_ < 0)
            watch_ = ::open(slavePath_.toLocal8Bit().constData(),
                            O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return watch_ >= 0;
    }
    // Bytes waiting for the opener to read them (in raw mode; -1 without
    // watchInput()).
    int queuedInput() const {
        int n = -1;
        if (watch_ < 0 || ::ioctl(watch_, FIONREAD, &n) != 0)
            return -1;
        return n;
    }
    // Waits up to ms until at least n bytes wait for the opener: what was
    // written has crossed the line.
    bool waitForQueued(int n, int ms = 10000) {
        const QDeadlineTimer deadline(ms);
        while (queuedInput() < n) {
            if (deadline.hasExpired() || watch_ < 0)
                return false;
            ::poll(nullptr, 0, 1);
        }
        return true;
    }

    void hangUp() {
        if (watch_ >= 0)
            ::close(watch_);
        watch_ = -1;
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

  private:
    int master_ = -1;
    int watch_ = -1;
    QString slavePath_;
};

}  // namespace dmm::test
