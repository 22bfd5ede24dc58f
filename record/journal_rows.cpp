// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/journal_rows.h"

#include "decode/text_rules.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <cmath>
#include <cstdint>

namespace dmm {

namespace {

std::optional<std::string> TextOf(const QJsonValue& v) {
    if (v.isNull())
        return std::nullopt;
    return v.toString().toStdString();
}

std::optional<int32_t> IntegerOf(const QJsonValue& v) {
    if (v.isNull())
        return std::nullopt;
    return int32_t(v.toDouble());
}

bool IsTextOrNull(const QJsonValue& v) {
    return v.isString() || v.isNull();
}

bool IsIntegerOrNull(const QJsonValue& v) {
    if (v.isNull())
        return true;
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    return d == std::trunc(d) && d >= INT32_MIN && d <= INT32_MAX;
}

}  // namespace

std::optional<RowData> ParseJsonRow(std::string_view line, std::string& why) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(
        QByteArray::fromRawData(line.data(), qsizetype(line.size())), &error);
    if (error.error != QJsonParseError::NoError) {
        why = "not JSON (" + error.errorString().toStdString() + ")";
        return std::nullopt;
    }
    if (!doc.isObject()) {
        why = "not a JSON object";
        return std::nullopt;
    }
    const QJsonObject o = doc.object();
    static const char* const kTextKeys[] = {"time", "function", "value", "unit", "judge"};
    for (const char* key : {"no", "count"}) {
        if (!IsIntegerOrNull(o.value(QLatin1String(key)))) {
            why = std::string("\"") + key + "\" is not a whole number or null";
            return std::nullopt;
        }
    }
    for (const char* key : kTextKeys) {
        if (!IsTextOrNull(o.value(QLatin1String(key)))) {
            why = std::string("\"") + key + "\" is not a text or null";
            return std::nullopt;
        }
    }
    RowData row;
    row.no = IntegerOf(o.value(QLatin1String("no")));
    row.time = TextOf(o.value(QLatin1String("time")));
    row.dcac = TextOf(o.value(QLatin1String("function")));
    row.value = TextOf(o.value(QLatin1String("value")));
    row.unit = TextOf(o.value(QLatin1String("unit")));
    row.judge = TextOf(o.value(QLatin1String("judge")));
    row.nval = IntegerOf(o.value(QLatin1String("count")));
    return row;
}

namespace {

// A cursor over one line in the journal's own form.
class OwnRowScanner {
  public:
    explicit OwnRowScanner(std::string_view line) : s_(line) {}

    bool literal(std::string_view text) {
        if (s_.substr(i_, text.size()) != text)
            return false;
        i_ += text.size();
        return true;
    }

    // A whole number as the journal writes it (no leading zero, no sign but
    // a minus, no fraction or exponent) within int32, or null.
    bool integer(std::optional<int32_t>& out) {
        if (literal("null")) {
            out.reset();
            return true;
        }
        const bool negative = literal("-");
        const size_t start = i_;
        int64_t v = 0;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') {
            v = v * 10 + (s_[i_++] - '0');
            if (v > int64_t(INT32_MAX) + 1)
                return false;
        }
        const size_t digits = i_ - start;
        if (digits == 0 || (digits > 1 && s_[start] == '0'))
            return false;
        if (negative)
            v = -v;
        if (v > INT32_MAX)
            return false;
        out = int32_t(v);
        return true;
    }

    // A text of printable ASCII with the escapes the journal writes (a quote
    // or a backslash after a backslash, and \u00XX below 0x20), or null.
    bool text(std::optional<std::string>& out) {
        if (literal("null")) {
            out.reset();
            return true;
        }
        if (!literal("\""))
            return false;
        std::string t;
        while (i_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') {
                ++i_;
                out = std::move(t);
                return true;
            }
            if (c < 0x20 || c >= 0x80)
                return false;
            if (c != '\\') {
                t += char(c);
                ++i_;
                continue;
            }
            if (i_ + 1 < s_.size() && (s_[i_ + 1] == '"' || s_[i_ + 1] == '\\')) {
                t += s_[i_ + 1];
                i_ += 2;
                continue;
            }
            if (i_ + 6 > s_.size() || s_.substr(i_, 4) != "\\u00")
                return false;
            const int high = HexValue(s_[i_ + 4]), low = HexValue(s_[i_ + 5]);
            if (high < 0 || high > 1 || low < 0)
                return false;
            t += char(high * 16 + low);
            i_ += 6;
        }
        return false;
    }

    bool atEnd() const { return i_ == s_.size(); }

  private:
    std::string_view s_;
    size_t i_ = 0;
};

}  // namespace

std::optional<RowData> ParseOwnJournalRow(std::string_view line) {
    OwnRowScanner in(line);
    RowData row;
    std::optional<std::string> autoText, timestamp;
    if (in.literal("{\"no\":") && in.integer(row.no) && in.literal(",\"time\":") &&
        in.text(row.time) && in.literal(",\"function\":") && in.text(row.dcac) &&
        in.literal(",\"value\":") && in.text(row.value) && in.literal(",\"unit\":") &&
        in.text(row.unit) && in.literal(",\"auto\":") && in.text(autoText) &&
        in.literal(",\"judge\":") && in.text(row.judge) && in.literal(",\"count\":") &&
        in.integer(row.nval) && in.literal(",\"timestamp\":") && in.text(timestamp) &&
        in.literal("}") && in.atEnd()) {
        return row;
    }
    return std::nullopt;
}

std::optional<RowData> ParseJournalRow(std::string_view line, std::string& why) {
    if (std::optional<RowData> row = ParseOwnJournalRow(line))
        return row;
    return ParseJsonRow(line, why);
}

}  // namespace dmm
