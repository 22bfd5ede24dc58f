// SPDX-License-Identifier: GPL-3.0-or-later
// dmmlog: the headless logger. Reads meter bytes from a file, standard input,
// a serial device (through the window's own serial port driver) or the USB
// interface cable (through the window's own HID controller), decodes
// them with the program's own frame assembly and decoders, records them with
// its reading log and writes every recorded row as soon as it is recorded
// (text table or JSON lines).

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QSocketNotifier>
#include <QString>
#include <QTime>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "decode/date_time.h"
#include "decode/frame_assembly.h"
#include "decode/limit_rules.h"
#include "decode/logging.h"
#include "decode/meter_family.h"
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
#include "record/recording_session.h"
#include "tools/command_line.h"
#include "tools/dmmlog/mqtt_publisher.h"

namespace {

using namespace dmm;

// What --help prints before the options.
constexpr const char* kDescription =
    "Logs a digital multimeter without a window: reads the meter's bytes from FILE (or\n"
    "standard input, -), a serial device (--serial) or the USB interface cable (--usb),\n"
    "decodes them as the window does and writes every recorded row at once to standard\n"
    "output: the text table (tsv), JSON lines or CSV. With --convert it converts a data\n"
    "file between the text table and the XML snapshot instead.\n"
    "\n"
    "With --mqtt every row also goes to an MQTT broker as a JSON object (the keys of\n"
    "--format json) on PREFIX/reading (QoS 1), and the link's state (online, silent,\n"
    "reconnecting, offline) to PREFIX/status, retained, with offline as the last will.\n"
    "The broker must answer at the start (exit 1 if it cannot be reached or refuses the\n"
    "login); later it may go away: rows wait in order (--mqtt-queue) and are sent when\n"
    "it is back, and --out never waits for it.\n"
    "\n"
    "Numbers in --high and --low are written as in the window's limit boxes, with the\n"
    "decimal separator of your locale.\n"
    "\n"
    "Exit status: 0 done (the input ended, the row count was reached, a signal stopped\n"
    "it, or the reader of standard output went away); 1 an input, link or file failed;\n"
    "2 bad usage; 3 rows were turned away because the table held its capacity.";

struct UsageError {
    std::string message;
};

enum class Format { Tsv, Json, Csv };

struct Options {
    Family family = Family::Tarvo;
    Format format = Format::Tsv;
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
    bool list = false;  // list the ports and cables
    std::optional<MqttSettings> mqtt;
    std::string mqttPasswordFile;
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

// The cables by the rule --usb follows, whether this user may read them, and
// which one --usb takes.
void ListCables() {
    TJvHidDeviceController controller(nullptr, std::make_shared<HidapiBackend>());
    MeterCable cables(controller);
    cables.claimAll();
    const int chosen = cables.cableIndex();
    int found = 0;
    for (size_t i = 0; i < cables.size(); ++i) {
        TJvHidDevice* device = cables.device(i);
        if (!device || !IsMeterCable(*device))
            continue;
        ++found;
        std::printf("  %s  (%s%s)\n", device->InterfacePath().c_str(),
                    device->ReadWriteAccess() ? "you may read it"
                                              : "this user may not read it: install "
                                                "70-tarvometer-cable.rules into /etc/udev/rules.d",
                    int(i) == chosen ? "; --usb takes this one" : "");
    }
    if (found == 0)
        std::printf("  none found\n");
}

// --list: what --serial and --usb could read, and whether this user may.
int ListLinks() {
    bool denied = false;
    std::printf("Serial ports (for --serial):\n");
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    if (ports.isEmpty())
        std::printf("  none found\n");
    for (const QSerialPortInfo& port : ports) {
        const QByteArray path = port.systemLocation().toLocal8Bit();
        QString about = port.description();
        if (!port.manufacturer().isEmpty())
            about += (about.isEmpty() ? QString() : QStringLiteral(", ")) + port.manufacturer();
        if (port.hasVendorIdentifier() && port.hasProductIdentifier()) {
            about += QStringLiteral(" [%1:%2]")
                         .arg(port.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                         .arg(port.productIdentifier(), 4, 16, QLatin1Char('0'));
        }
        const bool mayOpen = ::access(path.constData(), R_OK | W_OK) == 0;
        denied = denied || !mayOpen;
        std::printf("  %s  %s  (%s)\n", path.constData(),
                    about.trimmed().isEmpty() ? "no description"
                                              : about.trimmed().toLocal8Bit().constData(),
                    mayOpen ? "you may open it" : "this user may not open it");
    }
    if (denied)
        std::printf("  %s\n", kSerialAccessHint);
    std::printf("USB interface cables (for --usb):\n");
    ListCables();
    return 0;
}

// A limit as the window's limit boxes take it: a finite number, with the
// locale's decimal separator.
std::string LimitOption(const QString& text, const char* option) {
    std::string limit = text.toStdString();
    const auto number = LimitNumber(limit, SystemDecimalSep());
    if (!number || !std::isfinite(*number)) {
        throw UsageError{std::string(option) +
                         " needs a number written with the decimal "
                         "separator '" +
                         SystemDecimalSep() + "', not '" + limit + "'"};
    }
    return limit;
}

// What FILE (or standard input) is: a regular file ends and holds no live
// readings, so interval sampling makes no sense on it.
bool IsRegularFile(const std::string& input) {
    struct stat st {};
    const int rc = input == "-" ? ::fstat(0, &st) : ::stat(input.c_str(), &st);
    return rc == 0 && S_ISREG(st.st_mode);
}

// Parses the command line; nullopt when --help, --version or --list has been
// answered (exit 0).
std::optional<Options> ParseOptions(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kDescription));
    const tools::StandardOptions standard;
    const QCommandLineOption& help = standard.help;
    const QCommandLineOption& version = standard.version;
    const QCommandLineOption family = tools::Option(
        "family", "Meter family to decode: tarvo (default), mesko or dralin.", "family");
    const QCommandLineOption format = tools::Option(
        "format",
        "Rows as tsv (the program's text table, default), json (one object per line, with "
        "timestamp, si_value and si_unit) or csv (RFC 4180, with a header line).",
        "format");
    const QCommandLineOption serial =
        tools::Option("serial", "Read the meter on this serial device (2400 baud 8N1).", "device");
    const QCommandLineOption usb = tools::Option(
        "usb",
        "Read the meter through the USB interface cable (the last one listed that gives no "
        "serial number), set to 2400 baud. A refused set-up, a cable that goes away or one "
        "silent for 10 s ends the run (exit 1).");
    const QCommandLineOption list =
        tools::Option("list",
                      "List the serial ports and USB interface cables, and whether you may "
                      "open them, then exit.");
    const QCommandLineOption interval = tools::Option(
        "interval",
        "Record one row every N seconds (1 to 86400) instead of every frame; needs a live "
        "input (a serial device, the cable, a pipe or a terminal).",
        "seconds");
    const QCommandLineOption noRepeat =
        tools::Option("no-repeat", "Record a reading only when it differs from the last one.");
    const QCommandLineOption capacity = tools::Option(
        "capacity", "Stop recording after N rows in all, or limitless (10,000,000; default).", "N");
    const QCommandLineOption high = tools::Option("high",
                                                  "High limit of the Pass/Fail verdict "
                                                  "(default 6000).",
                                                  "number");
    const QCommandLineOption low =
        tools::Option("low", "Low limit of the Pass/Fail verdict (default -6000).", "number");
    const QCommandLineOption recall = tools::Option(
        "recall",
        "Stamp rows with a clock that starts at HH:MM:SS and moves on STEP seconds (default "
        "1) at every frame.",
        "HH:MM:SS[/STEP]");
    const QCommandLineOption count = tools::Option("count", "Stop after N rows.", "N");
    const QCommandLineOption reconnect = tools::Option(
        "reconnect",
        "When the serial device or the cable goes away or falls silent, wait for it and go "
        "on, instead of ending with status 1.");
    const QCommandLineOption out = tools::Option(
        "out",
        "Also keep the rows in FILE: a text table written as rows come (synced at least once "
        "a second), or an XML snapshot for a name ending in .xml, written at the end; - is "
        "standard output.",
        "file");
    const QCommandLineOption convert =
        tools::Option("convert",
                      "Convert the data file IN into OUT (text table or XML snapshot, by "
                      "OUT's name) and exit.");
    const QCommandLineOption mqtt = tools::Option(
        "mqtt",
        "Also publish every row to an MQTT broker: mqtt://HOST[:PORT]/PREFIX (port 1883 by "
        "default) or mqtts://HOST[:PORT]/PREFIX (TLS, port 8883). Rows go to "
        "PREFIX/reading, the link's state to PREFIX/status.",
        "url");
    const QCommandLineOption mqttCa = tools::Option(
        "mqtt-cafile",
        "With mqtts://: the CA certificates (PEM) to check the broker by; default the system's.",
        "file");
    const QCommandLineOption mqttUser =
        tools::Option("mqtt-user", "Log in to the broker as NAME.", "name");
    const QCommandLineOption mqttPassword = tools::Option(
        "mqtt-password-file",
        "Read the broker password from the first line of FILE (needs --mqtt-user).", "file");
    const QCommandLineOption mqttDiscovery = tools::Option(
        "mqtt-discovery",
        "Also publish a retained discovery configuration "
        "(homeassistant/sensor/dmmlog_PREFIX/config) so that home-automation systems show "
        "the meter as a sensor with its unit.");
    const QCommandLineOption mqttQueue = tools::Option(
        "mqtt-queue",
        "Rows that wait for an absent broker, at most (default 100000); beyond that the "
        "oldest are dropped, and a message gives their count.",
        "N");
    for (const QCommandLineOption* o :
         {&help,   &version,  &family,       &format,        &serial,   &usb,
          &list,   &interval, &noRepeat,     &capacity,      &high,     &low,
          &recall, &count,    &reconnect,    &out,           &convert,  &mqtt,
          &mqttCa, &mqttUser, &mqttPassword, &mqttDiscovery, &mqttQueue}) {
        parser.addOption(*o);
    }
    const QCommandLineOption verbose =
        tools::Option("verbose",
                      "Log what the program does (frames turned away, the port or the cable, data "
                      "files) to standard error.");
    parser.addOption(verbose);
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("The meter's bytes (default -, standard input); "
                                                "with --convert: IN OUT."),
                                 QStringLiteral("[FILE | IN OUT]"));
    if (!parser.parse(arguments))
        throw UsageError{tools::ParseErrorText(parser)};
    if (parser.isSet(help)) {
        const QString text = tools::HelpText(parser, QStringLiteral("dmmlog"), arguments);
        std::fputs(text.toLocal8Bit().constData(), stdout);
        return std::nullopt;
    }
    if (parser.isSet(version)) {
        std::printf("dmmlog %s\n", DMM_VERSION);
        return std::nullopt;
    }
    if (parser.isSet(verbose))
        EnableVerboseLogging();

    // Each option once: a second value would be a silent surprise.
    for (const QCommandLineOption* o :
         {&family, &format, &serial, &interval, &capacity, &high, &low, &recall, &count, &out,
          &mqtt, &mqttCa, &mqttUser, &mqttPassword, &mqttQueue}) {
        if (parser.values(*o).size() > 1)
            throw UsageError{"--" + o->names().constLast().toStdString() + " is given twice"};
    }
    Options o;
    o.list = parser.isSet(list);
    if (parser.isSet(family)) {
        const auto chosen = FamilyByName(parser.value(family).toStdString());
        if (!chosen)
            throw UsageError{"--family takes tarvo, mesko or dralin, not '" +
                             parser.value(family).toStdString() + "'"};
        o.family = *chosen;
    }
    if (parser.isSet(format)) {
        const QString f = parser.value(format);
        if (f == QLatin1String("tsv"))
            o.format = Format::Tsv;
        else if (f == QLatin1String("json"))
            o.format = Format::Json;
        else if (f == QLatin1String("csv"))
            o.format = Format::Csv;
        else
            throw UsageError{"--format takes tsv, json or csv, not '" + f.toStdString() + "'"};
    }
    o.serial = parser.value(serial).toStdString();
    if (parser.isSet(serial) && o.serial.empty())
        throw UsageError{"--serial needs a device"};
    o.usb = parser.isSet(usb);
    if (parser.isSet(interval)) {
        o.intervalSeconds = WholeNumber(parser.value(interval).toStdString(), "--interval", 1);
        if (o.intervalSeconds > 86400)
            throw UsageError{"--interval takes at most 86400 seconds (a day)"};
    }
    o.repeat = !parser.isSet(noRepeat);
    if (parser.isSet(capacity)) {
        const std::string c = parser.value(capacity).toStdString();
        o.capacity = c == "limitless" ? kCapacityItems[5].limit : WholeNumber(c, "--capacity", 0);
    }
    if (parser.isSet(high))
        o.high = LimitOption(parser.value(high), "--high");
    if (parser.isSet(low))
        o.low = LimitOption(parser.value(low), "--low");
    if (parser.isSet(recall))
        ParseRecall(parser.value(recall).toStdString(), o);
    if (parser.isSet(count))
        o.count = WholeNumber(parser.value(count).toStdString(), "--count", 0);
    o.reconnect = parser.isSet(reconnect);
    if (parser.isSet(out)) {
        o.out = parser.value(out).toStdString();
        if (o.out.empty())
            throw UsageError{"--out needs a file name, or - for standard output"};
        if (o.out == "-")
            o.out.clear();  // the rows go to standard output anyway
    }

    if (parser.isSet(mqtt)) {
        std::string why;
        const auto target = ParseMqttUrl(parser.value(mqtt).toStdString(), why);
        if (!target)
            throw UsageError{"--mqtt " + why + ", not '" + parser.value(mqtt).toStdString() + "'"};
        MqttSettings m;
        m.target = *target;
        m.caFile = parser.value(mqttCa).toStdString();
        if (parser.isSet(mqttCa) && !m.target.tls)
            throw UsageError{"--mqtt-cafile needs an mqtts:// URL"};
        m.user = parser.value(mqttUser).toStdString();
        if (parser.isSet(mqttPassword) && m.user.empty())
            throw UsageError{"--mqtt-password-file needs --mqtt-user"};
        o.mqttPasswordFile = parser.value(mqttPassword).toStdString();
        m.discovery = parser.isSet(mqttDiscovery);
        if (parser.isSet(mqttQueue))
            m.queueLimit =
                size_t(WholeNumber(parser.value(mqttQueue).toStdString(), "--mqtt-queue", 1));
        o.mqtt = std::move(m);
    } else {
        for (const QCommandLineOption* opt :
             {&mqttCa, &mqttUser, &mqttPassword, &mqttDiscovery, &mqttQueue}) {
            if (parser.isSet(*opt))
                throw UsageError{"--" + opt->names().constLast().toStdString() + " needs --mqtt"};
        }
    }

    const QStringList positional = parser.positionalArguments();
    if (parser.isSet(convert)) {
        if (positional.size() != 2)
            throw UsageError{"--convert needs two files, IN and OUT"};
        o.convert = true;
        o.convertIn = positional[0].toStdString();
        o.convertOut = positional[1].toStdString();
        return o;
    }
    if (positional.size() > 1)
        throw UsageError{"only one input may be given"};
    if (!positional.isEmpty()) {
        o.input = positional[0].toStdString();
        if (o.input.empty())
            throw UsageError{"the input needs a file name, or - for standard input"};
    }
    if (o.list)
        return o;
    if ((!o.serial.empty() || o.usb) && !positional.isEmpty())
        throw UsageError{"give either a link (--serial, --usb) or an input file"};
    if (!o.serial.empty() && o.usb)
        throw UsageError{"give either --serial or --usb"};
    if (o.usb && o.family == Family::Dralin)
        throw UsageError{"the dralin family has no cable"};
    if (o.intervalSeconds > 0 && o.serial.empty() && !o.usb && IsRegularFile(o.input)) {
        throw UsageError{
            "--interval needs a live input (a serial device, the cable, a pipe or "
            "a terminal); " +
            (o.input == "-" ? std::string("standard input") : o.input) +
            " is a regular file, read before the first tick"};
    }
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

// The logger's recording: the session with the options as its switches and
// boxes, each recorded row written out at once.
class LoggerHost {
  public:
    LoggerHost(const Options& o, MeterState& state, FILE* out)
        : options_(o), state_(state), session_(state), out_(out) {
        session_.setCapacity(o.capacity);
        session_.log().setTimeSeparator(SystemTimeSep());
        SessionControls& c = session_.controls;
        c.sampling = o.intervalSeconds > 0;
        c.repeat = o.repeat;
        c.recall = o.recall;
        c.recallStep = o.recallStep;
        c.high = o.high;
        c.low = o.low;
        if (o.recall)
            session_.recall().Load(o.recallStart[0], o.recallStart[1], o.recallStart[2]);
        session_.setRowBudget(o.count);
        session_.onRecorded = [this](size_t row) { writeRow(row); };
        session_.onCapacityReached = [](int32_t limit) {
            std::fprintf(
                stderr, "dmmlog: recording stopped: the table holds its limit of %d rows\n", limit);
        };
    }

    RecordingSession& session() { return session_; }
    // The sampling timer's tick.
    void sample() { session_.INDataToTable(0); }

    void writeHeader() {
        if (options_.format == Format::Tsv)
            appendText(TextTableHeader());
        else if (options_.format == Format::Csv)
            AppendCsvHeader(pending_);
    }
    // The text form of --out, written as rows are recorded.
    void streamTextTo(FileOutput* file) { outText_ = file; }
    // The broker, sent every recorded row as its JSON object.
    void publishTo(MqttPublisher* mqtt) { mqtt_ = mqtt; }

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
    bool capacityReached() const { return session_.rowsTurnedAway() > 0; }
    long long rows() const { return session_.rowsRecorded(); }
    const ReadingTable& table() const { return session_.table(); }

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
        const ReadingTable& table = session_.table();
        if (outText_)
            AppendTextRow(outPending_, table, i);
        if (options_.format == Format::Tsv) {
            AppendTextRow(pending_, table, i);
            if (!mqtt_)
                return;
        }
        // For machines: the date-time of recording and the value in the
        // base unit, whatever the locale and the LCD's letters.
        const CurrentReading& r = state_.Reading;
        const SiReading si = ToSi(r.ValueText, r.UnitText, state_.DecimalSep);
        const JsonRow row{.no = table.integer(i, Field::No),
                          .time = table.text(i, Field::Time),
                          .function = r.FunctionText,
                          .value = r.ValueText,
                          .unit = r.UnitText,
                          .autoText = r.AutoText,
                          .judge = r.JudgeText,
                          .count = r.ReadingValue,
                          .si = &si};
        char stamp[LocalTimestamp::kMostBytes];
        const std::string_view timestamp(stamp, timestamp_.format(stamp));
        if (options_.format == Format::Json)
            AppendJsonRow(pending_, row, timestamp);
        else if (options_.format == Format::Csv)
            AppendCsvRow(pending_, row, timestamp);
        if (mqtt_) {
            mqttRow_.clear();
            AppendJsonRow(mqttRow_, row, timestamp);
            if (!mqttRow_.empty() && mqttRow_.back() == '\n')
                mqttRow_.pop_back();
            mqtt_->publishRow(mqttRow_, si.unit);
        }
    }

    const Options& options_;
    MeterState& state_;
    RecordingSession session_;
    LocalTimestamp timestamp_;
    FILE* out_;
    std::string pending_;
    int outputError_ = 0;
    FileOutput* outText_ = nullptr;
    std::string outPending_;
    MqttPublisher* mqtt_ = nullptr;
    std::string mqttRow_;
    long long lastSyncMs_ = 0;
};

// The link's state as the broker hears it: online while bytes come, silent
// after 10 s without any, reconnecting while a lost link is waited for.
class LinkStatus {
  public:
    using State = MqttPublisher::LinkState;
    static constexpr long long kSilentMs = 10000;
    explicit LinkStatus(MqttPublisher* mqtt) : mqtt_(mqtt), lastDataMs_(MonotonicMs()) {}

    bool watching() const { return mqtt_ != nullptr; }
    void set(State state) {
        state_ = state;
        if (state == State::Online)
            lastDataMs_ = MonotonicMs();
        if (mqtt_)
            mqtt_->setLinkState(state);
    }
    // Bytes from the meter.
    void data() {
        lastDataMs_ = MonotonicMs();
        if (state_ == State::Silent)
            set(State::Online);
    }
    // Called about once a second.
    void tick() {
        if (state_ == State::Online && MonotonicMs() - lastDataMs_ >= kSilentMs)
            set(State::Silent);
    }

  private:
    MqttPublisher* mqtt_;
    State state_ = State::Online;
    long long lastDataMs_;
};

// A failure of a data file: the message as the window gives it, then the
// file and the reason.
void PrintFileFailure(std::string_view message, const std::string& path, const std::string& why) {
    const std::string first(message.substr(0, message.find('\n')));
    std::fprintf(stderr, "dmmlog: %s\ndmmlog: %s: %s\n", first.c_str(), path.c_str(), why.c_str());
}

// The first line of the broker's password file, without its line end.
std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& why) {
    QFile file(QString::fromLocal8Bit(path.c_str()));
    if (!file.open(QIODevice::ReadOnly)) {
        why = file.errorString().toStdString();
        return std::nullopt;
    }
    QByteArray line = file.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return line.toStdString();
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
    host.sample();
    return host.flush();
}

// A file or standard input, read until its end.
int ReadStream(const Options& o, int fd, LoggerHost& host, FrameReceiver& receiver,
               LinkStatus& link) {
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
        if (link.watching())
            timeout = timeout < 0 ? 1000 : std::min(timeout, 1000);
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (ready == 0) {
            link.tick();
            continue;
        }
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            std::fprintf(stderr, "dmmlog: read error: %s\n", std::strerror(errno));
            return 1;
        }
        link.data();
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
int ReadSerial(const Options& o, TCommPortDriver& port, LoggerHost& host, FrameReceiver& receiver,
               LinkStatus& link) {
    LinkLoop loop(o, host);
    port.OnReceiveData = [&](TCommPortDriver*, const uint8_t* data, int32_t size) {
        link.data();
        loop.deliver([&] { FeedChunk(o, receiver, host, data, size_t(size)); });
    };
    QTimer silence;
    QObject::connect(&silence, &QTimer::timeout, [&link] { link.tick(); });
    if (link.watching())
        silence.start(1000);
    port.OnHangUp = [&](TCommPortDriver*) {
        if (!o.reconnect) {
            std::fprintf(stderr, "dmmlog: %s: the line went silent\n", o.serial.c_str());
            loop.finish(1);
            return;
        }
        std::fprintf(stderr, "dmmlog: %s %s: the line went silent; waiting for it to come back\n",
                     ClockText().c_str(), o.serial.c_str());
        link.set(LinkStatus::State::Reconnecting);
    };
    port.OnLineBack = [&](TCommPortDriver*) {
        link.set(LinkStatus::State::Online);
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
int ReadUsb(const Options& o, LoggerHost& host, FrameReceiver& receiver, MeterState& state,
            LinkStatus& link, const std::function<bool()>& beginOutput) {
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
                link.set(LinkStatus::State::Reconnecting);
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
                link.set(LinkStatus::State::Silent);
                return;
            case CableReader::Event::Back:
                std::fprintf(stderr, "dmmlog: %s the cable is back\n", clock.c_str());
                link.set(LinkStatus::State::Online);
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
    if (!beginOutput())
        return 0;  // the output's own failure decides the outcome
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

    // The broker is asked once the input is there, and must answer now;
    // later it may come and go.
    std::unique_ptr<MqttPublisher> mqtt;
    if (o.mqtt) {
        MqttSettings settings = *o.mqtt;
        if (!o.mqttPasswordFile.empty()) {
            std::string why;
            const auto password = ReadPasswordFile(o.mqttPasswordFile, why);
            if (!password) {
                std::fprintf(stderr, "dmmlog: %s: %s\n", o.mqttPasswordFile.c_str(), why.c_str());
                return 1;
            }
            settings.password = *password;
        }
        mqtt = std::make_unique<MqttPublisher>(std::move(settings), [](const std::string& message) {
            std::fprintf(stderr, "dmmlog: %s %s\n", ClockText().c_str(), message.c_str());
        });
        std::string error;
        if (!mqtt->start(error)) {
            std::fprintf(stderr, "dmmlog: %s\n", error.c_str());
            return 1;
        }
    }
    LinkStatus linkStatus(mqtt.get());

    MeterState state;
    ApplyStartup(state, true, SystemDecimalSep(), NowDateTime());
    LoggerHost host(o, state, stdout);
    host.streamTextTo(outText.get());
    host.publishTo(mqtt.get());
    FrameReceiver receiver(state, host.session());
    // The header goes out once the input is there: an input that cannot be
    // had is an error before any output.
    auto beginOutput = [&host] {
        host.writeHeader();
        return host.flush();
    };
    int status = 0;
    if (o.usb)
        status = ReadUsb(o, host, receiver, state, linkStatus, beginOutput);
    else if (beginOutput())
        status = port ? ReadSerial(o, *port, host, receiver, linkStatus)
                      : ReadStream(o, fd, host, receiver, linkStatus);
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
    // What waits for the broker goes out before the end (as long as it takes
    // rows, or within 10 s comes back); a row that never reached it is said.
    if (mqtt) {
        if (const size_t lost = mqtt->finish(); lost > 0) {
            std::fprintf(stderr, "dmmlog: %zu rows could not be sent to the MQTT broker\n", lost);
            status = 1;
        }
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
        std::optional<Options> parsed = ParseOptions(QCoreApplication::arguments());
        if (!parsed)
            return 0;  // --help or --version
        options = std::move(*parsed);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "dmmlog: %s (dmmlog --help for usage)\n", e.message.c_str());
        return 2;
    }
    if (options.list)
        return ListLinks();
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
