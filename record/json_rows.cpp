// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/json_rows.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

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
    if (row.si) {
        out += ",\"si_value\":";
        out += row.si->value ? *row.si->value : std::string_view("null");
        out += ",\"si_unit\":";
        if (row.si->unit.empty())
            out += "null";
        else
            AppendJsonString(out, row.si->unit);
    }
    out += "}\n";
}

namespace {

void AppendCsvField(std::string& out, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += text;
        return;
    }
    out += '"';
    for (const char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

}  // namespace

void AppendCsvHeader(std::string& out) {
    out += "timestamp,no,function,value,unit,si_value,si_unit,range,verdict\r\n";
}

void AppendCsvRow(std::string& out, const JsonRow& row, std::string_view timestamp) {
    AppendCsvField(out, timestamp);
    out += ',';
    if (row.no)
        AppendInteger(out, *row.no);
    for (const auto& text : {row.function, row.value, row.unit}) {
        out += ',';
        AppendCsvField(out, text.value_or(std::string_view()));
    }
    out += ',';
    if (row.si && row.si->value)
        out += *row.si->value;
    out += ',';
    if (row.si)
        AppendCsvField(out, row.si->unit);
    for (const auto& text : {row.autoText, row.judge}) {
        out += ',';
        AppendCsvField(out, text.value_or(std::string_view()));
    }
    out += "\r\n";
}

size_t LocalTimestamp::format(char* out) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != second_) {
        // The local date-time and offset change at most once a second.
        second_ = now.tv_sec;
        tm local{};
        const time_t seconds = now.tv_sec;
        ::localtime_r(&seconds, &local);
        prefixSize_ = size_t(std::snprintf(prefix_, sizeof prefix_, "%04d-%02d-%02dT%02d:%02d:%02d",
                                           local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                           local.tm_hour, local.tm_min, local.tm_sec));
        const long offset = local.tm_gmtoff;
        const long minutes = (offset < 0 ? -offset : offset) / 60;
        offsetSize_ = size_t(std::snprintf(offset_, sizeof offset_, "%c%02ld:%02ld",
                                           offset < 0 ? '-' : '+', minutes / 60, minutes % 60));
    }
    const int ms = int(now.tv_nsec / 1000000);
    char* p = std::copy_n(prefix_, prefixSize_, out);
    *p++ = '.';
    *p++ = char('0' + ms / 100);
    *p++ = char('0' + ms / 10 % 10);
    *p++ = char('0' + ms % 10);
    p = std::copy_n(offset_, offsetSize_, p);
    return size_t(p - out);
}

std::string LocalTimestamp::now() {
    char text[kMostBytes];
    return std::string(text, format(text));
}

}  // namespace dmm
