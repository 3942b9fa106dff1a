#include "platform/foundation/TimeZone.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <unicode/ucal.h>

#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/String.hpp"

namespace plat {

namespace {

struct LocalSetting {
    std::mutex mutex;
    std::optional<TimeZone> zone;
};

LocalSetting& localSetting() {
    static NeverDestroyed<LocalSetting> s;
    return *s;
}

struct CalendarCloser {
    void operator()(UCalendar* c) const { ucal_close(c); }
};
using CalendarPtr = std::unique_ptr<UCalendar, CalendarCloser>;

CalendarPtr openCalendar(const std::string& zone) {
    std::u16string id = String::utf16(zone);
    UErrorCode status = U_ZERO_ERROR;
    CalendarPtr cal(ucal_open(reinterpret_cast<const UChar*>(id.data()), static_cast<int32_t>(id.size()),
                              "en_US", UCAL_GREGORIAN, &status));
    if (U_FAILURE(status)) {
        return nullptr;
    }
    return cal;
}

bool isKnownZone(const std::string& zone) {
    std::u16string id = String::utf16(zone);
    UChar canonical[128];
    UBool isSystem = false;
    UErrorCode status = U_ZERO_ERROR;
    ucal_getCanonicalTimeZoneID(reinterpret_cast<const UChar*>(id.data()), static_cast<int32_t>(id.size()),
                                canonical, 128, &isSystem, &status);
    return U_SUCCESS(status) && isSystem;
}

std::string hostZoneName() {
    UChar buf[128];
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = ucal_getDefaultTimeZone(buf, 128, &status);
    if (U_FAILURE(status) || n <= 0) {
        return "GMT";
    }
    std::string name = String::fromUTF16(
        std::u16string_view(reinterpret_cast<const char16_t*>(buf), static_cast<size_t>(n)));
    if (name == "Etc/UTC" || name == "UTC" || name == "Etc/GMT" || name == "Etc/Unknown" ||
        !isKnownZone(name)) {
        return "GMT";
    }
    return name;
}

std::string gmtOffsetText(int seconds, bool compact) {
    if (seconds == 0) {
        return "GMT";
    }
    int a = std::abs(seconds);
    int h = a / 3600, m = (a % 3600) / 60;
    char buf[32];
    if (compact) {
        if (m == 0) {
            std::snprintf(buf, sizeof buf, "GMT%c%d", seconds < 0 ? '-' : '+', h);
        } else {
            std::snprintf(buf, sizeof buf, "GMT%c%d:%02d", seconds < 0 ? '-' : '+', h, m);
        }
    } else {
        std::snprintf(buf, sizeof buf, "GMT%c%02d%02d", seconds < 0 ? '-' : '+', h, m);
    }
    return buf;
}

} // namespace

TimeZone TimeZone::gmt() {
    return TimeZone("GMT", 0);
}

TimeZone TimeZone::forSecondsFromGMT(int seconds) {
    return TimeZone(gmtOffsetText(seconds, false), seconds);
}

std::optional<TimeZone> TimeZone::named(std::string_view name) {
    if (name == "GMT" || name == "UTC") {
        return TimeZone(std::string(name), 0);
    }
    std::string n(name);
    if (!isKnownZone(n)) {
        return std::nullopt;
    }
    return TimeZone(n, std::nullopt);
}

TimeZone TimeZone::local() {
    {
        std::lock_guard lock(localSetting().mutex);
        if (localSetting().zone) {
            return *localSetting().zone;
        }
    }
    auto zone = named(hostZoneName());
    return zone ? *zone : gmt();
}

int TimeZone::secondsFromGMT() const {
    return secondsFromGMT(Date::now());
}

int TimeZone::secondsFromGMT(Date at) const {
    if (fixed_) {
        return *fixed_;
    }
    CalendarPtr cal = openCalendar(name_);
    if (!cal) {
        return 0;
    }
    UErrorCode status = U_ZERO_ERROR;
    ucal_setMillis(cal.get(), std::floor(at.timeIntervalSince1970()) * 1000.0, &status);
    int32_t zone = ucal_get(cal.get(), UCAL_ZONE_OFFSET, &status);
    int32_t dst = ucal_get(cal.get(), UCAL_DST_OFFSET, &status);
    if (U_FAILURE(status)) {
        return 0;
    }
    return (zone + dst) / 1000;
}

bool TimeZone::isDaylightSavingTime(Date at) const {
    if (fixed_) {
        return false;
    }
    CalendarPtr cal = openCalendar(name_);
    if (!cal) {
        return false;
    }
    UErrorCode status = U_ZERO_ERROR;
    ucal_setMillis(cal.get(), std::floor(at.timeIntervalSince1970()) * 1000.0, &status);
    return U_SUCCESS(status) && ucal_get(cal.get(), UCAL_DST_OFFSET, &status) != 0 && U_SUCCESS(status);
}

std::string TimeZone::abbreviation() const {
    return abbreviation(Date::now());
}

std::string TimeZone::abbreviation(Date at) const {
    if (fixed_) {
        return gmtOffsetText(*fixed_, true);
    }
    CalendarPtr cal = openCalendar(name_);
    if (!cal) {
        return "GMT";
    }
    UErrorCode status = U_ZERO_ERROR;
    ucal_setMillis(cal.get(), std::floor(at.timeIntervalSince1970()) * 1000.0, &status);
    bool dst = ucal_inDaylightTime(cal.get(), &status);
    UChar buf[64];
    int32_t n = ucal_getTimeZoneDisplayName(cal.get(), dst ? UCAL_SHORT_DST : UCAL_SHORT_STANDARD, "en_US",
                                            buf, 64, &status);
    if (U_FAILURE(status) || n <= 0) {
        return gmtOffsetText(secondsFromGMT(at), true);
    }
    return String::fromUTF16(
        std::u16string_view(reinterpret_cast<const char16_t*>(buf), static_cast<size_t>(n)));
}

bool sim::TimeZoneSettings::setLocal(std::string_view name) {
    auto zone = TimeZone::named(name);
    if (!zone) {
        return false;
    }
    std::lock_guard lock(localSetting().mutex);
    localSetting().zone = *zone;
    return true;
}

void sim::TimeZoneSettings::reset() {
    std::lock_guard lock(localSetting().mutex);
    localSetting().zone.reset();
}

// ---- Calendar ------------------------------------------------------------------

// Howard Hinnant's civil-date algorithms: exact over the whole int64 day range we use.
int64_t Calendar::daysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void Calendar::civilFromDays(int64_t z, int64_t& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = yoe + era * 400;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y += m <= 2;
}

DateComponents Calendar::components(Date date, const TimeZone& zone) {
    double t = date.timeIntervalSince1970();
    if (!std::isfinite(t)) {
        t = 0;
    }
    t = std::clamp(t, -1e15, 1e15);
    double whole = std::floor(t);
    // A double near today's dates holds about a microsecond; rounding there keeps
    // 0.089 from showing as 0.088999.
    double micros = std::round((t - whole) * 1e6);
    if (micros >= 1e6) {
        whole += 1;
        micros = 0;
    }
    int64_t secs = static_cast<int64_t>(whole) + zone.secondsFromGMT(date);
    DateComponents c;
    c.nanosecond = static_cast<int>(micros) * 1000;
    int64_t days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
    int64_t rem = secs - days * 86400;
    civilFromDays(days, c.year, c.month, c.day);
    c.hour = static_cast<int>(rem / 3600);
    c.minute = static_cast<int>((rem % 3600) / 60);
    c.second = static_cast<int>(rem % 60);
    int64_t wd = (days + 4) % 7; // 1970-01-01 was a Thursday
    if (wd < 0) {
        wd += 7;
    }
    c.weekday = static_cast<int>(wd) + 1;
    return c;
}

Date Calendar::date(const DateComponents& c, const TimeZone& zone) {
    int64_t y = c.year + (c.month - 1) / 12;
    int m = (c.month - 1) % 12;
    if (m < 0) {
        m += 12;
        --y;
    }
    int64_t days = daysFromCivil(y, m + 1, 1) + (c.day - 1);
    double local = static_cast<double>(days) * 86400.0 + c.hour * 3600.0 + c.minute * 60.0 + c.second +
                   c.nanosecond / 1e9;
    // The offset depends on the moment itself; two rounds settle it except inside a
    // transition gap, where the earlier offset is used.
    int off = zone.secondsFromGMT(Date(local));
    int off2 = zone.secondsFromGMT(Date(local - off));
    return Date(local - off2);
}

} // namespace plat
