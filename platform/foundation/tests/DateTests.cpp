#include <gtest/gtest.h>

#include "platform/foundation/DateFormatter.hpp"
#include "platform/foundation/TimeZone.hpp"
#include "platform/foundation/Value.hpp"

using namespace plat;

namespace {
// 2021-03-04 05:06:07.089 UTC, a Thursday.
const Date kMoment(1614834367.089);
TimeZone zone(const char* name) {
    return TimeZone::named(name).value();
}
} // namespace

TEST(Date, ReferenceDateOffset) {
    EXPECT_EQ(Date::fromTimeIntervalSinceReferenceDate(0).timeIntervalSince1970(), 978307200.0);
    EXPECT_EQ(Date(978307260.0).timeIntervalSinceReferenceDate(), 60.0);
    EXPECT_EQ(Value(Date::fromTimeIntervalSinceReferenceDate(86400 * 366 + 3661)).description(),
              "2002-01-02 01:01:01 +0000");
    EXPECT_EQ(Value(Date(-1)).description(), "1969-12-31 23:59:59 +0000");
}

TEST(Date, FormatterPatterns) {
    struct Case {
        const char* pattern;
        const char* tz;
        const char* expected;
    } cases[] = {
        {"yyyy-MM-dd HH:mm:ss.SSS", "GMT", "2021-03-04 05:06:07.089"},
        {"yy M d H m s", "GMT", "21 3 4 5 6 7"},
        {"EEE, dd MMM yyyy", "GMT", "Thu, 04 Mar 2021"},
        {"EEEE MMMM", "GMT", "Thursday March"},
        {"hh:mm a", "GMT", "05:06 AM"},
        {"h a", "America/Los_Angeles", "9 PM"},
        {"yyyy-MM-dd'T'HH:mm:ssZZZZZ", "GMT", "2021-03-04T05:06:07Z"},
        {"yyyy-MM-dd'T'HH:mm:ssZZZZZ", "Europe/Berlin", "2021-03-04T06:06:07+01:00"},
        {"Z", "America/Los_Angeles", "-0800"},
        {"'It''s' HH 'o''clock'", "GMT", "It's 05 o'clock"},
    };
    for (const auto& c : cases) {
        DateFormatter f(c.pattern, "en_US_POSIX", zone(c.tz));
        EXPECT_EQ(f.string(kMoment), c.expected) << c.pattern << " in " << c.tz;
    }
}

TEST(Date, FormatterParsesWhatItWrites) {
    struct Case {
        const char* pattern;
        double expected; // what survives the pattern's precision
    } cases[] = {
        {"yyyy-MM-dd HH:mm:ss.SSS", 1614834367.089},
        {"EEE, dd MMM yyyy HH:mm:ss Z", 1614834367},
        {"yyyy-MM-dd'T'HH:mm:ss.SSSZZZZZ", 1614834367.089},
        {"dd/MM/yyyy hh:mm:ss.SSS a", 1614834367.089},
    };
    for (const char* tz : {"GMT", "Europe/Berlin", "Asia/Kolkata"}) {
        for (const auto& c : cases) {
            DateFormatter f(c.pattern, "en_US_POSIX", zone(tz));
            auto parsed = f.date(f.string(kMoment));
            ASSERT_TRUE(parsed.has_value()) << c.pattern << " " << f.string(kMoment);
            EXPECT_NEAR(parsed->timeIntervalSince1970(), c.expected, 1e-6) << c.pattern << " " << tz;
        }
    }
}

TEST(Date, FormatterRejectsMismatchesAndImpossibleDates) {
    DateFormatter f("yyyy-MM-dd HH:mm", "en_US_POSIX", TimeZone::gmt());
    for (const char* bad : {"", "2021-02-30 10:00", "2021-13-01 10:00", "2021-01-01 24:00",
                            "2021-01-01 10:00 extra", "2021/01/01 10:00", "2021-01-01T10:00"}) {
        EXPECT_FALSE(f.date(bad).has_value()) << bad;
    }
    EXPECT_TRUE(f.date("2024-02-29 23:59").has_value());
}

TEST(Date, ISO8601) {
    EXPECT_EQ(ISO8601::format(kMoment), "2021-03-04T05:06:07Z");
    EXPECT_EQ(ISO8601::format(kMoment, TimeZone::forSecondsFromGMT(-(3 * 3600 + 1800)), true),
              "2021-03-04T01:36:07.089-03:30");
    struct Case {
        const char* text;
        double expected;
    } cases[] = {
        {"2021-03-04T05:06:07Z", 1614834367},     {"2021-03-04T06:06:07+01:00", 1614834367},
        {"2021-03-04T06:06:07+0100", 1614834367}, {"2021-03-04T00:06:07-05", 1614834367},
        {"2021-03-04 05:06:07.5Z", 1614834367.5}, {"1969-12-31T23:59:59Z", -1},
    };
    for (const auto& c : cases) {
        auto d = ISO8601::parse(c.text);
        ASSERT_TRUE(d.has_value()) << c.text;
        EXPECT_DOUBLE_EQ(d->timeIntervalSince1970(), c.expected) << c.text;
    }
    for (const char* bad : {"2021-03-04", "2021-03-04T05:06:07", "2021-3-04T05:06:07Z",
                            "2021-03-04T05:06:07+25:00", "2021-02-29T00:00:00Z", "x2021-03-04T05:06:07Z"}) {
        EXPECT_FALSE(ISO8601::parse(bad).has_value()) << bad;
    }
}

TEST(Date, HTTPDatesInAllThreeForms) {
    const double expected = 784111777; // Sun, 06 Nov 1994 08:49:37 GMT
    for (const char* text : {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
                             "Sun Nov  6 08:49:37 1994", " Sun, 06 Nov 1994 08:49:37 GMT "}) {
        auto d = parseHTTPDate(text);
        ASSERT_TRUE(d.has_value()) << text;
        EXPECT_EQ(d->timeIntervalSince1970(), expected) << text;
    }
    for (const char* bad : {"", "Sun, 06 Nov 1994 08:49:37", "Sun, 31 Nov 1994 08:49:37 GMT", "yesterday"}) {
        EXPECT_FALSE(parseHTTPDate(bad).has_value()) << bad;
    }
    EXPECT_EQ(formatHTTPDate(Date(expected)), "Sun, 06 Nov 1994 08:49:37 GMT");
}

TEST(TimeZone, NamedZonesOffsetsAndAbbreviations) {
    TimeZone berlin = zone("Europe/Berlin");
    EXPECT_EQ(berlin.name(), "Europe/Berlin");
    EXPECT_EQ(berlin.secondsFromGMT(kMoment), 3600);
    EXPECT_EQ(berlin.secondsFromGMT(Date(1625000000)), 7200); // June: summer time
    EXPECT_TRUE(berlin.isDaylightSavingTime(Date(1625000000)));
    EXPECT_EQ(berlin.abbreviation(kMoment), "GMT+1");
    EXPECT_EQ(zone("America/Los_Angeles").abbreviation(kMoment), "PST");
    EXPECT_FALSE(TimeZone::named("Mars/Olympus").has_value());
    TimeZone fixed = TimeZone::forSecondsFromGMT(19800);
    EXPECT_EQ(fixed.name(), "GMT+0530");
    EXPECT_EQ(fixed.abbreviation(), "GMT+5:30");
    EXPECT_EQ(TimeZone::gmt().secondsFromGMT(), 0);
}

TEST(TimeZone, LocalZoneFollowsTheSimulatedDevice) {
    EXPECT_TRUE(sim::TimeZoneSettings::setLocal("Asia/Tokyo"));
    EXPECT_EQ(TimeZone::local().name(), "Asia/Tokyo");
    EXPECT_EQ(TimeZone::local().secondsFromGMT(kMoment), 9 * 3600);
    EXPECT_FALSE(sim::TimeZoneSettings::setLocal("Nowhere/City"));
    EXPECT_EQ(TimeZone::local().name(), "Asia/Tokyo");
    sim::TimeZoneSettings::reset();
    EXPECT_FALSE(TimeZone::local().name().empty());
}

TEST(Calendar, ComponentsRoundTripAcrossEras) {
    for (double t : {-62135596800.0, -1.5, 0.0, 951782400.0, 4102444800.0, 64092211200.0}) {
        DateComponents c = Calendar::components(Date(t), TimeZone::gmt());
        EXPECT_DOUBLE_EQ(Calendar::date(c, TimeZone::gmt()).timeIntervalSince1970(), t);
    }
    DateComponents leap = Calendar::components(Date(951782400.0), TimeZone::gmt()); // 2000-02-29
    EXPECT_EQ(leap.year, 2000);
    EXPECT_EQ(leap.month, 2);
    EXPECT_EQ(leap.day, 29);
    EXPECT_EQ(leap.weekday, 3); // Tuesday
}
