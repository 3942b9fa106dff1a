#pragma once
// A point in time as the platform keeps it: seconds since 1970 (UTC), with the
// conversions to the platform's reference date (2001-01-01).

#include <compare>

namespace plat {

class Date {
public:
    // Seconds between 1970-01-01 and the platform's reference date 2001-01-01.
    static constexpr double kReferenceDateOffset = 978307200.0;

    constexpr Date() = default;
    constexpr explicit Date(double secondsSince1970) : seconds_(secondsSince1970) {}

    static Date now(); // reads plat::Clock
    static constexpr Date fromTimeIntervalSince1970(double s) { return Date(s); }
    static constexpr Date fromTimeIntervalSinceReferenceDate(double s) {
        return Date(s + kReferenceDateOffset);
    }
    static constexpr Date distantPast() { return Date(-62135769600.0); }  // 0001-01-01
    static constexpr Date distantFuture() { return Date(64092211200.0); } // 4001-01-01

    constexpr double timeIntervalSince1970() const { return seconds_; }
    constexpr double timeIntervalSinceReferenceDate() const { return seconds_ - kReferenceDateOffset; }
    constexpr double timeIntervalSince(Date other) const { return seconds_ - other.seconds_; }
    double timeIntervalSinceNow() const;
    constexpr Date addingTimeInterval(double s) const { return Date(seconds_ + s); }

    constexpr auto operator<=>(const Date&) const = default;
    constexpr bool operator==(const Date&) const = default;

private:
    double seconds_ = 0;
};

} // namespace plat
