#pragma once
// plat::TimeZone: a named zone (tz database through ICU) or a fixed offset, with the
// device's local zone settable by the simulated device and tests.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Date.hpp"

namespace plat {

class TimeZone {
public:
    // The device's zone: the one set through sim::TimeZoneSettings, else the host's.
    static TimeZone local();
    static TimeZone gmt(); // "GMT", offset 0
    // A tz database name ("Europe/Berlin") or "GMT"/"UTC"; none for an unknown name.
    static std::optional<TimeZone> named(std::string_view name);
    // A fixed offset; named "GMT+0200" style ("GMT" for 0).
    static TimeZone forSecondsFromGMT(int seconds);

    const std::string& name() const { return name_; }
    int secondsFromGMT() const;
    int secondsFromGMT(Date at) const;
    // "GMT+2", "PST", "GMT" as the platform shows them.
    std::string abbreviation() const;
    std::string abbreviation(Date at) const;
    bool isDaylightSavingTime(Date at) const;

    bool operator==(const TimeZone& other) const { return name_ == other.name_ && fixed_ == other.fixed_; }

private:
    TimeZone(std::string name, std::optional<int> fixed) : name_(std::move(name)), fixed_(fixed) {}
    std::string name_;
    std::optional<int> fixed_; // seconds, for fixed-offset zones
};

namespace sim {

struct TimeZoneSettings {
    // The simulated device's zone; an unknown name is refused (false).
    static bool setLocal(std::string_view name);
    static void reset(); // back to the host's zone
};

} // namespace sim

// Calendar fields of a moment in a zone (proleptic Gregorian).
struct DateComponents {
    int64_t year = 1970;
    int month = 1; // 1-12
    int day = 1;   // 1-31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int nanosecond = 0;
    int weekday = 5; // 1 = Sunday ... 7 = Saturday
};

struct Calendar {
    static DateComponents components(Date date, const TimeZone& zone);
    // Fields to a moment; out-of-range fields roll over (month 13 is January next year).
    static Date date(const DateComponents& c, const TimeZone& zone);
    // Days since 1970-01-01 of a civil date, and back.
    static int64_t daysFromCivil(int64_t y, int m, int d);
    static void civilFromDays(int64_t days, int64_t& y, int& m, int& d);
};

} // namespace plat
