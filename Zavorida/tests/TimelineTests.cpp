#include <gtest/gtest.h>

#include <clocale>

#include "Zavorida/Source/Timeline.hpp"

namespace Zavorida {
namespace {

TEST(Timeline, DerivesDurationsFromTheFourTimes) {
    Timeline t(100.0, 100.12, 100.25, 100.252);
    EXPECT_DOUBLE_EQ(t.latency(), 100.12 - 100.0);
    EXPECT_DOUBLE_EQ(t.requestDuration(), 100.25 - 100.0);
    EXPECT_DOUBLE_EQ(t.serializationDuration(), 100.252 - 100.25);
    EXPECT_DOUBLE_EQ(t.totalDuration(), 100.252 - 100.0);
    EXPECT_EQ(t.description(), "Timeline: { \"Latency\": 0.120 secs, \"Request Duration\": 0.250 secs, "
                               "\"Serialization Duration\": 0.002 secs, \"Total Duration\": 0.252 secs }");
}

TEST(Timeline, DebugDescriptionPutsTheTimesFirstWithAllTheirDigits) {
    Timeline t(599000000.5, 599000000.25, 599000000.5, 599000001.0);
    EXPECT_EQ(
        t.debugDescription(),
        "Timeline: { \"Request Start Time\": 599000000.500, \"Initial Response Time\": 599000000.250, "
        "\"Request Completed Time\": 599000000.500, \"Serialization Completed Time\": 599000001.000, "
        "\"Latency\": -0.250 secs, \"Request Duration\": 0.000 secs, \"Serialization Duration\": 0.500 secs, "
        "\"Total Duration\": 0.500 secs }");
}

TEST(Timeline, EqualTimesAndOutOfOrderTimesAreNotClamped) {
    Timeline same(42, 42, 42, 42);
    EXPECT_EQ(same.description(), "Timeline: { \"Latency\": 0.000 secs, \"Request Duration\": 0.000 secs, "
                                  "\"Serialization Duration\": 0.000 secs, \"Total Duration\": 0.000 secs }");
    Timeline early(10.0, 9.5, 11.0, 10.5);
    EXPECT_DOUBLE_EQ(early.latency(), -0.5);
    EXPECT_DOUBLE_EQ(early.serializationDuration(), -0.5);
    EXPECT_EQ(early.description(),
              "Timeline: { \"Latency\": -0.500 secs, \"Request Duration\": 1.000 secs, "
              "\"Serialization Duration\": -0.500 secs, \"Total Duration\": 0.500 secs }");
}

TEST(Timeline, TextsIgnoreTheProcessLocale) {
    // A locale with a decimal comma must not leak into the texts.
    const char* set = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    Timeline t(0, 1.5, 2, 3);
    EXPECT_EQ(t.description(), "Timeline: { \"Latency\": 1.500 secs, \"Request Duration\": 2.000 secs, "
                               "\"Serialization Duration\": 1.000 secs, \"Total Duration\": 3.000 secs }");
    if (set) {
        std::setlocale(LC_NUMERIC, "C");
    }
}

} // namespace
} // namespace Zavorida
