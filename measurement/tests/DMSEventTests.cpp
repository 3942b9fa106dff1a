// Events: checked origins and names, normalised parameters with their error parameters, flags, screen
// parameters, the wire fields both ways; the per-name aggregates and raw event rows.

#include "measurement/storage/DMSEvent.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

namespace {

// The parameters of a new event, or a failure when it cannot be made.
DMSParameters dmsEventParameters(const plat::Dictionary& raw, bool isPublic = true) {
    auto event = DMSEvent::initWithOrigin("app", isPublic, "purchase", 10, 0, raw);
    EXPECT_TRUE(event);
    return event ? event->parameters() : DMSParameters{};
}

DMSParameters dmsTypedParameters(std::initializer_list<std::pair<const char*, DMSValue>> entries) {
    DMSParameters parameters;
    for (const auto& [name, value] : entries) {
        parameters.set(name, value);
    }
    return parameters;
}

DMSValue dmsInt(int64_t v) {
    return DMSValue::initWithInt64(v);
}
DMSValue dmsText(std::string v) {
    return DMSValue::initWithString(std::move(v));
}

struct DMSNormalisationCase {
    const char* label;
    bool isPublic;
    plat::Dictionary raw;
    DMSParameters expected; // besides "_o"
    std::vector<int64_t> monitorCodes;
};

} // namespace

TEST(DMSEvent, ParametersAreNormalisedWithTheFirstErrorRecorded) {
    const std::string name41 = dms::test::repeated("n", 41);
    const std::string value101 = dms::test::repeated("v", 101);
    const std::string ev300 = dms::test::repeated("\xC3\xA9", 300); // two UTF-8 bytes per character
    const std::string ev259 = dms::test::repeated("e", 256) + "...";
    const DMSNormalisationCase cases[] = {
        {"strings and numbers become typed values",
         true,
         plat::Dictionary{{"count", plat::Value(3)},
                          {"price", plat::Value(2.5)},
                          {"flag", plat::Value(true)},
                          {"label", plat::Value("x")}},
         dmsTypedParameters({{"count", dmsInt(3)},
                             {"price", DMSValue::initWithDouble(2.5)},
                             {"flag", dmsInt(1)},
                             {"label", dmsText("x")}}),
         {}},
        {"reserved prefix on a public event",
         true,
         plat::Dictionary{{"vedudodu_x", plat::Value(1)}},
         dmsTypedParameters({{"_err", dmsInt(14)}, {"_ev", dmsText("vedudodu_x")}}),
         {13008}},
        {"41-character name",
         true,
         plat::Dictionary{{name41, plat::Value(1)}, {"ok", plat::Value(2)}},
         dmsTypedParameters({{"ok", dmsInt(2)},
                             {"_err", dmsInt(3)},
                             {"_ev", dmsText(dms::test::repeated("n", 40) + "...")},
                             {"_el", dmsInt(41)}}),
         {13000}},
        {"101-character value on a public event",
         true,
         plat::Dictionary{{"note", plat::Value(value101)}},
         dmsTypedParameters({{"_err", dmsInt(4)}, {"_ev", dmsText("note")}, {"_el", dmsInt(101)}}),
         {13000}},
        {"101-character value on an internal event",
         false,
         plat::Dictionary{{"note", plat::Value(value101)}},
         dmsTypedParameters({{"note", dmsText(value101)}}),
         {}},
        {"257-character value on an internal event",
         false,
         plat::Dictionary{{"note", plat::Value(dms::test::repeated("v", 257))}},
         dmsTypedParameters({{"_err", dmsInt(4)}, {"_ev", dmsText("note")}, {"_el", dmsInt(257)}}),
         {13000}},
        {"the first error survives a second",
         true,
         plat::Dictionary{
             {"bad-name", plat::Value(1)}, {"vedudodu_y", plat::Value(2)}, {"ok", plat::Value(3)}},
         dmsTypedParameters({{"ok", dmsInt(3)}, {"_err", dmsInt(3)}, {"_ev", dmsText("bad-name")}}),
         {13002, 13008}},
        {"a date value is dropped without error parameters",
         true,
         plat::Dictionary{{"when", plat::Value(plat::Date(5))}, {"ok", plat::Value(1)}},
         dmsTypedParameters({{"ok", dmsInt(1)}}),
         {35001, 16000}},
        {"an array value is dropped",
         true,
         plat::Dictionary{{"list", plat::Value(plat::Array{plat::Value(1)})}},
         DMSParameters{},
         {35001, 16000}},
        {"a given origin is replaced",
         false,
         plat::Dictionary{{"_o", plat::Value("fake")}},
         DMSParameters{},
         {}},
        {"an over-long _ev is cut and its length kept",
         false,
         plat::Dictionary{{"_ev", plat::Value(ev300)}},
         dmsTypedParameters(
             {{"_ev", dmsText(dms::test::repeated("\xC3\xA9", 256) + "...")}, {"_el", dmsInt(300)}}),
         {}},
        {"an _ev cut already stays",
         false,
         plat::Dictionary{{"_ev", plat::Value(ev259)}},
         dmsTypedParameters({{"_ev", dmsText(ev259)}}),
         {}},
        {"an _ev of 256 stays",
         false,
         plat::Dictionary{{"_ev", plat::Value(dms::test::repeated("e", 256))}},
         dmsTypedParameters({{"_ev", dmsText(dms::test::repeated("e", 256))}}),
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        dms::test::MonitorRecorder monitor;
        auto event = DMSEvent::initWithOrigin("app", c.isPublic, "purchase", 10, 0, c.raw);
        ASSERT_TRUE(event);
        DMSParameters expected = c.expected;
        expected.set("_o", dmsText("app"));
        EXPECT_EQ(event->parameters(), expected)
            << plat::Value(event->parameters().dictionary()).description();
        EXPECT_EQ(monitor.codes(), c.monitorCodes);
    }
}

TEST(DMSEvent, AtMostTwentyFivePublicParametersAreKept) {
    plat::Dictionary raw;
    for (int i = 26; i >= 1; --i) {
        char name[8];
        std::snprintf(name, sizeof name, "p%02d", i);
        raw.set(name, plat::Value(i));
    }
    for (int i = 0; i < 10; ++i) {
        raw.set("_x" + std::to_string(i), plat::Value(i));
    }
    // Names beginning with "_" pass only on internal events; there they neither count nor go.
    dms::test::MonitorRecorder monitor;
    DMSParameters parameters = dmsEventParameters(raw, false);
    EXPECT_FALSE(parameters.contains("p26"));
    EXPECT_TRUE(parameters.contains("p25"));
    EXPECT_TRUE(parameters.contains("p01"));
    EXPECT_TRUE(parameters.contains("_x9"));
    EXPECT_EQ(parameters.size(), 25u + 10u + 2u); // "_o" and "_err"
    EXPECT_EQ(*parameters.find("_err"), dmsInt(5));
    ASSERT_EQ(monitor.codes(), std::vector<int64_t>{16001});
    EXPECT_EQ(monitor.calls()[0].message, "Event cannot contain more than 25 parameters");

    raw.erase("p26");
    monitor.clear();
    DMSParameters full = dmsEventParameters(raw, false);
    EXPECT_TRUE(full.contains("p25"));
    EXPECT_FALSE(full.contains("_err"));
    EXPECT_TRUE(monitor.codes().empty());
}

TEST(DMSEvent, OriginAndNameAreChecked) {
    dms::test::MonitorRecorder monitor;
    EXPECT_TRUE(DMSEvent::initWithOrigin("abc+rtm", true, "purchase", 1, 0, plat::Dictionary{}));
    EXPECT_EQ(DMSEvent::initWithOrigin("abc+rtm", true, "purchase", 1, 0, plat::Dictionary{})->origin(),
              "abc+rtm");
    EXPECT_TRUE(DMSEvent::initWithOrigin("auto", false, "_f", 1, 0, plat::Dictionary{}));
    EXPECT_TRUE(monitor.codes().empty());
    EXPECT_FALSE(DMSEvent::initWithOrigin("", false, "_f", 1, 0, plat::Dictionary{}));
    EXPECT_FALSE(DMSEvent::initWithOrigin("a b", false, "_f", 1, 0, plat::Dictionary{}));
    EXPECT_FALSE(DMSEvent::initWithOrigin("app", true, "first_open", 1, 0, plat::Dictionary{}));
    EXPECT_FALSE(DMSEvent::initWithOrigin("app", true, "_f", 1, 0, plat::Dictionary{}));
    EXPECT_FALSE(
        DMSEvent::initWithOrigin("app", false, dms::test::repeated("e", 41), 1, 0, plat::Dictionary{}));
    monitor.clear();
    auto late = DMSEvent::initWithOrigin("app", false, "_f", 1, 2, plat::Dictionary{});
    ASSERT_TRUE(late);
    EXPECT_EQ(monitor.codes(), std::vector<int64_t>{16002});
}

TEST(DMSEvent, WireFieldsCarryMillisecondsAndOneValuePerParameter) {
    auto event = DMSEvent::initWithOrigin("app", true, "foo", 1.5, 0, plat::Dictionary{});
    DMSEventFields fields = event->protoEventFields();
    EXPECT_EQ(fields.name, std::optional<std::string>("foo"));
    EXPECT_EQ(fields.timestampMillis, std::optional<int64_t>(1500));
    EXPECT_FALSE(fields.previousTimestampMillis);
    ASSERT_EQ(fields.params.size(), 1u);
    EXPECT_EQ(fields.params[0].name, std::optional<std::string>("_o"));
    EXPECT_EQ(fields.params[0].stringValue, std::optional<std::string>("app"));

    auto later = event->copyWithPreviousTimestamp(1.5);
    ASSERT_TRUE(later);
    EXPECT_EQ(later->protoEventFields().previousTimestampMillis, std::optional<int64_t>(1500));

    auto typed = DMSEvent::initWithOrigin("app", false, "_x", 2, 1,
                                          plat::Dictionary{{"i", plat::Value(-7)}, {"d", plat::Value(0.5)}});
    DMSEventFields typedFields = typed->protoEventFields();
    ASSERT_EQ(typedFields.params.size(), 3u);
    EXPECT_EQ(typedFields.params[0].intValue, std::optional<int64_t>(-7));
    EXPECT_FALSE(typedFields.params[0].doubleValue);
    EXPECT_EQ(typedFields.params[1].doubleValue, std::optional<double>(0.5));
    EXPECT_FALSE(typedFields.params[1].intValue);
}

TEST(DMSEvent, TimesOutsideTheIntegerRangeSaturateOnTheWire) {
    auto huge = DMSEvent::initWithOrigin("app", false, "_x", 1e300, 1e300, plat::Dictionary{});
    auto fields = huge->protoEventFields();
    EXPECT_EQ(fields.timestampMillis, std::numeric_limits<int64_t>::max());
    EXPECT_EQ(fields.previousTimestampMillis, std::numeric_limits<int64_t>::max());
    auto nan = DMSEvent::initWithOrigin("app", false, "_x", std::nan(""), 0, plat::Dictionary{});
    EXPECT_EQ(nan->protoEventFields().timestampMillis, std::optional<int64_t>(0));
}

TEST(DMSEvent, ReadBackFromWireFields) {
    auto original = DMSEvent::initWithOrigin(
        "zuv", false, "_s", 12.25, 11.5,
        plat::Dictionary{{"n", plat::Value(4)}, {"d", plat::Value(1.25)}, {"s", plat::Value("t")}});
    dms::test::MonitorRecorder monitor;
    auto back = DMSEvent::initWithEventProto(original->protoEventFields());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->origin(), "zuv");
    EXPECT_EQ(back->name(), "_s");
    EXPECT_EQ(back->timestamp(), 12.25);
    EXPECT_EQ(back->previousTimestamp(), 11.5);
    EXPECT_EQ(back->parameters(), original->parameters());
    EXPECT_TRUE(monitor.codes().empty());

    DMSEventFields fields = original->protoEventFields();
    fields.params.push_back(DMSEventParamFields{}); // no name
    fields.params.push_back(
        DMSEventParamFields{std::string("empty"), std::nullopt, std::nullopt, std::nullopt});
    auto skipped = DMSEvent::initWithEventProto(fields);
    ASSERT_TRUE(skipped);
    EXPECT_EQ(skipped->parameters(), original->parameters());
    EXPECT_EQ(monitor.codes(), (std::vector<int64_t>{15000, 15002}));

    monitor.clear();
    DMSEventFields noOrigin = original->protoEventFields();
    for (auto& param : noOrigin.params) {
        if (param.name == "_o") {
            param.stringValue.reset();
            param.intValue = 5;
        }
    }
    EXPECT_FALSE(DMSEvent::initWithEventProto(noOrigin));
    EXPECT_EQ(monitor.codes(), std::vector<int64_t>{15001});
}

TEST(DMSEvent, CopiesAreNormalisedAgainAsInternalEvents) {
    auto event =
        DMSEvent::initWithOrigin("app", true, "purchase", 5, 0, plat::Dictionary{{"a", plat::Value(1)}});
    auto copy = event->copyWithParameters(plat::Dictionary{
        {"_internal", plat::Value(dms::test::repeated("v", 150))}, {"bad-name", plat::Value(1)}});
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->name(), "purchase");
    EXPECT_TRUE(copy->parameters().contains("_internal"));
    EXPECT_FALSE(copy->parameters().contains("bad-name"));
    EXPECT_EQ(*copy->parameters().find("_err"), dmsInt(3));
    auto same = event->copy();
    ASSERT_TRUE(same);
    EXPECT_EQ(same->parameters(), event->parameters());
}

TEST(DMSEvent, ConversionFlagFollowsTheValueAndCurrencyRule) {
    auto event =
        DMSEvent::initWithOrigin("app", false, "_iap", 1, 0, plat::Dictionary{{"_c", plat::Value(1)}});
    EXPECT_TRUE(event->isConversion());
    event->setConversion(false);
    EXPECT_FALSE(event->isConversion());
    EXPECT_EQ(*event->parameters().find("_err"), dmsInt(10));
    event->setConversion(true);
    EXPECT_TRUE(event->isConversion());
    EXPECT_FALSE(event->parameters().contains("_err"));

    dms::test::MonitorRecorder monitor;
    auto withoutCurrency = DMSEvent::initWithOrigin(
        "app", false, "_iap", 1, 0, plat::Dictionary{{"_c", plat::Value(1)}, {"value", plat::Value(9.99)}});
    EXPECT_FALSE(withoutCurrency->isConversion());
    EXPECT_FALSE(withoutCurrency->parameters().contains("value"));
    EXPECT_EQ(*withoutCurrency->parameters().find("_err"), dmsInt(19));
    EXPECT_EQ(*withoutCurrency->parameters().find("_ev"), dmsText("currency"));

    auto priced = DMSEvent::initWithOrigin("app", false, "_iap", 1, 0,
                                           plat::Dictionary{{"_c", plat::Value(1)},
                                                            {"value", plat::Value(9.99)},
                                                            {"currency", plat::Value("EUR")}});
    EXPECT_TRUE(priced->isConversion());
    EXPECT_TRUE(priced->parameters().contains("value"));
}

TEST(DMSEvent, RealtimeAndDebugFlags) {
    auto event = DMSEvent::initWithOrigin("app", false, "_x", 1, 0, plat::Dictionary{});
    EXPECT_FALSE(event->isRealtime());
    event->setRealtime(true);
    event->setDebug(true);
    EXPECT_TRUE(event->isRealtime());
    EXPECT_TRUE(event->isDebug());
    event->setDebug(false);
    EXPECT_FALSE(event->isDebug());
    EXPECT_FALSE(event->parameters().contains("_dbg"));

    dms::test::MonitorRecorder monitor;
    auto textual =
        DMSEvent::initWithOrigin("app", false, "_x", 1, 0, plat::Dictionary{{"_r", plat::Value("1")}});
    EXPECT_FALSE(textual->isRealtime());
    EXPECT_EQ(monitor.codes(), std::vector<int64_t>{16006});
}

TEST(DMSEvent, ScreenParametersNeedClassAndID) {
    struct {
        const char* label;
        plat::Dictionary screen;
        bool added;
        std::vector<int64_t> monitorCodes;
    } cases[] = {
        {"class, ID and name",
         plat::Dictionary{{"_sc", "Home"}, {"_si", plat::Value(42)}, {"_sn", "Start"}},
         true,
         {}},
        {"class and ID", plat::Dictionary{{"_sc", "Home"}, {"_si", plat::Value(42)}}, true, {}},
        {"empty", plat::Dictionary{}, false, {}},
        {"no ID", plat::Dictionary{{"_sc", "Home"}}, false, {}},
        {"class of another type",
         plat::Dictionary{{"_sc", plat::Value(1)}, {"_si", plat::Value(42)}},
         false,
         {}},
        {"empty class", plat::Dictionary{{"_sc", ""}, {"_si", plat::Value(42)}}, false, {13001, 16003}},
        {"ID as text", plat::Dictionary{{"_sc", "Home"}, {"_si", "42"}}, false, {}},
        {"name too long",
         plat::Dictionary{
             {"_sc", "Home"}, {"_si", plat::Value(42)}, {"_sn", plat::Value(dms::test::repeated("n", 101))}},
         false,
         {13000, 16004}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto event = DMSEvent::initWithOrigin("app", false, "_vs", 1, 0, plat::Dictionary{});
        dms::test::MonitorRecorder monitor;
        EXPECT_EQ(event->addScreenParameters(c.screen), c.added);
        EXPECT_EQ(monitor.codes(), c.monitorCodes);
        if (c.added) {
            EXPECT_EQ(*event->parameters().find("_sc"), dmsText("Home"));
            EXPECT_EQ(*event->parameters().find("_si"), dmsInt(42));
            EXPECT_EQ(event->parameters().contains("_sn"), c.screen.contains("_sn"));
            // A second set is refused.
            EXPECT_FALSE(event->addScreenParameters(c.screen));
        } else {
            EXPECT_FALSE(event->parameters().contains("_sc"));
        }
    }
}

TEST(DMSEventAggregates, CountsWrapToZeroAtTheLargestValue) {
    dms::test::MonitorRecorder monitor;
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    auto aggregates = DMSEventAggregates::initWithName("_e", kMax - 1, kMax, 3.5);
    ASSERT_TRUE(aggregates);
    EXPECT_EQ(aggregates->lastSamplingRate(), 1);
    EXPECT_EQ(aggregates->lastBundledTimestamp(), 0);
    EXPECT_FALSE(aggregates->lastSampledComplexEventID());
    aggregates->incrementLifetimeCount();
    EXPECT_EQ(aggregates->lifetimeCount(), kMax);
    aggregates->incrementLifetimeCount();
    EXPECT_EQ(aggregates->lifetimeCount(), 0);
    aggregates->incrementCurrentBundleCount();
    EXPECT_EQ(aggregates->currentBundleCount(), 0);
    EXPECT_EQ(monitor.codes(), (std::vector<int64_t>{17001, 17002}));

    monitor.clear();
    EXPECT_FALSE(DMSEventAggregates::initWithName("_e", -1, 0, 0));
    EXPECT_FALSE(DMSEventAggregates::initWithName("_e", 0, -1, 0));
    EXPECT_FALSE(DMSEventAggregates::initWithName("bad name", 0, 0, 0));
    EXPECT_EQ(monitor.codes(), (std::vector<int64_t>{17000, 17000, 13002}));
}

TEST(DMSRawEventData, NeedsAnEventAndARowID) {
    dms::test::MonitorRecorder monitor;
    auto event = DMSEvent::initWithOrigin("app", false, "_x", 1, 0, plat::Dictionary{});
    auto row = DMSRawEventData::initWithRawEvent(event, 0, -5);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->rowID(), 0);
    EXPECT_EQ(row->metadataFingerprint(), -5);
    EXPECT_EQ(row->rawEvent().name(), "_x");
    EXPECT_FALSE(DMSRawEventData::initWithRawEvent(event, -1, 0));
    EXPECT_FALSE(DMSRawEventData::initWithRawEvent(std::nullopt, 1, 0));
    EXPECT_EQ(monitor.codes(), (std::vector<int64_t>{28001, 28000}));
}
