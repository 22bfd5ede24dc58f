// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the text table: lines split into tokens, the first line (the header)
// dropped, each further line one row, read a block at a time.
#include <QStringDecoder>
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "decode/text_rules.h"
#include "record/data_file_io.h"
#include "record/data_files.h"
#include "record/record_logging.h"
#include "record/text_encoding.h"

namespace dmm {

namespace {

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
            qCDebug(lcFiles).noquote() << "text table load ends:" << QString::fromStdString(error_)
                                       << "- keeping the" << appended_ << "rows before it";
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
        if (lines_ > 1) {
            parseRow(text);
        } else {
            qCDebug(lcFiles).noquote() << "line 1 is the header and is dropped:"
                                       << QString::fromStdString(Shortened(text));
        }
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
            qCDebug(lcFiles) << "line" << lines_ << "is not UTF-8: read as Windows-1252";
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
        if (count == 0 && error_.empty())
            qCDebug(lcFiles) << "line" << lines_ << "holds no field and is dropped";
        if (count == 0 || !error_.empty())
            return;
        if (table_.size() >= maxRows_) {
            fail("line " + std::to_string(lines_) + ": the table would hold more than " +
                 std::to_string(maxRows_) + " rows");
            return;
        }
        LogCutTexts(row_, "line", lines_);
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

std::vector<std::string> SplitTokens(std::string_view line) {
    std::vector<std::string> tokens;
    std::string scratch;
    ForEachToken(line, scratch, [&](std::string_view token) {
        tokens.emplace_back(token);
        return true;
    });
    return tokens;
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

}  // namespace dmm
