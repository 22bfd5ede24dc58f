// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/data_files.h"

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QStringDecoder>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "decode/text_rules.h"
#include "record/file_input.h"
#include "record/file_output.h"

// The XML snapshot looks like this:
//
//   <?xml version="1.0" encoding="UTF-8"?>
//   <readingtable version="1">
//    <fields>
//     <field name="no" type="int32"/>
//     <field name="time" type="text" size="20"/>
//     ... dc/ac, value, unit, auto as time ...
//     <field name="nval" type="int32"/>
//    </fields>
//    <rows>
//     <row>1<TAB>12:00:01<TAB>DC<TAB>1.234<TAB>V<TAB>pass<TAB>1234</row>
//    </rows>
//   </readingtable>
//
// A row holds its seven fields in field order, separated by one TAB each;
// "\N" stands for a null field, so a null text and an empty one differ.
// Rows are element text rather than attributes because the XML reader takes
// about three times as long over seven attributes as over one text.
// XML cannot carry most control characters, so texts are escaped: a backslash
// is written "\\", and every byte of code 0..31 or 127 (TAB included), every
// byte that is not part of valid UTF-8, and the non-characters U+FFFE and
// U+FFFF are written "\xHH". Any byte string thus comes back exactly as it
// was saved, and a TAB in a row is always a separator.

namespace dmm {

namespace {

constexpr std::string_view kHeaderLine = "No\tTime\tDC/AC\tValue\tUnit\tAUTO\r\n";
constexpr std::string_view kNullText = "NULL";
constexpr size_t kProgressLines = 4096;
constexpr std::string_view kCancelledText = "loading was cancelled";

constexpr Field kTextFields[] = {Field::Time, Field::DcAc, Field::Value, Field::Unit, Field::Auto};

std::string ToStd(const QString& s) {
    return s.toStdString();
}

// ---------------------------------------------------------------------------
// UTF-8 and Windows-1252

// Length of the valid UTF-8 sequence starting at p (a non-ASCII lead byte),
// or 0 when the bytes there are not one. Overlong forms, surrogates and code
// points beyond U+10FFFF are invalid.
size_t Utf8SequenceLength(const unsigned char* p, const unsigned char* e) {
    const unsigned c = p[0];
    size_t len;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;
        if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        if (c == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (size_t(e - p) < len)
        return 0;
    if (p[1] < lo || p[1] > hi)
        return 0;
    for (size_t k = 2; k < len; ++k) {
        if ((p[k] & 0xC0) != 0x80)
            return 0;
    }
    return len;
}

bool IsValidUtf8(std::string_view s) {
    auto p = reinterpret_cast<const unsigned char*>(s.data());
    const auto e = p + s.size();
    while (p < e) {
        if (e - p >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            if ((w & 0x8080808080808080ULL) == 0) {
                p += 8;
                continue;
            }
        }
        if (*p < 0x80) {
            ++p;
            continue;
        }
        const size_t len = Utf8SequenceLength(p, e);
        if (len == 0)
            return false;
        p += len;
    }
    return true;
}

// Windows-1252 differs from Latin-1 only in 0x80..0x9F. The five codes it
// leaves unassigned are kept as the C1 controls of the same number, as the
// Windows conversion does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void Cp1252ToUtf8(std::string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size() * 2);
    for (const char ch : in) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else if (c < 0xA0) {
            AppendUtf8(out, kCp1252High[c - 0x80]);
        } else {
            AppendUtf8(out, c);
        }
    }
}

// ---------------------------------------------------------------------------
// Text table: writing

void AppendTrimmedOrNull(std::string& out, std::string_view text) {
    text = TrimControl(text);
    out += text.empty() ? kNullText : text;
}

// A save's outcome: on failure the first line says what could not be done and
// the second why.
SaveOutcome SaveOutcomeOf(const QString& fileName, FileForm form, const FileOutput& file, bool ok) {
    SaveOutcome out;
    out.form = form;
    out.ok = ok;
    const std::string name = ToStd(fileName);
    if (ok) {
        if (form == FileForm::Text)
            out.message = std::string(kSavedText) + name + std::string(kSavedSuffix);
    } else {
        out.reason =
            file.error().empty() ? std::string("the file could not be written") : file.error();
        out.systemError = file.errorNumber();
        out.message = std::string(kSaveFailedText) + name + "\n" + out.reason;
    }
    return out;
}

// Writes through one FileOutput, committed only if everything went through.
SaveOutcome WriteDataFile(const QString& fileName, FileForm form, const SaveOptions& options,
                          const std::function<bool(FileOutput&)>& write) {
    FileOutput file(fileName, options.waitForReader);
    const bool ok = file.open() && write(file) && file.commit();
    if (!ok)
        file.cancel();
    return SaveOutcomeOf(fileName, form, file, ok);
}

// The XML writer's device: every byte goes through the FileOutput, so that a
// failed write is seen where it happens.
class FileOutputDevice : public QIODevice {
  public:
    explicit FileOutputDevice(FileOutput& file) : file_(file) {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }

  protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override {
        return file_.write({data, size_t(size)}) ? size : -1;
    }

  private:
    FileOutput& file_;
};

// ---------------------------------------------------------------------------
// Where a loader's bytes come from: a file or bytes already in memory.

class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // The count of bytes read, 0 at the end, -1 on a failure (error() says
    // why) or when the load was cancelled while waiting (error() is empty).
    virtual int64_t read(char* data, size_t size) = 0;
    virtual std::string error() const = 0;
    virtual int64_t size() const = 0;
};

class MemorySource : public ByteSource {
  public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    int64_t read(char* data, size_t size) override {
        const size_t n = std::min(size, bytes_.size() - at_);
        std::memcpy(data, bytes_.data() + at_, n);
        at_ += n;
        return int64_t(n);
    }
    std::string error() const override { return {}; }
    int64_t size() const override { return int64_t(bytes_.size()); }

  private:
    std::string_view bytes_;
    size_t at_ = 0;
};

// A file; while a FIFO or a device has nothing to give, the progress report
// is asked whether to go on waiting.
class FileSource : public ByteSource {
  public:
    FileSource(const QString& fileName, const LoadProgress& progress)
        : file_(fileName), progress_(progress) {}
    bool open() { return file_.open(); }
    int64_t read(char* data, size_t size) override {
        const int64_t n =
            file_.read(data, size, [this] { return !progress_ || progress_(done_, file_.size()); });
        if (n > 0)
            done_ += n;
        return n;
    }
    std::string error() const override { return file_.error(); }
    int64_t size() const override { return file_.size(); }

  private:
    FileInput file_;
    const LoadProgress& progress_;
    int64_t done_ = 0;
};

// What a failed read means for the load.
std::string ReadFailure(const ByteSource& source) {
    const std::string why = source.error();
    return why.empty() ? std::string(kCancelledText) : "cannot read: " + why;
}

// ---------------------------------------------------------------------------
// Text table: reading

inline bool IsSeparator(unsigned char c) {
    return c >= 1 && c <= 32;
}

// Calls onToken(token) for each token of line until it returns false. A token
// handed over may live in scratch, so it must be used before the next one.
template <class OnToken>
void ForEachToken(std::string_view line, std::string& scratch, OnToken&& onToken) {
    const size_t n = line.size();
    size_t i = 0;
    for (;;) {
        while (i < n && IsSeparator(static_cast<unsigned char>(line[i])))
            ++i;
        if (i == n)
            return;
        std::string_view token;
        if (line[i] == '"') {
            const size_t start = ++i;
            size_t end = n;
            bool doubled = false;
            for (;;) {
                const size_t q = line.find('"', i);
                if (q == std::string_view::npos) {
                    i = n;  // no closing quote: the token runs to the end of the line
                    break;
                }
                if (q + 1 < n && line[q + 1] == '"') {
                    doubled = true;
                    i = q + 2;
                    continue;
                }
                end = q;
                i = q + 1;
                break;
            }
            token = line.substr(start, end - start);
            if (doubled) {
                scratch.clear();
                for (size_t k = 0; k < token.size(); ++k) {
                    scratch += token[k];
                    if (token[k] == '"')
                        ++k;  // the second quote of a pair
                }
                token = scratch;
            }
        } else {
            const size_t start = i;
            while (i < n && !IsSeparator(static_cast<unsigned char>(line[i])))
                ++i;
            token = line.substr(start, i - start);
        }
        if (!onToken(token))
            return;
    }
}

std::string Shortened(std::string_view text) {
    constexpr size_t kShown = 40;
    if (text.size() <= kShown)
        return std::string(text);
    return std::string(text.substr(0, kShown)) + "...";
}

// Turns the lines of a text table into rows. Bytes come in through feed();
// the first line is the header and is dropped.
class TextTableReader {
  public:
    TextTableReader(ReadingTable& table, const LoadProgress& progress, int64_t total,
                    size_t maxRows)
        : table_(table), progress_(progress), total_(total), maxRows_(maxRows) {}

    // Where the input stands in the file, for progress reports, when the
    // bytes fed are not the file's own (a UTF-16 file is fed as UTF-8).
    void setSourceOffset(int64_t offset) { sourceOffset_ = offset; }

    // Reads the complete lines at the start of bytes and returns how many bytes
    // they took. With atEnd, bytes is the rest of the input and all of it is
    // read. Stops early at a failing line; a NUL fails the line it is in.
    size_t feed(std::string_view bytes, bool atEnd) {
        const char* const begin = bytes.data();
        const char* const end = begin + bytes.size();
        const char* p = begin;
        while (p < end && !stopped()) {
            const char* q = p;
            for (; q < end; ++q) {
                const auto c = static_cast<unsigned char>(*q);
                if (c <= '\r' && (c == '\r' || c == '\n' || c == '\0'))
                    break;
            }
            if (q == end) {
                if (!atEnd)
                    break;
                line({p, size_t(q - p)}, end - begin);
                p = q;
                break;
            }
            if (*q == '\0') {
                nulInLine();
                p = q;
                break;
            }
            if (*q == '\r' && q + 1 == end && !atEnd)
                break;  // an LF may follow
            const char* next = q + 1;
            if (*q == '\r' && next < end && *next == '\n')
                ++next;
            line({p, size_t(q - p)}, next - begin);
            p = next;
        }
        base_ += p - begin;
        return size_t(p - begin);
    }

    bool stopped() const { return !error_.empty(); }
    size_t lines() const { return lines_; }

    void fail(std::string detail) {
        if (error_.empty())
            error_ = std::move(detail);
    }

    LoadOutcome finish() {
        if (error_.empty() && lines_ == 0)
            error_ = "the file is empty: no header line";
        LoadOutcome out;
        out.form = FileForm::Text;
        out.rowsLoaded = appended_;
        out.ok = error_.empty();
        if (!out.ok) {
            out.message = kLoadFailedText;
            out.detail = error_;
        }
        return out;
    }

  private:
    // lineEnd: offset within the current feed where the line's break ends.
    void line(std::string_view text, int64_t lineEnd) {
        ++lines_;
        if (text.size() > kMaxTextLineBytes) {
            fail("line " + std::to_string(lines_) + " is longer than " +
                 std::to_string(kMaxTextLineBytes) + " bytes");
            return;
        }
        if (lines_ > 1)
            parseRow(text);
        if (error_.empty() && progress_ && lines_ % kProgressLines == 0 &&
            !progress_(sourceOffset_ >= 0 ? sourceOffset_ : base_ + lineEnd, total_)) {
            fail(std::string(kCancelledText));
        }
    }

    // A text table holds no NUL. In its first line one means UTF-16 without
    // a byte-order mark or a binary file; further on, a damaged file.
    void nulInLine() {
        const size_t at = lines_ + 1;
        if (at == 1) {
            fail(
                "line 1 holds a NUL byte: this is not a text table (a binary file, or "
                "UTF-16 text without a byte-order mark)");
        } else {
            fail("line " + std::to_string(at) + " holds a NUL byte: the file is damaged");
        }
    }

    void parseRow(std::string_view text) {
        if (!IsValidUtf8(text)) {
            Cp1252ToUtf8(text, decoded_);
            text = decoded_;
        }
        row_ = RowData{};
        size_t count = 0;
        ForEachToken(text, scratch_, [&](std::string_view token) {
            if (count == kFieldCount) {
                fail("line " + std::to_string(lines_) + " has more than " +
                     std::to_string(kFieldCount) + " fields");
                return false;
            }
            const Field f = Field(count++);
            if (!IsIntegerField(f)) {
                row_.text(f).emplace(token);
                return true;
            }
            if (token.empty())
                return true;  // "" leaves the number empty
            const auto v = TryStrToInt(token);
            if (!v) {
                fail("line " + std::to_string(lines_) + ": " +
                     NotAnInteger(Shortened(token)).what());
                return false;
            }
            (f == Field::No ? row_.no : row_.nval) = *v;
            return true;
        });
        if (count == 0 || !error_.empty())
            return;
        if (table_.size() >= maxRows_) {
            fail("line " + std::to_string(lines_) + ": the table would hold more than " +
                 std::to_string(maxRows_) + " rows");
            return;
        }
        table_.append(row_);
        ++appended_;
    }

    ReadingTable& table_;
    const LoadProgress& progress_;
    const int64_t total_;
    const size_t maxRows_;
    int64_t base_ = 0;  // input offset of the bytes of the current feed
    int64_t sourceOffset_ = -1;
    size_t lines_ = 0;
    size_t appended_ = 0;
    std::string error_;
    RowData row_;
    std::string decoded_, scratch_;
};

// ---------------------------------------------------------------------------
// XML snapshot: writing

constexpr std::u16string_view kRootName = u"readingtable";
constexpr std::u16string_view kFormatVersion = u"1";
constexpr std::u16string_view kFieldsName = u"fields";
constexpr std::u16string_view kFieldName = u"field";
constexpr std::u16string_view kRowsName = u"rows";
constexpr std::u16string_view kRowName = u"row";
constexpr std::u16string_view kIntegerType = u"int32";
constexpr std::u16string_view kTextType = u"text";
constexpr std::u16string_view kTextSize = u"20";
constexpr std::string_view kNullField = "\\N";
constexpr char kFieldSeparator = '\t';

QString Q(std::u16string_view s) {
    return QStringView(s).toString();
}

inline bool NeedsNoEscape(unsigned char c) {
    return c >= 0x20 && c < 0x7F && c != '\\';
}

void AppendByteEscape(std::string& out, unsigned char c) {
    out += "\\x";
    out += HexDigit(c >> 4);
    out += HexDigit(c);
}

void AppendEscaped(std::string& out, std::string_view text) {
    auto p = reinterpret_cast<const unsigned char*>(text.data());
    const auto e = p + text.size();
    while (p < e) {
        const unsigned char c = *p;
        if (NeedsNoEscape(c)) {
            out += char(c);
            ++p;
        } else if (c == '\\') {
            out += "\\\\";
            ++p;
        } else if (c < 0x80) {
            AppendByteEscape(out, c);
            ++p;
        } else {
            const size_t len = Utf8SequenceLength(p, e);
            // U+FFFE and U+FFFF are EF BF BE and EF BF BF: not XML characters.
            const bool nonCharacter = len == 3 && c == 0xEF && p[1] == 0xBF && p[2] >= 0xBE;
            if (len == 0 || nonCharacter) {
                const size_t n = std::max<size_t>(len, 1);
                for (size_t k = 0; k < n; ++k)
                    AppendByteEscape(out, p[k]);
                p += n;
            } else {
                out.append(reinterpret_cast<const char*>(p), len);
                p += len;
            }
        }
    }
}

// One row's content: the seven fields in order, separated by TABs.
void AppendRowText(std::string& out, const ReadingTable& table, size_t r) {
    char digits[16];
    for (size_t i = 0; i < kFieldCount; ++i) {
        const Field f = Field(i);
        if (i > 0)
            out += kFieldSeparator;
        if (table.isNull(r, f)) {
            out += kNullField;
        } else if (IsIntegerField(f)) {
            const auto res = std::to_chars(digits, digits + sizeof digits, *table.integer(r, f));
            out.append(digits, res.ptr);
        } else {
            AppendEscaped(out, table.text(r, f));
        }
    }
}

bool WriteSnapshot(const ReadingTable& table, QIODevice& device) {
    QXmlStreamWriter w(&device);
    w.setAutoFormatting(true);
    w.setAutoFormattingIndent(1);
    w.writeStartDocument();
    w.writeStartElement(Q(kRootName));
    w.writeAttribute(QStringLiteral("version"), Q(kFormatVersion));
    w.writeStartElement(Q(kFieldsName));
    for (size_t i = 0; i < kFieldCount; ++i) {
        const Field f = Field(i);
        w.writeEmptyElement(Q(kFieldName));
        const std::string_view name = FieldName(f);
        w.writeAttribute(QStringLiteral("name"),
                         QString::fromLatin1(name.data(), qsizetype(name.size())));
        if (IsIntegerField(f)) {
            w.writeAttribute(QStringLiteral("type"), Q(kIntegerType));
        } else {
            w.writeAttribute(QStringLiteral("type"), Q(kTextType));
            w.writeAttribute(QStringLiteral("size"), Q(kTextSize));
        }
    }
    w.writeEndElement();

    w.writeStartElement(Q(kRowsName));
    const QString rowName = Q(kRowName);
    std::string text;
    for (size_t r = 0; r < table.size(); ++r) {
        text.clear();
        AppendRowText(text, table, r);
        w.writeTextElement(rowName, QString::fromUtf8(text.data(), qsizetype(text.size())));
        if (w.hasError())
            return false;
    }
    w.writeEndElement();
    w.writeEndElement();
    w.writeEndDocument();
    return !w.hasError();
}

// ---------------------------------------------------------------------------
// XML snapshot: reading

// Reverses AppendEscaped; false when the text holds an escape of no meaning.
bool DecodeText(QStringView in, std::string& out) {
    out.clear();
    const qsizetype n = in.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = in[i].unicode();
        if (u == u'\\') {
            if (i + 1 < n && in[i + 1] == u'\\') {
                out += '\\';
                ++i;
                continue;
            }
            if (i + 3 < n && in[i + 1] == u'x') {
                const char16_t h = in[i + 2].unicode(), l = in[i + 3].unicode();
                const int hv = h < 0x80 ? HexValue(char(h)) : -1;
                const int lv = l < 0x80 ? HexValue(char(l)) : -1;
                if (hv >= 0 && lv >= 0) {
                    out += char(hv * 16 + lv);
                    i += 3;
                    continue;
                }
            }
            return false;
        }
        if (u < 0x80) {
            out += char(u);
        } else if (QChar::isHighSurrogate(u)) {
            if (i + 1 >= n || !QChar::isLowSurrogate(in[i + 1].unicode()))
                return false;
            AppendUtf8(out, QChar::surrogateToUcs4(u, in[i + 1].unicode()));
            ++i;
        } else if (QChar::isLowSurrogate(u)) {
            return false;
        } else {
            AppendUtf8(out, u);
        }
    }
    return true;
}

std::optional<int32_t> DecodeInteger(QStringView in) {
    constexpr qsizetype kLongest = 16;  // sign, ten digits and a few leading zeros
    if (in.size() > kLongest)
        return std::nullopt;
    char buf[kLongest];
    for (qsizetype i = 0; i < in.size(); ++i) {
        const char16_t u = in[i].unicode();
        if (u >= 0x80)
            return std::nullopt;
        buf[i] = char(u);
    }
    return TryStrToInt(std::string_view(buf, size_t(in.size())));
}

bool IsPlainName(const QXmlStreamReader& r, std::u16string_view name) {
    return r.namespaceUri().isEmpty() && r.qualifiedName() == QStringView(name);
}

// The snapshot is fed to the XML reader a piece at a time, so that the
// reader never holds more than a piece and the element it is in, and a source
// that waits can be abandoned between pieces.
constexpr size_t kSnapshotPieceBytes = size_t(64) << 10;

class SnapshotReader {
  public:
    SnapshotReader(ByteSource& source, const LoadProgress& progress, size_t maxRows)
        : source_(source), progress_(progress), total_(source.size()), maxRows_(maxRows) {
        // Nothing in a snapshot needs an entity of its own; keep any expansion tiny.
        r_.setEntityExpansionLimit(64);
        r_.setNamespaceProcessing(true);
    }

    // Reads the whole snapshot into rows(); false with error() on failure.
    bool read() {
        if (next() != Token::Start || !IsPlainName(r_, kRootName)) {
            return fail("the root element is not <readingtable>");
        }
        if (!readRootAttributes() || !readFields() || !readRows())
            return false;
        if (next() != Token::End)
            return fail("unexpected content after <rows>");
        if (next() != Token::Done)
            return fail("unexpected content after the root element");
        return true;
    }

    ReadingTable& rows() { return rows_; }
    const std::string& error() const { return error_; }

  private:
    enum class Token { Start, End, Done, Error };

    bool fail(std::string why) {
        if (error_.empty()) {
            error_ = std::move(why);
            if (r_.lineNumber() > 0)
                error_ += " (line " + std::to_string(r_.lineNumber()) + ")";
        }
        return false;
    }

    // The next element boundary, passing over comments and white space. A
    // document type declaration is refused outright: the snapshot has none,
    // and refusing it keeps entity declarations (internal expansion bombs,
    // external files) from ever being used.
    Token next() {
        if (!error_.empty())
            return Token::Error;
        for (;;) {
            switch (pull()) {
                case QXmlStreamReader::StartElement:
                    return Token::Start;
                case QXmlStreamReader::EndElement:
                    return Token::End;
                case QXmlStreamReader::EndDocument:
                    return Token::Done;
                case QXmlStreamReader::StartDocument:
                case QXmlStreamReader::Comment:
                    continue;
                case QXmlStreamReader::Characters:
                    if (r_.isWhitespace())
                        continue;
                    fail("unexpected text");
                    return Token::Error;
                case QXmlStreamReader::DTD:
                    fail("a document type declaration is not accepted");
                    return Token::Error;
                case QXmlStreamReader::EntityReference:
                    fail("an entity reference is not accepted");
                    return Token::Error;
                case QXmlStreamReader::ProcessingInstruction:
                    fail("a processing instruction is not accepted");
                    return Token::Error;
                case QXmlStreamReader::Invalid:
                case QXmlStreamReader::NoToken:
                    fail("not well-formed XML: " + ToStd(r_.errorString()));
                    return Token::Error;
            }
        }
    }

    // The reader's next token, fed more of the source whenever it runs out.
    // However the source is cut into pieces, no single token may need more
    // than a row's worth of input.
    QXmlStreamReader::TokenType pull() {
        for (;;) {
            const QXmlStreamReader::TokenType t = r_.readNext();
            if (t != QXmlStreamReader::Invalid ||
                r_.error() != QXmlStreamReader::PrematureEndOfDocumentError || sourceEnded_) {
                sinceToken_ = 0;
                return t;
            }
            if (!feedPiece())
                return QXmlStreamReader::Invalid;
        }
    }

    bool feedPiece() {
        if (sinceToken_ > 2 * kMaxTextLineBytes) {
            return fail("one element of the snapshot is larger than " +
                        std::to_string(kMaxTextLineBytes) + " bytes");
        }
        piece_.resize(kSnapshotPieceBytes);
        const int64_t got = source_.read(piece_.data(), piece_.size());
        if (got < 0)
            return fail(ReadFailure(source_));
        if (got == 0) {
            sourceEnded_ = true;
        } else {
            r_.addData(QByteArray(piece_.data(), qsizetype(got)));
            sinceToken_ += size_t(got);
        }
        return true;
    }

    // The current element's attributes, held so that going through them does
    // not copy them.
    const QXmlStreamAttributes& attributes() {
        attributes_ = r_.attributes();
        return attributes_;
    }

    bool readRootAttributes() {
        bool version = false;
        for (const QXmlStreamAttribute& a : attributes()) {
            if (a.qualifiedName() == u"version" && a.value() == QStringView(kFormatVersion)) {
                version = true;
            } else {
                return fail("unknown attribute or version on <readingtable>");
            }
        }
        return version || fail("<readingtable> has no version");
    }

    bool readFields() {
        if (next() != Token::Start || !IsPlainName(r_, kFieldsName)) {
            return fail("<fields> must come first");
        }
        if (!r_.attributes().isEmpty())
            return fail("<fields> takes no attributes");
        for (size_t i = 0; i < kFieldCount; ++i) {
            if (next() != Token::Start || !IsPlainName(r_, kFieldName)) {
                return fail("<fields> must hold the seven field definitions");
            }
            if (!readField(Field(i)))
                return false;
            if (next() != Token::End)
                return fail("<field> must be empty");
        }
        if (next() != Token::End)
            return fail("<fields> holds more than seven fields");
        return true;
    }

    // One field definition, which must match the table's field at that place.
    bool readField(Field f) {
        const std::string_view name = FieldName(f);
        bool nameOk = false, typeOk = false, sizeOk = IsIntegerField(f);
        for (const QXmlStreamAttribute& a : attributes()) {
            const QStringView key = a.qualifiedName(), value = a.value();
            if (key == u"name") {
                nameOk = value.compare(QLatin1String(name.data(), qsizetype(name.size())),
                                       Qt::CaseInsensitive) == 0;
            } else if (key == u"type") {
                typeOk = value == QStringView(IsIntegerField(f) ? kIntegerType : kTextType);
            } else if (key == u"size" && !IsIntegerField(f)) {
                sizeOk = value == QStringView(kTextSize);
            } else {
                return fail("unknown attribute on <field>");
            }
        }
        if (!nameOk || !typeOk || !sizeOk) {
            return fail("field " + std::to_string(size_t(f) + 1) + " is not the field \"" +
                        std::string(name) + "\" of its type");
        }
        return true;
    }

    bool readRows() {
        if (next() != Token::Start || !IsPlainName(r_, kRowsName)) {
            return fail("<rows> must follow <fields>");
        }
        if (!r_.attributes().isEmpty())
            return fail("<rows> takes no attributes");
        for (;;) {
            const Token t = next();
            if (t == Token::End)
                return true;
            if (t != Token::Start || !IsPlainName(r_, kRowName)) {
                return fail("<rows> may hold only <row> elements");
            }
            if (!r_.attributes().isEmpty())
                return fail("<row> takes no attributes");
            if (!readRowText() || !readRow(rowText_))
                return false;
            if (rows_.size() >= maxRows_) {
                return fail("the snapshot holds more than " + std::to_string(maxRows_) + " rows");
            }
            rows_.append(row_);
            if (progress_ && rows_.size() % kProgressLines == 0 &&
                !progress_(r_.characterOffset(), total_)) {
                return fail(std::string(kCancelledText));
            }
        }
    }

    // A row's text up to its end tag; comments and processing instructions
    // inside are passed over, a child element is an error.
    bool readRowText() {
        rowText_.clear();
        for (;;) {
            switch (pull()) {
                case QXmlStreamReader::Characters:
                    rowText_ += r_.text();
                    if (size_t(rowText_.size()) > kMaxTextLineBytes) {
                        return fail("a row is longer than " + std::to_string(kMaxTextLineBytes) +
                                    " characters");
                    }
                    continue;
                case QXmlStreamReader::Comment:
                case QXmlStreamReader::ProcessingInstruction:
                    continue;
                case QXmlStreamReader::EndElement:
                    return true;
                case QXmlStreamReader::StartElement:
                    return fail("a <row> holds text only");
                case QXmlStreamReader::EntityReference:
                    return fail("an entity reference is not accepted");
                default:
                    return fail("not well-formed XML: " + ToStd(r_.errorString()));
            }
        }
    }

    bool readRow(QStringView text) {
        row_ = RowData{};
        qsizetype start = 0;
        for (size_t i = 0; i < kFieldCount; ++i) {
            qsizetype end = text.indexOf(QChar(kFieldSeparator), start);
            if ((end < 0) != (i + 1 == kFieldCount)) {
                return fail("a row must hold exactly " + std::to_string(kFieldCount) + " fields");
            }
            if (end < 0)
                end = text.size();
            const QStringView field = text.mid(start, end - start);
            start = end + 1;
            const Field f = Field(i);
            if (field == QLatin1String(kNullField.data(), qsizetype(kNullField.size()))) {
                continue;
            }
            if (IsIntegerField(f)) {
                const auto v = DecodeInteger(field);
                if (!v)
                    return fail("a row's " + std::string(FieldName(f)) + " is not a number");
                (f == Field::No ? row_.no : row_.nval) = *v;
            } else {
                if (!DecodeText(field, text_)) {
                    return fail("a row's " + std::string(FieldName(f)) + " has a bad escape");
                }
                row_.text(f) = text_;
            }
        }
        return true;
    }

    QXmlStreamReader r_;
    ByteSource& source_;
    const LoadProgress& progress_;
    const int64_t total_;
    const size_t maxRows_;
    std::string piece_;
    size_t sinceToken_ = 0;
    bool sourceEnded_ = false;
    QString rowText_;
    ReadingTable rows_;
    QXmlStreamAttributes attributes_;
    RowData row_;
    std::string text_;
    std::string error_;
};

LoadOutcome LoadSnapshotFrom(ByteSource& source, ReadingTable& table, const LoadProgress& progress,
                             size_t maxRows) {
    SnapshotReader snapshot(source, progress, maxRows);
    LoadOutcome out;
    out.form = FileForm::Xml;
    if (!snapshot.read()) {
        out.message = kLoadFailedText;
        out.detail = snapshot.error();
        return out;
    }
    table.replaceWith(std::move(snapshot.rows()));
    out.ok = true;
    out.rowsLoaded = table.size();
    return out;
}

LoadOutcome LoadFailure(FileForm form, std::string detail) {
    LoadOutcome out;
    out.form = form;
    out.message = kLoadFailedText;
    out.detail = std::move(detail);
    return out;
}

// What the first bytes of a text table's file say about it.
enum class TextStart { Plain, Utf16Le, Utf16Be, Refused };
constexpr size_t kSniffBytes = 8;

TextStart SniffTextStart(std::string_view head, std::string& why) {
    auto startsWith = [&](std::string_view magic) { return head.substr(0, magic.size()) == magic; };
    if (startsWith("\xFF\xFE"))
        return TextStart::Utf16Le;
    if (startsWith("\xFE\xFF"))
        return TextStart::Utf16Be;
    if (startsWith("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")) {
        why =
            "this is a binary spreadsheet file, not a text table: save it from the "
            "spreadsheet as tab-separated text";
        return TextStart::Refused;
    }
    if (startsWith("PK\x03\x04")) {
        why =
            "this is a zip archive (such as an .xlsx or .ods spreadsheet), not a text table: "
            "save it from the spreadsheet as tab-separated text";
        return TextStart::Refused;
    }
    return TextStart::Plain;
}

// Bytes waiting to be read: what is held, then room for the next block. The
// room is not cleared first, as a string's or a vector's would be.
class PendingBytes {
  public:
    std::string_view held() const { return {data_.get(), held_}; }
    size_t size() const { return held_; }
    // Room for n more bytes after those held.
    char* room(size_t n) {
        if (held_ + n > capacity_) {
            const size_t capacity = std::max(held_ + n, capacity_ * 2);
            std::unique_ptr<char[]> grown(new char[capacity]);
            if (held_ > 0)
                std::memcpy(grown.get(), data_.get(), held_);
            data_ = std::move(grown);
            capacity_ = capacity;
        }
        return data_.get() + held_;
    }
    void grow(size_t n) { held_ += n; }
    void append(const char* bytes, size_t n) {
        std::memcpy(room(n), bytes, n);
        held_ += n;
    }
    void dropFront(size_t n) {
        std::memmove(data_.get(), data_.get() + n, held_ - n);
        held_ -= n;
    }
    void clear() { held_ = 0; }

  private:
    std::unique_ptr<char[]> data_;
    size_t capacity_ = 0;
    size_t held_ = 0;
};

// Reads the source a block at a time into the text reader. A file that
// starts with a UTF-16 byte-order mark is turned into UTF-8 on the way. The
// pending bytes are the unfinished line of the last block (at most one line's
// worth) followed by the next block.
LoadOutcome LoadTextTable(ByteSource& source, ReadingTable& table, const LoadProgress& progress,
                          size_t blockBytes, size_t maxRows) {
    blockBytes = std::max<size_t>(blockBytes, 1);
    TextTableReader reader(table, progress, source.size(), maxRows);
    PendingBytes pending, raw;
    std::optional<QStringDecoder> utf16;
    bool sniffed = false;
    int64_t done = 0;
    for (;;) {
        // A source of known size is asked for no more than it holds (and one
        // byte to see its end), so a small input needs no large block.
        size_t want = blockBytes;
        if (source.size() > 0)
            want = size_t(std::clamp<int64_t>(source.size() - done + 1, 1, int64_t(blockBytes)));
        // Until the start of the file has been seen, bytes stay in pending.
        PendingBytes& into = utf16 ? raw : pending;
        const int64_t got = source.read(into.room(want), want);
        if (got < 0) {
            reader.fail(ReadFailure(source));
            break;
        }
        into.grow(size_t(got));
        done += got;
        const bool atEnd = got == 0;
        if (!sniffed) {
            if (pending.size() < kSniffBytes && !atEnd)
                continue;
            sniffed = true;
            std::string why;
            const TextStart start = SniffTextStart(pending.held(), why);
            if (start == TextStart::Refused) {
                reader.fail(why);
                break;
            }
            if (start != TextStart::Plain) {
                utf16.emplace(start == TextStart::Utf16Le ? QStringConverter::Utf16LE
                                                          : QStringConverter::Utf16BE);
                raw.append(pending.held().data(), pending.size());
                pending.clear();
            }
        }
        if (utf16) {
            const QString text =
                utf16->decode(QByteArrayView(raw.held().data(), qsizetype(raw.size())));
            raw.clear();
            const QByteArray utf8 = text.toUtf8();
            pending.append(utf8.constData(), size_t(utf8.size()));
            reader.setSourceOffset(done);
        }
        const size_t used = reader.feed(pending.held(), atEnd);
        if (atEnd || reader.stopped())
            break;
        pending.dropFront(used);
        // An unfinished line may still end in a CR awaiting its LF.
        if (pending.size() > kMaxTextLineBytes + 1) {
            reader.fail("line " + std::to_string(reader.lines() + 1) + " is longer than " +
                        std::to_string(kMaxTextLineBytes) + " bytes");
            break;
        }
    }
    return reader.finish();
}

}  // namespace

FileForm FormOf(const QString& fileName) {
    const qsizetype dot = fileName.lastIndexOf(u'.');
    if (dot >= 0 && QStringView(fileName).mid(dot) == u".xml")
        return FileForm::Xml;
    return FileForm::Text;
}

std::vector<std::string> SplitTokens(std::string_view line) {
    std::vector<std::string> tokens;
    std::string scratch;
    ForEachToken(line, scratch, [&](std::string_view token) {
        tokens.emplace_back(token);
        return true;
    });
    return tokens;
}

std::string_view TextTableHeader() {
    return kHeaderLine;
}

void AppendTextRow(std::string& out, const ReadingTable& table, size_t r) {
    if (const auto no = table.integer(r, Field::No)) {
        char digits[16];
        const auto res = std::to_chars(digits, digits + sizeof digits, *no);
        out.append(digits, res.ptr);
    }
    for (const Field f : kTextFields) {
        out += '\t';
        AppendTrimmedOrNull(out, table.text(r, f));
    }
    out += "\r\n";
}

std::string TextTableBytes(const ReadingTable& table) {
    std::string out;
    out.reserve(kHeaderLine.size() + table.size() * 48);
    out += kHeaderLine;
    for (size_t r = 0; r < table.size(); ++r)
        AppendTextRow(out, table, r);
    return out;
}

SaveOutcome SaveTableToFile(const ReadingTable& table, const QString& fileName,
                            const SaveOptions& options) {
    return WriteDataFile(fileName, FileForm::Text, options, [&](FileOutput& file) {
        // Rows go out a buffer's worth at a time: a save never holds the file.
        std::string piece(kHeaderLine);
        for (size_t r = 0; r < table.size(); ++r) {
            AppendTextRow(piece, table, r);
            if (piece.size() >= FileOutput::kBufferBytes) {
                if (!file.write(piece))
                    return false;
                piece.clear();
            }
        }
        return file.write(piece);
    });
}

SaveOutcome SaveXmlSnapshot(const ReadingTable& table, const QString& fileName,
                            const SaveOptions& options) {
    return WriteDataFile(fileName, FileForm::Xml, options, [&](FileOutput& file) {
        FileOutputDevice device(file);
        return WriteSnapshot(table, device) && !file.failed();
    });
}

SaveOutcome SaveDataFile(const ReadingTable& table, const QString& fileName,
                         const SaveOptions& options) {
    return FormOf(fileName) == FileForm::Xml ? SaveXmlSnapshot(table, fileName, options)
                                             : SaveTableToFile(table, fileName, options);
}

std::string XmlSnapshotBytes(const ReadingTable& table) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    WriteSnapshot(table, buffer);
    buffer.close();
    return bytes.toStdString();
}

LoadOutcome LoadTextTableBytes(std::string_view bytes, ReadingTable& table,
                               const LoadProgress& progress, size_t maxRows) {
    MemorySource source(bytes);
    return LoadTextTable(source, table, progress, kTextReadBlockBytes, maxRows);
}

LoadOutcome LoadTextTableFile(const QString& fileName, ReadingTable& table,
                              const LoadProgress& progress, size_t blockBytes, size_t maxRows) {
    FileSource source(fileName, progress);
    if (!source.open())
        return LoadFailure(FileForm::Text, "cannot open: " + source.error());
    return LoadTextTable(source, table, progress, blockBytes, maxRows);
}

LoadOutcome LoadXmlSnapshotBytes(std::string_view bytes, ReadingTable& table,
                                 const LoadProgress& progress, size_t maxRows) {
    MemorySource source(bytes);
    return LoadSnapshotFrom(source, table, progress, maxRows);
}

LoadOutcome LoadXmlSnapshot(const QString& fileName, ReadingTable& table,
                            const LoadProgress& progress, size_t maxRows) {
    FileSource source(fileName, progress);
    if (!source.open())
        return LoadFailure(FileForm::Xml, "cannot open: " + source.error());
    return LoadSnapshotFrom(source, table, progress, maxRows);
}

LoadOutcome LoadTableFromFile(const QString& fileName, ReadingTable& table, bool emptyFirst,
                              const LoadProgress& progress, size_t maxRows) {
    if (emptyFirst)
        table.clear();
    return FormOf(fileName) == FileForm::Xml
               ? LoadXmlSnapshot(fileName, table, progress, maxRows)
               : LoadTextTableFile(fileName, table, progress, kTextReadBlockBytes, maxRows);
}

}  // namespace dmm
