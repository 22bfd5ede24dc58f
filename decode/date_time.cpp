// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/date_time.h"

#include <cmath>
#include <ctime>

namespace dmm {
namespace {
constexpr double kUnixEpochDay = 25569.0;  // 1970-01-01 counted from 1899-12-30
constexpr int64_t kMsPerDay = 86400000;
}  // namespace

double NowDateTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    // The local offset only changes at whole seconds (and rarely then), so one
    // localtime_r per second keeps a fast recording loop off the zone files.
    thread_local time_t cachedSecond = -1;
    thread_local long cachedOffset = 0;
    if (ts.tv_sec != cachedSecond) {
        tm local{};
        localtime_r(&ts.tv_sec, &local);
        cachedOffset = local.tm_gmtoff;
        cachedSecond = ts.tv_sec;
    }
    const double seconds = double(ts.tv_sec + cachedOffset) + double(ts.tv_nsec) * 1e-9;
    return seconds / 86400.0 + kUnixEpochDay;
}

double TimeOfDay(int64_t hours, int64_t minutes, int64_t seconds) {
    return double(hours * 3600 + minutes * 60 + seconds) / 86400.0;
}

int64_t MillisecondOfDay(double dateTime) {
    if (!std::isfinite(dateTime))
        return 0;
    const double day = std::floor(dateTime);
    int64_t ms = std::llround((dateTime - day) * double(kMsPerDay));
    if (ms >= kMsPerDay)
        ms = kMsPerDay - 1;
    if (ms < 0)
        ms = 0;
    return ms;
}

std::string FormatHms(double dateTime, char sep) {
    const int64_t ms = MillisecondOfDay(dateTime);
    const int h = int(ms / 3600000), m = int(ms / 60000 % 60), s = int(ms / 1000 % 60);
    std::string out(8, sep);
    out[0] = char('0' + h / 10);
    out[1] = char('0' + h % 10);
    out[3] = char('0' + m / 10);
    out[4] = char('0' + m % 10);
    out[6] = char('0' + s / 10);
    out[7] = char('0' + s % 10);
    return out;
}

}  // namespace dmm
