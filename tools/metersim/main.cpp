// SPDX-License-Identifier: GPL-3.0-or-later
// metersim: a simulated meter. Sends the frames of one meter family at the
// meter's pace (or as fast as the reader takes them) to standard output, a
// file, or a new pseudo-terminal that the program can open as its serial port.
//
// With --hold a controller on standard input decides when the meter talks:
// the first line starts it, the next line (or the end of input) stops it after
// a whole frame, and "frames N" on standard output then says how many frames
// went out. The terminal stays open until the input ends, because closing it
// would throw away whatever the reader has not fetched yet.
//
// Exit status: 0 when done, stopped by a signal or the reader went away;
// 1 on an I/O error; 2 on bad usage.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <QCommandLineParser>
#include <QStringList>

#include "tools/command_line.h"
#include "tools/metersim/frame_generator.h"

namespace {

using dmm::metersim::Family;
using dmm::metersim::FrameGenerator;
namespace tools = dmm::tools;

constexpr int kExitOk = 0;
constexpr int kExitIo = 1;
constexpr int kExitUsage = 2;

constexpr char kDescription[] =
    "Simulates a digital multimeter: sends the frames of one meter family at the\n"
    "meter's pace, or as fast as the reader takes them, to standard output, a file\n"
    "or a new pseudo-terminal that the program or dmmlog can open as a serial port.\n"
    "\n"
    "Exit status: 0 done, stopped by a signal or the reader went away; 1 an I/O\n"
    "error; 2 bad usage.";

constexpr size_t kFloodBatch = 4096;  // bytes per write when flooding
constexpr int kRetryMs = 100;         // pause before retrying a terminal nobody reads
constexpr int kBitsPerByte = 10;      // 8N1: start bit, eight data bits, stop bit

static_assert(std::atomic<bool>::is_always_lock_free);
std::atomic<bool> gStop{false};

void OnStopSignal(int) {
    gStop.store(true);
}

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Options {
    bool answered = false;  // --help or --version has been answered
    Family family = Family::Tarvo;
    double rate = 2;
    bool rateGiven = false;
    std::optional<double> baud;
    std::optional<uint64_t> count;
    std::optional<uint32_t> seed;
    bool flood = false;
    std::string out = "-";
    bool outGiven = false;
    bool pty = false;
    std::string link;
    bool hold = false;
};

template <typename T>
T ParseInteger(std::string_view option, std::string_view text) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
        throw UsageError(std::string(option) + " needs a whole number, not '" + std::string(text) +
                         "'");
    }
    return value;
}

// A positive number up to a million; what names what it counts.
double ParsePositive(std::string_view option, std::string_view what, std::string_view text) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() ||
        !std::isfinite(value) || value <= 0 || value > 1e6) {
        throw UsageError(std::string(option) + " needs a number of " + std::string(what) +
                         " above 0, not '" + std::string(text) + "'");
    }
    return value;
}

Options ParseOptions(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kDescription));
    const tools::StandardOptions standard;
    const QCommandLineOption& help = standard.help;
    const QCommandLineOption& version = standard.version;
    const QCommandLineOption family = tools::Option(
        "family", "Meter family to simulate: tarvo (default), mesko or dralin.", "family");
    const QCommandLineOption rate =
        tools::Option("rate", "Frames per second (default 2, the meter's own pace).", "hz");
    const QCommandLineOption baud = tools::Option(
        "baud", "Send byte by byte as fast as a serial line of BAUD (8N1) carries them.", "baud");
    const QCommandLineOption flood =
        tools::Option("flood", "Send as fast as the reader takes them.");
    const QCommandLineOption count =
        tools::Option("count", "Stop after N frames (default: run until stopped).", "N");
    const QCommandLineOption seed = tools::Option(
        "seed", "Seed of the simulated readings; the same seed gives the same bytes.", "S");
    const QCommandLineOption out =
        tools::Option("out", "Write to FILE, or to standard output for - (default).", "file");
    const QCommandLineOption pty = tools::Option(
        "pty", "Create a pseudo-terminal, print its path and write the frames to it.");
    const QCommandLineOption link = tools::Option(
        "link", "With --pty: also make PATH a symbolic link to the terminal.", "path");
    const QCommandLineOption hold = tools::Option(
        "hold",
        "With --pty: start at the first line on standard input, stop after the next line or "
        "at its end, print \"frames N\", and keep the terminal open until standard input "
        "ends.");
    for (const QCommandLineOption* o :
         {&help, &version, &family, &rate, &baud, &flood, &count, &seed, &out, &pty, &link, &hold})
        parser.addOption(*o);
    if (!parser.parse(arguments))
        throw UsageError(tools::ParseErrorText(parser));
    Options options;
    if (parser.isSet(help)) {
        const QString text = tools::HelpText(parser, QStringLiteral("metersim"), arguments);
        std::fputs(text.toLocal8Bit().constData(), stdout);
        options.answered = true;
        return options;
    }
    if (parser.isSet(version)) {
        std::printf("metersim %s\n", DMM_VERSION);
        options.answered = true;
        return options;
    }
    if (!parser.positionalArguments().isEmpty()) {
        throw UsageError("unexpected argument '" +
                         parser.positionalArguments().first().toStdString() + "'");
    }
    for (const QCommandLineOption* o : {&family, &rate, &baud, &count, &seed, &out, &link}) {
        if (parser.values(*o).size() > 1)
            throw UsageError("--" + o->names().constLast().toStdString() + " is given twice");
    }
    if (parser.isSet(family)) {
        const std::string text = parser.value(family).toStdString();
        const auto chosen = dmm::metersim::FamilyFromName(text);
        if (!chosen)
            throw UsageError("unknown family '" + text + "' (tarvo, mesko or dralin)");
        options.family = *chosen;
    }
    if (parser.isSet(rate)) {
        options.rate =
            ParsePositive("--rate", "frames per second", parser.value(rate).toStdString());
        options.rateGiven = true;
    }
    if (parser.isSet(baud))
        options.baud = ParsePositive("--baud", "bits per second", parser.value(baud).toStdString());
    if (parser.isSet(count))
        options.count = ParseInteger<uint64_t>("--count", parser.value(count).toStdString());
    if (parser.isSet(seed))
        options.seed = ParseInteger<uint32_t>("--seed", parser.value(seed).toStdString());
    options.flood = parser.isSet(flood);
    if (parser.isSet(out)) {
        options.out = parser.value(out).toStdString();
        if (options.out.empty())
            throw UsageError("--out needs a file name or -");
        options.outGiven = true;
    }
    options.pty = parser.isSet(pty);
    if (parser.isSet(link)) {
        options.link = parser.value(link).toStdString();
        if (options.link.empty())
            throw UsageError("--link needs a path");
    }
    options.hold = parser.isSet(hold);
    if (options.pty && options.outGiven)
        throw UsageError("--pty and --out exclude each other");
    if (!options.link.empty() && !options.pty)
        throw UsageError("--link goes with --pty");
    if (options.hold && !options.pty)
        throw UsageError("--hold goes with --pty");
    if (int(options.rateGiven) + int(options.baud.has_value()) + int(options.flood) > 1)
        throw UsageError("--rate, --baud and --flood exclude each other");
    return options;
}

void Complain(const std::string& message) {
    std::fprintf(stderr, "metersim: %s\n", message.c_str());
}

std::string SystemError(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

void InstallSignalHandlers() {
    // A reader that goes away shows up as EPIPE from write, not as a signal.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
    // No SA_RESTART: a write or sleep in progress returns, and the loop sees
    // the stop request at once.
    struct sigaction stop = {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &stop, nullptr);
}

void SleepMs(int ms) {
    timespec pause = {ms / 1000, long(ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);  // a signal may cut it short; the caller checks gStop
}

enum class WriteResult { Ok, Dropped, ReaderGone, Stopped, Failed };

// A pipe or a file: everything goes out, however long the reader takes.
WriteResult WriteStream(int fd, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        // A signal cuts a blocked write short, with or without part of it
        // written; either way a stop request ends it here.
        if (gStop.load())
            return WriteResult::Stopped;
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EPIPE)
            return WriteResult::ReaderGone;
        return WriteResult::Failed;
    }
    return WriteResult::Ok;
}

// The master side of the pseudo-terminal (non-blocking). A meter does not wait
// for its listener: at its own pace, a frame that finds nobody to take it is
// dropped, as on a serial line with nothing plugged in. When flooding we wait
// for room instead, so that a slow reader still gets every frame. A frame that
// has started always goes out whole.
WriteResult WritePty(int fd, const uint8_t* data, size_t size, bool waitForRoom) {
    size_t done = 0;
    while (done < size) {
        if (gStop.load())
            return WriteResult::Stopped;
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        const int error = n < 0 ? errno : EAGAIN;
        if (error == EINTR)
            continue;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            // The terminal's buffer is full: nobody is reading.
            if (done == 0 && !waitForRoom)
                return WriteResult::Dropped;
            pollfd p = {fd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, kRetryMs);
            if (ready > 0 && !(p.revents & POLLOUT))
                SleepMs(kRetryMs);  // hung up: no spin
            continue;
        }
        if (error == EIO) {
            // Some systems refuse writes while nobody has the terminal open.
            if (!waitForRoom)
                return WriteResult::Dropped;
            SleepMs(kRetryMs);
            continue;
        }
        errno = error;
        return WriteResult::Failed;
    }
    return WriteResult::Ok;
}

// Whatever the reader sends or echoes back is of no interest, but left unread
// it would fill the terminal's buffer.
void DrainPty(int fd) {
    uint8_t sink[512];
    for (int i = 0; i < 16; ++i) {
        if (::read(fd, sink, sizeof sink) <= 0)
            return;
    }
}

struct Pty {
    int fd = -1;
    std::string slavePath;
};

Pty OpenPty() {
    Pty pty;
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error(SystemError("cannot create a pseudo-terminal", errno));
    auto fail = [fd](const char* what) {
        const int error = errno;
        ::close(fd);
        throw std::runtime_error(SystemError(what, error));
    };
    if (::grantpt(fd) != 0)
        fail("grantpt");
    if (::unlockpt(fd) != 0)
        fail("unlockpt");
    const char* name = ::ptsname(fd);
    if (name == nullptr)
        fail("ptsname");
    pty.slavePath = name;

    // Raw, so that the terminal passes every byte as it is (no CR to LF, no
    // line editing, no echo) until the reader sets its own mode; 2400 baud
    // like the meter's line, for readers that ask.
    termios mode = {};
    if (::tcgetattr(fd, &mode) != 0)
        fail("tcgetattr");
    ::cfmakeraw(&mode);
    ::cfsetispeed(&mode, B2400);
    ::cfsetospeed(&mode, B2400);
    if (::tcsetattr(fd, TCSANOW, &mode) != 0)
        fail("tcsetattr");
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        fail("fcntl");
    pty.fd = fd;
    return pty;
}

// The symbolic link to the terminal, removed again when we leave, provided it
// still points to our terminal.
class PtyLink {
  public:
    PtyLink() = default;
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;
    ~PtyLink() { remove(); }

    void create(const std::string& path, const std::string& target) {
        struct stat st = {};
        if (::lstat(path.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                throw std::runtime_error(path + " exists and is not a symbolic link");
            }
            if (::unlink(path.c_str()) != 0) {
                throw std::runtime_error(SystemError("cannot replace " + path, errno));
            }
        }
        if (::symlink(target.c_str(), path.c_str()) != 0) {
            throw std::runtime_error(SystemError("cannot create " + path, errno));
        }
        path_ = path;
        target_ = target;
    }

    void remove() {
        if (path_.empty())
            return;
        char buffer[4096];
        const ssize_t n = ::readlink(path_.c_str(), buffer, sizeof buffer);
        if (n >= 0 && std::string_view(buffer, size_t(n)) == target_)
            ::unlink(path_.c_str());
        path_.clear();
    }

  private:
    std::string path_;
    std::string target_;
};

void AddNs(timespec& t, int64_t ns) {
    const int64_t total = int64_t(t.tv_nsec) + ns;
    t.tv_sec += time_t(total / 1000000000);
    t.tv_nsec = long(total % 1000000000);
}

bool Before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Waits until the deadline of the next frame. Deadlines follow a fixed grid so
// that the pace does not drift; after a long stall (a blocked reader) the
// grid restarts rather than bursting to catch up.
void WaitForNextFrame(timespec& deadline, int64_t periodNs) {
    AddNs(deadline, periodNs);
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec late = deadline;
    AddNs(late, periodNs);
    if (Before(late, now))
        deadline = now;
    while (!gStop.load() &&
           clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// The serial line's own pace: every byte takes kBitsPerByte bit times, and
// the bytes that are due go out together, so a reader that polls finds frames
// cut wherever its poll falls, as on a real line.
class LinePacer {
  public:
    explicit LinePacer(double baud)
        : byteNs_(std::max<int64_t>(1, std::llround(1e9 * kBitsPerByte / baud))) {
        clock_gettime(CLOCK_MONOTONIC, &next_);
    }

    // Waits for the next byte's time; returns how many of the next `left`
    // bytes are due by then (at least one).
    size_t due(size_t left) {
        while (!gStop.load() &&
               clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next_, nullptr) == EINTR) {
        }
        timespec now = {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const int64_t lateNs =
            int64_t(now.tv_sec - next_.tv_sec) * 1000000000 + (now.tv_nsec - next_.tv_nsec);
        const size_t n = std::min<size_t>(left, 1 + size_t(std::max<int64_t>(lateNs, 0) / byteNs_));
        AddNs(next_, int64_t(n) * byteNs_);
        // After a long stall (a blocked reader) the line goes on from now
        // rather than bursting to catch up.
        timespec stale = next_;
        AddNs(stale, kStallNs);
        if (Before(stale, now))
            next_ = now;
        return n;
    }

  private:
    static constexpr int64_t kStallNs = 100000000;
    const int64_t byteNs_;
    timespec next_ = {};
};

WriteResult WriteOut(const Options& options, int fd, bool pty, const uint8_t* data, size_t size) {
    // A held meter has its reader: nothing is dropped.
    const bool waitForRoom = options.flood || options.hold || options.baud.has_value();
    return pty ? WritePty(fd, data, size, waitForRoom) : WriteStream(fd, data, size);
}

WriteResult WritePaced(const Options& options, int fd, bool pty, LinePacer& line,
                       const std::vector<uint8_t>& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const size_t n = line.due(bytes.size() - done);
        if (gStop.load())
            return WriteResult::Stopped;
        const WriteResult result = WriteOut(options, fd, pty, bytes.data() + done, n);
        if (result != WriteResult::Ok)
            return result;
        done += n;
    }
    return WriteResult::Ok;
}

// The controller of --hold: lines on standard input, and its end.
class HoldControl {
  public:
    // Until the first line (true), or the end of input or a stop signal.
    bool waitForStart() {
        while (lines_ < 1 && !ended_ && !gStop.load())
            take(kRetryMs);
        return lines_ >= 1 && !gStop.load();
    }
    // A second line or the end of input has come; does not wait.
    bool stopRequested() {
        take(0);
        return lines_ >= 2 || ended_;
    }
    // Until the input ends or a stop signal comes, fetching what the reader
    // may send meanwhile.
    void waitForEnd(int ptyFd) {
        while (!ended_ && !gStop.load()) {
            take(kRetryMs);
            if (ptyFd >= 0)
                DrainPty(ptyFd);
        }
    }

  private:
    void take(int waitMs) {
        if (ended_)
            return;
        pollfd p = {STDIN_FILENO, POLLIN, 0};
        if (::poll(&p, 1, waitMs) <= 0)
            return;
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n > 0) {
            lines_ += std::count(buffer, buffer + n, '\n');
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            ended_ = true;
        }
    }

    long lines_ = 0;
    bool ended_ = false;
};

// Sends frames until the count is reached, a stop is asked for or the reader
// goes away. delivered counts the frames that went out whole.
int Send(const Options& options, int fd, bool pty, HoldControl& control, uint64_t& delivered) {
    const uint32_t seed = options.seed ? *options.seed : std::random_device{}();
    FrameGenerator generator(options.family, seed);
    std::vector<uint8_t> bytes = generator.preamble();
    const int64_t periodNs = std::max<int64_t>(1, std::llround(1e9 / options.rate));
    timespec deadline = {};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    std::optional<LinePacer> line;
    if (options.baud)
        line.emplace(*options.baud);

    uint64_t generated = 0;
    auto more = [&] { return !options.count || generated < *options.count; };
    auto goOn = [&] {
        return more() && !gStop.load() && !(options.hold && control.stopRequested());
    };
    while (goOn()) {
        uint64_t frames = 0;
        do {
            generator.next(bytes);
            ++generated;
            ++frames;
        } while (options.flood && bytes.size() < kFloodBatch && more());

        if (pty)
            DrainPty(fd);
        const WriteResult result = line ? WritePaced(options, fd, pty, *line, bytes)
                                        : WriteOut(options, fd, pty, bytes.data(), bytes.size());
        bytes.clear();
        switch (result) {
            case WriteResult::Ok:
                delivered += frames;
                break;
            case WriteResult::Dropped:
                break;
            case WriteResult::ReaderGone:
            case WriteResult::Stopped:
                return kExitOk;
            case WriteResult::Failed:
                Complain(SystemError(
                    pty ? "cannot write to the terminal" : "cannot write to " + options.out,
                    errno));
                return kExitIo;
        }
        if (!options.flood && !line && more())
            WaitForNextFrame(deadline, periodNs);
    }
    return kExitOk;
}

int Run(const Options& options, int fd, bool pty) {
    HoldControl control;
    uint64_t delivered = 0;
    int status = kExitOk;
    if (!options.hold || control.waitForStart())
        status = Send(options, fd, pty, control, delivered);
    if (options.hold) {
        std::printf("frames %llu\n", static_cast<unsigned long long>(delivered));
        std::fflush(stdout);
        control.waitForEnd(pty ? fd : -1);
    }
    return status;
}

int RunPty(const Options& options) {
    Pty pty;
    PtyLink link;
    try {
        pty = OpenPty();
        if (!options.link.empty())
            link.create(options.link, pty.slavePath);
    } catch (const std::exception& e) {
        if (pty.fd >= 0)
            ::close(pty.fd);
        Complain(e.what());
        return kExitIo;
    }
    std::printf("%s\n", pty.slavePath.c_str());
    std::fflush(stdout);
    const int status = Run(options, pty.fd, true);
    ::close(pty.fd);
    return status;
}

int RunStream(const Options& options) {
    int fd = STDOUT_FILENO;
    if (options.out != "-") {
        fd = ::open(options.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) {
            Complain(SystemError("cannot open " + options.out, errno));
            return kExitIo;
        }
    }
    int status = Run(options, fd, false);
    if (fd != STDOUT_FILENO && ::close(fd) != 0 && status == kExitOk) {
        Complain(SystemError("cannot write to " + options.out, errno));
        status = kExitIo;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const UsageError& e) {
        Complain(std::string(e.what()) + " (metersim --help for usage)");
        return kExitUsage;
    }
    if (options.answered)
        return kExitOk;
    InstallSignalHandlers();
    return options.pty ? RunPty(options) : RunStream(options);
}
