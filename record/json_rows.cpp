#include "record/json_rows.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace dmm {

namespace {

void AppendInteger(std::string& out, int64_t v) {
    char buf[24];
    const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    out.append(buf, size_t(end - buf));
}

// The count as "%.15g" writes it; whole counts, the usual case, without the
// cost of formatting a floating-point number.
void AppendCount(std::string& out, double v) {
    if (v == std::trunc(v) && std::fabs(v) < 1e15 && !(v == 0 && std::signbit(v))) {
        AppendInteger(out, int64_t(v));
        return;
    }
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "%.15g", v);
    out.append(buf, size_t(n));
}

void AppendText(std::string& out, std::string_view key, const std::optional<std::string_view>& t) {
    out += key;
    if (t)
        AppendJsonString(out, *t);
    else
        out += "null";
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    size_t plain = 0;  // start of the run not yet copied
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out.append(text.data() + plain, i - plain);
        plain = i + 1;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else {
            const char escaped[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
            out.append(escaped, sizeof escaped);
        }
    }
    out.append(text.data() + plain, text.size() - plain);
    out += '"';
}

void AppendJsonRow(std::string& out, const JsonRow& row, std::string_view timestamp) {
    out += "{\"no\":";
    if (row.no)
        AppendInteger(out, *row.no);
    else
        out += "null";
    AppendText(out, ",\"time\":", row.time);
    AppendText(out, ",\"function\":", row.function);
    AppendText(out, ",\"value\":", row.value);
    AppendText(out, ",\"unit\":", row.unit);
    AppendText(out, ",\"auto\":", row.autoText);
    AppendText(out, ",\"judge\":", row.judge);
    out += ",\"count\":";
    if (row.count)
        AppendCount(out, *row.count);
    else
        out += "null";
    if (!timestamp.empty()) {
        out += ",\"timestamp\":";
        AppendJsonString(out, timestamp);
    }
    out += "}\n";
}

}  // namespace dmm
