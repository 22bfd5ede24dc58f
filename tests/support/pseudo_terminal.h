#pragma once
// A pseudo-terminal standing in for a meter on a serial line: the test writes
// the meter's bytes into the master side, the code under test opens the slave
// path. Closing the master hangs the line up, as pulling a USB adapter does.

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QByteArray>
#include <QString>

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

    void hangUp() {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

  private:
    int master_ = -1;
    QString slavePath_;
};

}  // namespace dmm::test
