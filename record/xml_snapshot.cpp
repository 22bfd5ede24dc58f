// SPDX-License-Identifier: GPL-3.0-or-later
// The XML snapshot: the whole table, all seven fields, written and read back
// as one unit.
#include <QBuffer>
#include <QByteArray>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <algorithm>
#include <charconv>
#include <optional>
#include <string>
#include <utility>

#include "decode/text_rules.h"
#include "record/data_file_io.h"
#include "record/data_files.h"
#include "record/record_logging.h"
#include "record/text_encoding.h"

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
                    fail("not well-formed XML: " + r_.errorString().toStdString());
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
            LogCutTexts(row_, "snapshot row", rows_.size() + 1);
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
                    return fail("not well-formed XML: " + r_.errorString().toStdString());
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
        qCDebug(lcFiles).noquote() << "snapshot load fails, the table is left as it was:"
                                   << QString::fromStdString(out.detail);
        return out;
    }
    table.replaceWith(std::move(snapshot.rows()));
    out.ok = true;
    out.rowsLoaded = table.size();
    return out;
}

}  // namespace

SaveOutcome SaveXmlSnapshot(const ReadingTable& table, const QString& fileName,
                            const SaveOptions& options) {
    return WriteDataFile(fileName, FileForm::Xml, options, [&](FileOutput& file) {
        FileOutputDevice device(file);
        return WriteSnapshot(table, device) && !file.failed();
    });
}

std::string XmlSnapshotBytes(const ReadingTable& table) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    WriteSnapshot(table, buffer);
    buffer.close();
    return bytes.toStdString();
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

}  // namespace dmm
