// dmmlog: the headless logger. Reads meter bytes from a file, standard input,
// a serial device (through the window's own serial port driver) or the USB
// interface cable (through the window's own HID controller), decodes
// them with the program's own frame assembly and decoders, records them with
// its reading log and writes every recorded row as soon as it is recorded
// (text table or JSON lines).

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QString>
#include <QTime>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "chart/limit_rules.h"
#include "decode/date_time.h"
#include "decode/decoder_host.h"
#include "decode/frame_assembly.h"
#include "decode/model_config.h"
#include "decode/text_rules.h"
#include "link/hid_controller.h"
#include "link/hid_device.h"
#include "link/hid_hidapi_backend.h"
#include "link/meter_cable.h"
#include "link/serial_port_driver.h"
#include "record/data_files.h"
#include "record/file_output.h"
#include "record/json_rows.h"
#include "record/reading_log.h"
#include "record/recall_clock.h"

namespace {

using namespace dmm;

constexpr const char* kUsage =
    "usage: dmmlog [--family tarvo|mesko|dralin] [--format tsv|json] [--serial DEVICE | --usb]\n"
    "              [--interval SECONDS] [--no-repeat] [--capacity N] [--high X] [--low Y]\n"
    "              [--recall HH:MM:SS[/STEP]] [--count N] [--out FILE] [--reconnect]\n"
    "              [FILE|-]\n"
    "       dmmlog --convert IN OUT\n"
    "\n"
    "  --usb          the USB to Serial cable (the last one listed that gives no\n"
    "                 serial number), set to 2400 baud; a refused set-up, a cable\n"
    "                 that goes away or one silent for 10 s ends the run (exit 1)\n"
    "  --reconnect    with --serial: a line that goes away is opened again when it is\n"
    "                 back; with --usb: a cable unplugged or silent is waited for,\n"
    "                 taken up and set up again when it is back; each loss and return\n"
    "                 is one line on standard error with the time\n";

struct UsageError {
    std::string message;
};

struct Options {
    Family family = Family::Tarvo;
    bool json = false;
    std::string serial;
    bool usb = false;         // the "USB to Serial" cable, by the rule of MeterCable
    int intervalSeconds = 0;  // 0: every frame
    bool repeat = true;
    int32_t capacity = kCapacityItems[5].limit;  // limitless
    std::string high{kStartHighLimit};
    std::string low{kStartLowLimit};
    bool recall = false;
    std::string recallStart[3];
    std::string recallStep = "1";
    long long count = -1;    // rows to record before stopping; -1: no limit
    bool reconnect = false;  // a link that goes away is waited for, not the end
    std::string out;
    std::string input = "-";
    bool convert = false;
    std::string convertIn, convertOut;
};

int32_t WholeNumber(const std::string& text, const char* option, int32_t minimum) {
    const auto v = TryStrToInt(text);
    if (!v || *v < minimum)
        throw UsageError{std::string(option) + " needs a whole number, not '" + text + "'"};
    return *v;
}

void ParseRecall(const std::string& text, Options& o) {
    std::string clock = text, step = "1";
    if (const auto slash = text.find('/'); slash != std::string::npos) {
        clock = text.substr(0, slash);
        step = text.substr(slash + 1);
    }
    size_t a = clock.find(':'), b = a == std::string::npos ? a : clock.find(':', a + 1);
    if (b == std::string::npos)
        throw UsageError{"--recall needs HH:MM:SS[/STEP]"};
    o.recallStart[0] = clock.substr(0, a);
    o.recallStart[1] = clock.substr(a + 1, b - a - 1);
    o.recallStart[2] = clock.substr(b + 1);
    const int32_t bounds[3] = {24, 60, 60};
    for (int i = 0; i < 3; ++i) {
        const auto v = TryStrToInt(o.recallStart[i]);
        if (!v || *v < 0 || *v >= bounds[i])
            throw UsageError{"--recall: '" + clock + "' is not a time of day"};
    }
    WholeNumber(step, "--recall STEP", 0);
    o.recallStep = step;
    o.recall = true;
}

Options ParseOptions(int argc, char** argv) {
    Options o;
    bool inputSeen = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw UsageError{arg + " needs a value"};
            return argv[++i];
        };
        if (arg == "--family") {
            const std::string f = value();
            if (f == "tarvo")
                o.family = Family::Tarvo;
            else if (f == "mesko")
                o.family = Family::Mesko;
            else if (f == "dralin")
                o.family = Family::Dralin;
            else
                throw UsageError{"unknown family '" + f + "'"};
        } else if (arg == "--format") {
            const std::string f = value();
            if (f != "tsv" && f != "json")
                throw UsageError{"unknown format '" + f + "'"};
            o.json = f == "json";
        } else if (arg == "--serial") {
            o.serial = value();
        } else if (arg == "--usb") {
            o.usb = true;
        } else if (arg == "--interval") {
            o.intervalSeconds = WholeNumber(value(), "--interval", 1);
        } else if (arg == "--no-repeat") {
            o.repeat = false;
        } else if (arg == "--capacity") {
            const std::string c = value();
            o.capacity =
                c == "limitless" ? kCapacityItems[5].limit : WholeNumber(c, "--capacity", 0);
        } else if (arg == "--high") {
            o.high = value();
        } else if (arg == "--low") {
            o.low = value();
        } else if (arg == "--recall") {
            ParseRecall(value(), o);
        } else if (arg == "--count") {
            o.count = WholeNumber(value(), "--count", 0);
        } else if (arg == "--reconnect") {
            o.reconnect = true;
        } else if (arg == "--out") {
            o.out = value();
        } else if (arg == "--convert") {
            o.convert = true;
            o.convertIn = value();
            o.convertOut = value();
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            throw UsageError{"unknown option " + arg};
        } else {
            if (inputSeen)
                throw UsageError{"only one input may be given"};
            o.input = arg;
            inputSeen = true;
        }
    }
    if ((!o.serial.empty() || o.usb) && inputSeen)
        throw UsageError{"give either a link (--serial, --usb) or an input file"};
    if (!o.serial.empty() && o.usb)
        throw UsageError{"give either --serial or --usb"};
    if (o.usb && o.family == Family::Dralin)
        throw UsageError{"the dralin family has no cable"};
    return o;
}

volatile std::sig_atomic_t gStop = 0;
// The write end of the pipe that wakes the serial event loop; -1 without one.
volatile std::sig_atomic_t gStopPipe = -1;
void OnSignal(int) {
    gStop = 1;
    if (gStopPipe >= 0) {
        const int saved = errno;
        const ssize_t written = ::write(gStopPipe, "", 1);
        static_cast<void>(written);  // a full pipe already holds a wake-up
        errno = saved;
    }
}

long long MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// The wall clock for messages about the link, as HH:MM:SS.
std::string ClockText() {
    return QTime::currentTime().toString(QStringLiteral("HH:mm:ss")).toStdString();
}

// The logger's stand-in for the window: the options are its widgets.
class LoggerHost : public DecoderHost {
  public:
    LoggerHost(const Options& o, MeterState& state, FILE* out)
        : options_(o), state_(state), log_(table_), out_(out) {
        log_.RecordLimit = o.capacity;
        log_.setTimeSeparator(SystemTimeSep());
        if (o.recall)
            clock_.Load(o.recallStart[0], o.recallStart[1], o.recallStart[2]);
    }

    bool BtFillChecked() override { return false; }
    bool RecordSIChecked() override { return options_.intervalSeconds > 0; }
    bool IFDralinChecked() override { return true; }
    std::string T1HIText() override { return options_.high; }
    std::string T1LOText() override { return options_.low; }
    void SetValueAxis(double, double) override {}
    void ShowSeries(int) override {}
    void SetMeasuredValue(const std::string&) override {}
    void ShowVerdict(Verdict) override {}
    double AdvanceRecallClock() override {
        return clock_.Advance(options_.recall, options_.recallStep, NowDateTime());
    }
    void INDataToTable(int) override {
        if (options_.count >= 0 && rows_ >= options_.count)
            return;  // done; the rest is ignored
        if (log_.AtCapacity()) {
            if (!capacityReached_) {
                std::fprintf(stderr,
                             "dmmlog: recording stopped: the table holds its limit of %d rows\n",
                             log_.RecordLimit);
            }
            capacityReached_ = true;
            return;
        }
        if (!log_.INDataToTable(state_.Reading, options_.repeat, options_.recall))
            return;
        writeRow(table_.size() - 1);
        ++rows_;
    }
    void SetBarPosition(int) override {}
    void Beep() override {}

    void writeHeader() {
        if (!options_.json)
            appendText(TextTableHeader());
    }
    // The text form of --out, written as rows are recorded.
    void streamTextTo(FileOutput* file) { outText_ = file; }

    // Writes what was recorded; false when the output failed (outputError()
    // then holds the system's error number) or the --out file did.
    bool flush() {
        if (outputError_ != 0 || !flushOut())
            return false;
        errno = 0;
        if (!pending_.empty()) {
            if (std::fwrite(pending_.data(), 1, pending_.size(), out_) != pending_.size()) {
                outputError_ = errno ? errno : EIO;
                return false;
            }
            pending_.clear();
        }
        if (std::fflush(out_) != 0) {
            outputError_ = errno ? errno : EIO;
            return false;
        }
        return true;
    }
    int outputError() const { return outputError_; }
    bool capacityReached() const { return capacityReached_; }
    long long rows() const { return rows_; }
    const ReadingTable& table() const { return table_; }

  private:
    // Each row reaches the --out file at once, and the disk at least once a
    // second while rows come, so that a killed logger leaves them all.
    bool flushOut() {
        if (!outText_)
            return true;
        if (!outPending_.empty()) {
            if (!outText_->write(outPending_) || !outText_->flush())
                return false;
            outPending_.clear();
        }
        const long long now = MonotonicMs();
        if (now - lastSyncMs_ >= 1000) {
            lastSyncMs_ = now;
            return outText_->sync();
        }
        return true;
    }
    void appendText(std::string_view s) { pending_ += s; }
    void writeRow(size_t i) {
        if (outText_)
            AppendTextRow(outPending_, table_, i);
        if (!options_.json) {
            AppendTextRow(pending_, table_, i);
            return;
        }
        const CurrentReading& r = state_.Reading;
        AppendJsonRow(pending_, JsonRow{.no = table_.integer(i, Field::No),
                                        .time = table_.text(i, Field::Time),
                                        .function = r.FunctionText,
                                        .value = r.ValueText,
                                        .unit = r.UnitText,
                                        .autoText = r.AutoText,
                                        .judge = r.JudgeText,
                                        .count = r.ReadingValue});
    }

    const Options& options_;
    MeterState& state_;
    ReadingTable table_;
    ReadingLog log_;
    RecallClock clock_;
    FILE* out_;
    std::string pending_;
    int outputError_ = 0;
    FileOutput* outText_ = nullptr;
    std::string outPending_;
    long long lastSyncMs_ = 0;
    long long rows_ = 0;
    bool capacityReached_ = false;
};

// A failure of a data file: the message as the window gives it, then the
// file and the reason.
void PrintFileFailure(std::string_view message, const std::string& path, const std::string& why) {
    const std::string first(message.substr(0, message.find('\n')));
    std::fprintf(stderr, "dmmlog: %s\ndmmlog: %s: %s\n", first.c_str(), path.c_str(), why.c_str());
}

// The command line waits for a FIFO's reader, as a shell's redirection does.
// A reader that went away before the end (dmmlog --convert a.xml /dev/stdout
// | head) ends the save quietly.
bool SaveOrSay(const ReadingTable& table, const std::string& path) {
    const SaveOutcome saved =
        SaveDataFile(table, QString::fromStdString(path), SaveOptions{.waitForReader = true});
    if (saved.ok || saved.systemError == EPIPE)
        return true;
    PrintFileFailure(saved.message, path, saved.reason);
    return false;
}

int Convert(const Options& o) {
    ReadingTable table;
    const auto loaded = LoadTableFromFile(QString::fromStdString(o.convertIn), table, false);
    if (!loaded.ok) {
        PrintFileFailure(loaded.message, o.convertIn, loaded.detail);
        return 1;
    }
    return SaveOrSay(table, o.convertOut) ? 0 : 1;
}

bool ReachedCount(const Options& o, const LoggerHost& host) {
    return o.count >= 0 && host.rows() >= o.count;
}

// A decoding error is reported and the bytes after the failed frame are
// decoded as usual.
void FeedChunk(const Options& o, FrameReceiver& receiver, const LoggerHost& host,
               const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        try {
            receiver.feed(o.family, data + done, int32_t(size - done));
            done = size;
        } catch (const ConversionError& e) {
            std::fprintf(stderr, "%s\n", e.what());
            done += receiver.consumed();
        }
        if (ReachedCount(o, host))
            break;
    }
}

// The sampling timer's tick; false when the row could not be written.
bool SamplingTick(LoggerHost& host) {
    host.INDataToTable(0);
    return host.flush();
}

// A file or standard input, read until its end.
int ReadStream(const Options& o, int fd, LoggerHost& host, FrameReceiver& receiver) {
    const long long intervalMs = o.intervalSeconds * 1000LL;
    long long nextTick = intervalMs > 0 ? MonotonicMs() + intervalMs : 0;
    uint8_t buf[4096];
    while (!gStop && !ReachedCount(o, host)) {
        int timeout = -1;
        if (intervalMs > 0) {
            const long long now = MonotonicMs();
            if (now >= nextTick) {
                nextTick += intervalMs;
                if (!SamplingTick(host))
                    return 1;
                continue;
            }
            timeout = int(nextTick - now);
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (ready == 0)
            continue;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            std::fprintf(stderr, "dmmlog: read error: %s\n", std::strerror(errno));
            return 1;
        }
        FeedChunk(o, receiver, host, buf, size_t(n));
        if (!host.flush())
            return 1;
    }
    return 0;
}

// The meter's serial line at 2400 baud 8N1, on the same driver the window
// uses: COM1 names the given device.
std::unique_ptr<TCommPortDriver> OpenSerialPort(const std::string& device) {
    auto port = std::make_unique<TCommPortDriver>();
    port->setPortNameResolver(
        [path = QString::fromLocal8Bit(device.c_str())](TComPortNumber) { return path; });
    port->setComPort(pnCOM1);
    port->setComPortSpeed(br2400);
    if (!port->OpenPort()) {
        const QString why = port->OpenError();
        std::fprintf(stderr, "dmmlog: cannot open %s: %s\n", device.c_str(),
                     why.toLocal8Bit().constData());
        if (port->OpenDenied())
            std::fprintf(stderr, "dmmlog: %s\n", kSerialAccessHint);
        return nullptr;
    }
    return port;
}

// The event loop that a link hands its data to, until the row count is
// reached, a signal arrives, output fails or the link ends the run.
class LinkLoop {
  public:
    LinkLoop(const Options& o, LoggerHost& host) : o_(o), host_(host) {}

    // Data from the link: decoded, recorded and written at once.
    template <class Feed>
    void deliver(Feed&& feed) {
        if (finished_)
            return;
        feed();
        if (!host_.flush())
            finish(1);
        else if (ReachedCount(o_, host_))
            finish(0);
    }

    void finish(int result) {
        if (!finished_)
            status_ = result;
        finished_ = true;
        loop_.quit();
    }

    int run() {
        int wake[2];
        if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
            std::fprintf(stderr, "dmmlog: %s\n", std::strerror(errno));
            return 1;
        }
        gStopPipe = wake[1];
        QSocketNotifier stop(wake[0], QSocketNotifier::Read);
        QObject::connect(&stop, &QSocketNotifier::activated, [this] { finish(0); });
        QTimer sampling;
        sampling.setTimerType(Qt::PreciseTimer);
        QObject::connect(&sampling, &QTimer::timeout, [this] {
            if (finished_)
                return;
            if (!SamplingTick(host_))
                finish(1);
            else if (ReachedCount(o_, host_))
                finish(0);
        });
        if (o_.intervalSeconds > 0)
            sampling.start(o_.intervalSeconds * 1000);

        if (!gStop && !ReachedCount(o_, host_))
            loop_.exec();

        gStopPipe = -1;
        ::close(wake[0]);
        ::close(wake[1]);
        return status_;
    }

  private:
    const Options& o_;
    LoggerHost& host_;
    QEventLoop loop_;
    int status_ = 0;
    bool finished_ = false;
};

// Runs the event loop the driver polls from. A logger left alone must not
// wait for ever on a dead device, so a hang-up ends the run.
int ReadSerial(const Options& o, TCommPortDriver& port, LoggerHost& host, FrameReceiver& receiver) {
    LinkLoop loop(o, host);
    port.OnReceiveData = [&](TCommPortDriver*, const uint8_t* data, int32_t size) {
        loop.deliver([&] { FeedChunk(o, receiver, host, data, size_t(size)); });
    };
    port.OnHangUp = [&](TCommPortDriver*) {
        if (!o.reconnect) {
            std::fprintf(stderr, "dmmlog: %s: the line went silent\n", o.serial.c_str());
            loop.finish(1);
            return;
        }
        std::fprintf(stderr, "dmmlog: %s %s: the line went silent; waiting for it to come back\n",
                     ClockText().c_str(), o.serial.c_str());
    };
    port.OnLineBack = [&](TCommPortDriver*) {
        std::fprintf(stderr, "dmmlog: %s %s: the line is back\n", ClockText().c_str(),
                     o.serial.c_str());
    };
    if (o.reconnect)
        port.setReopenAfterHangUp(1000);
    const int status = loop.run();
    port.ClosePort();
    port.OnReceiveData = nullptr;
    port.OnHangUp = nullptr;
    port.OnLineBack = nullptr;
    return status;
}

// The cable as the window finds it and sets it up (MeterCable): 2400 baud by
// a feature report, then every input report to frame assembly. A refused
// set-up ends the run. A cable that goes away (unplugged, a read error) or
// stays silent past the watchdog's limit ends the run too; with --reconnect
// it is waited for, and taken up and set up again when it is back.
int ReadUsb(const Options& o, LoggerHost& host, FrameReceiver& receiver, MeterState& state) {
    LinkLoop loop(o, host);
    const Family family = o.family;
    CableReader::Handlers handlers;
    handlers.report = [&](uint8_t reportId, const uint8_t* data, uint16_t size) {
        loop.deliver([&] {
            try {
                receiver.feedReport(family, reportId, data, size);
            } catch (const ConversionError& e) {
                std::fprintf(stderr, "%s\n", e.what());
            }
        });
    };
    handlers.event = [&](CableReader::Event event, const QString& detail) {
        const std::string clock = ClockText();
        const QByteArray why = detail.toLocal8Bit();
        switch (event) {
            case CableReader::Event::Lost:
                if (!o.reconnect) {
                    std::fprintf(stderr, "dmmlog: the cable went away: %s\n", why.constData());
                    loop.finish(1);
                    return;
                }
                std::fprintf(stderr,
                             "dmmlog: %s the cable went away (%s); waiting for it to come back\n",
                             clock.c_str(), why.constData());
                return;
            case CableReader::Event::Silent:
                if (!o.reconnect) {
                    std::fprintf(stderr, "dmmlog: %s the cable is silent: no reading for %s\n",
                                 clock.c_str(), why.constData());
                    loop.finish(1);
                    return;
                }
                std::fprintf(stderr,
                             "dmmlog: %s the cable is silent (no reading for %s); waiting for it "
                             "to come back\n",
                             clock.c_str(), why.constData());
                return;
            case CableReader::Event::Back:
                std::fprintf(stderr, "dmmlog: %s the cable is back\n", clock.c_str());
                return;
            case CableReader::Event::SetUpFailed:
                std::fprintf(stderr,
                             "dmmlog: %s the cable is there but could not be set up (%s); "
                             "waiting\n",
                             clock.c_str(), why.constData());
                return;
        }
    };
    CableReader reader(std::make_shared<HidapiBackend>(), o.reconnect,
                       CableWatchdog::kDefaultSilentLimitMs, handlers);
    QString detail;
    switch (reader.start(detail)) {
        case CableReader::Start::Reading:
            break;
        case CableReader::Start::NoCable:
            std::fprintf(stderr, "dmmlog: no USB to Serial cable found\n");
            return 1;
        case CableReader::Start::NoAccess:
            std::fprintf(stderr,
                         "dmmlog: the USB to Serial cable at %s cannot be opened for reading; "
                         "install 70-tarvometer-cable.rules into /etc/udev/rules.d and plug it in "
                         "again\n",
                         detail.toLocal8Bit().constData());
            return 1;
        case CableReader::Start::SetUpFailed:
            std::fprintf(stderr, "dmmlog: the USB to Serial cable could not be set up: %s\n",
                         detail.toLocal8Bit().constData());
            return 1;
    }
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout,
                     [&] { reader.tick(state.NoFrameTicks, receiver.reports().IdleReportCount); });
    watchdog.start(CableWatchdog::kTickMs);
    return loop.run();
}

// The --out file, opened before any input is read so that a path that cannot
// be written is found at once: the text form is written as rows come, the
// snapshot is only tried here (a FIFO or a device is left alone until the end).
std::unique_ptr<FileOutput> OpenOut(const Options& o, bool& ok) {
    ok = true;
    if (o.out.empty())
        return nullptr;
    const QString name = QString::fromStdString(o.out);
    auto file = FormOf(name) == FileForm::Text
                    ? std::make_unique<FileOutput>(name, true, FileOutput::Placement::WriteInPlace)
                    : std::make_unique<FileOutput>(name, false);
    const QFileInfo target(name);
    const bool tryOnly = FormOf(name) == FileForm::Xml;
    if (tryOnly && target.exists() && !target.isFile() && !target.isDir())
        return nullptr;
    if (!file->open() || (!tryOnly && (!file->write(TextTableHeader()) || !file->sync()))) {
        PrintFileFailure(std::string(kSaveFailedText) + o.out, o.out, file->error());
        ok = false;
        return nullptr;
    }
    if (tryOnly)
        return nullptr;  // the new file is dropped; the old one stays
    return file;
}

int Run(const Options& o) {
    bool outOk = true;
    const std::unique_ptr<FileOutput> outText = OpenOut(o, outOk);
    if (!outOk)
        return 1;
    int fd = 0;
    std::unique_ptr<TCommPortDriver> port;
    if (!o.serial.empty()) {
        port = OpenSerialPort(o.serial);
        if (!port)
            return 1;
    } else if (!o.usb && o.input != "-") {
        fd = ::open(o.input.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "dmmlog: cannot open %s: %s\n", o.input.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }

    MeterState state;
    ApplyStartup(state, true, SystemDecimalSep(), NowDateTime());
    LoggerHost host(o, state, stdout);
    host.streamTextTo(outText.get());
    FrameReceiver receiver(state, host);
    host.writeHeader();
    int status = 0;
    if (host.flush()) {
        status = port    ? ReadSerial(o, *port, host, receiver)
                 : o.usb ? ReadUsb(o, host, receiver, state)
                         : ReadStream(o, fd, host, receiver);
    }
    if (fd != 0)
        ::close(fd);
    host.flush();
    if (const int error = host.outputError(); error != 0) {
        // A reader that went away (dmmlog ... | head) ends the run quietly.
        if (error == EPIPE) {
            status = 0;
        } else {
            std::fprintf(stderr, "dmmlog: standard output: %s\n", SystemErrorText(error).c_str());
            status = 1;
        }
    }

    if (outText) {
        if (!outText->commit()) {
            PrintFileFailure(std::string(kSaveFailedText) + o.out, o.out, outText->error());
            status = 1;
        }
    } else if (!o.out.empty() && !SaveOrSay(host.table(), o.out)) {
        status = 1;
    }
    // Rows turned away for the capacity are a run's own outcome.
    if (status == 0 && host.capacityReached())
        status = 3;
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // locale and file services
    Options options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "dmmlog: %s (dmmlog --help for usage)\n", e.message.c_str());
        return 2;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGHUP, OnSignal);  // a closed terminal ends the run with its rows kept
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return options.convert ? Convert(options) : Run(options);
    } catch (const std::bad_alloc&) {
        // The --out file is written only as a whole, so what it held stays.
        std::fprintf(stderr, "dmmlog: out of memory\n");
        return 1;
    }
}
