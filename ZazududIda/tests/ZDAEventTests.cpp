// The event model: which attributes an event keeps and the console lines of the ones it refuses, the four
// kinds of event and their dictionary forms, and the twelve predefined factories.

#include "ZazududIda/ZDAAttributeDictionary.hpp"
#include "ZazududIda/ZDAEvent.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Random.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>

namespace {

using plat::Decimal;
using plat::Dictionary;
using plat::Value;

size_t occurrences(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

TEST(ZDAAttributes, KeepsAtMostTwentyOneEntriesInOrder) {
    plat::sim::ConsoleCapture console;
    Dictionary many;
    for (int i = 0; i < 25; ++i) {
        many.set("k" + std::to_string(i), Value(int64_t(i)));
    }
    ZDAAttributeDictionary attributes(many);
    const Dictionary& kept = attributes.dictionaryRepresentation();
    ASSERT_EQ(kept.size(), 21u);
    EXPECT_TRUE(kept.contains("k20"));
    EXPECT_FALSE(kept.contains("k21"));
    EXPECT_EQ(occurrences(console.nslog(), "[Zuvidir] Maximum number of Event attributes exceeded. Ignoring entry "),
              4u);
    EXPECT_NE(console.nslog().find("Ignoring entry k24:24"), std::string::npos);

    // Full: even a new value for a key already held is refused.
    attributes.addAttribute(Value("x"), Value("k0"));
    EXPECT_EQ(attributes.dictionaryRepresentation().find("k0")->asInt64(), 0);
}

TEST(ZDAAttributes, AcceptanceTable) {
    const std::string key100(100, 'a');
    const std::string value150(150, 'v');
    struct Case {
        const char* what;
        std::optional<Value> value;
        std::optional<Value> key;
        std::optional<std::pair<std::string, Value>> stored; // none: nothing stored
        const char* line;                                     // the console line expected, or nullptr
    } cases[] = {
        {"string", Value("s"), Value("k"), {{"k", Value("s")}}, nullptr},
        {"number", Value(2.5), Value("k"), {{"k", Value(2.5)}}, nullptr},
        {"bool counts as number", Value(true), Value("k"), {{"k", Value(true)}}, nullptr},
        {"nil value", std::nullopt, Value("k"), std::nullopt, nullptr},
        {"nil key", Value("s"), std::nullopt, std::nullopt, nullptr},
        {"NaN dropped", Value(std::numeric_limits<double>::quiet_NaN()), Value("k"), std::nullopt, nullptr},
        {"array value", Value(plat::Array{Value(1)}), Value("k"), std::nullopt,
         "[Zuvidir] Event attribute values must be of type NSString or NSNumber. Ignoring entry k:"},
        {"null value", Value(), Value("k"), std::nullopt,
         "[Zuvidir] Event attribute values must be of type NSString or NSNumber. Ignoring entry k:<null>"},
        {"number key", Value("s"), Value(int64_t(7)), std::nullopt,
         "[Zuvidir] Event attribute keys must be of type NSString. Ignoring entry 7:s"},
        {"100-unit key kept", Value("s"), Value(key100), {{key100, Value("s")}}, nullptr},
        {"101-unit key cut", Value("s"), Value(key100 + "b"), {{key100, Value("s")}},
         "[Zuvidir] Maximum length for an Event attributes exceeded. Truncating to 100 characters."},
        {"long value cut", Value(value150), Value("k"), {{"k", Value(std::string(100, 'v'))}},
         "[Zuvidir] Maximum length for an Event attributes exceeded. Truncating to 100 characters."},
    };
    for (const auto& c : cases) {
        plat::sim::ConsoleCapture console;
        plat::sim::Console::clearCaptured();
        ZDAAttributeDictionary attributes;
        attributes.addAttribute(c.value, c.key);
        const Dictionary& d = attributes.dictionaryRepresentation();
        if (c.stored) {
            ASSERT_EQ(d.size(), 1u) << c.what;
            EXPECT_EQ(d.begin()->first, c.stored->first) << c.what;
            EXPECT_EQ(d.begin()->second, c.stored->second) << c.what;
        } else {
            EXPECT_TRUE(d.empty()) << c.what;
        }
        if (c.line) {
            EXPECT_NE(console.nslog().find(c.line), std::string::npos) << c.what << ": " << console.nslog();
            EXPECT_EQ(occurrences(console.nslog(), "[Zuvidir]"), 1u) << c.what;
        } else {
            EXPECT_EQ(console.nslog(), "") << c.what;
        }
    }
}

TEST(ZDAAttributes, NaNReplacesAnEarlierValueByRemovingIt) {
    ZDAAttributeDictionary attributes;
    attributes.addAttribute(Value(int64_t(3)), Value("score"));
    attributes.addAttribute(Value(std::nan("")), Value("score"));
    EXPECT_FALSE(attributes.dictionaryRepresentation().contains("score"));
}

TEST(ZDAAttributes, SuccessFlagsAndPrices) {
    EXPECT_FALSE(ZDAAttributeDictionary::serializeSuccess(std::nullopt));
    EXPECT_EQ(ZDAAttributeDictionary::serializeSuccess(Value(int64_t(0))), Value("false"));
    EXPECT_EQ(ZDAAttributeDictionary::serializeSuccess(Value(true)), Value("true"));
    EXPECT_EQ(ZDAAttributeDictionary::serializeSuccess(Value(int64_t(5))), Value("true"));

    plat::sim::ConsoleCapture console;
    EXPECT_FALSE(ZDAAttributeDictionary::serializePriceToMicros(std::nullopt));
    EXPECT_EQ(ZDAAttributeDictionary::serializePriceToMicros(Decimal::fromString("2.5")), Value(int64_t(2500000)));
    EXPECT_EQ(ZDAAttributeDictionary::serializePriceToMicros(Decimal::fromString("0.1")), Value(int64_t(100000)));
    const Decimal limit = *Decimal::maximum().multiplyingByPowerOf10(-6);
    EXPECT_TRUE(ZDAAttributeDictionary::serializePriceToMicros(limit)) << "the limit itself is accepted";
    EXPECT_EQ(console.nslog(), "");
    const Decimal over = *limit.multiplyingByPowerOf10(1);
    EXPECT_FALSE(ZDAAttributeDictionary::serializePriceToMicros(over));
    EXPECT_NE(console.nslog().find("[Zuvidir] Maximum value for a price attribute exceeded. Ignoring price attribute "
                                   "with value: " +
                                   over.description()),
              std::string::npos);
}

TEST(ZDAPredefinedEvents, AttributeRulesOfTheFactories) {
    auto purchase = ZDAPredefinedEvent::purchaseEventWithPrice(std::nullopt, "EUR", std::nullopt, "Hat", "wear", "h1",
                                                               std::nullopt);
    const Dictionary& p = purchase->predefinedAttributes().dictionaryRepresentation();
    EXPECT_FALSE(p.contains("item_price"));
    EXPECT_FALSE(p.contains("success"));
    EXPECT_TRUE(purchase->customAttributes().dictionaryRepresentation().empty());

    auto paid = ZDAPredefinedEvent::purchaseEventWithPrice(Decimal::fromString("2.5"), "EUR", Value(int64_t(0)),
                                                           std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    EXPECT_EQ(*paid->predefinedAttributes().dictionaryRepresentation().find("item_price"), Value(int64_t(2500000)));
    EXPECT_EQ(*paid->predefinedAttributes().dictionaryRepresentation().find("success"), Value("false"));

    plat::sim::ConsoleCapture console;
    auto expensive = ZDAPredefinedEvent::addToCartEventWithPrice(Decimal::maximum(), "EUR", "x", "y", "z", std::nullopt);
    EXPECT_FALSE(expensive->predefinedAttributes().dictionaryRepresentation().contains("item_price"));
    EXPECT_EQ(expensive->predefinedAttributes().dictionaryRepresentation().size(), 4u) << "only the price is dropped";
    EXPECT_EQ(occurrences(console.nslog(), "Maximum value for a price attribute exceeded"), 1u);

    auto level = ZDAPredefinedEvent::levelEndEventWithLevelName("1", Value(std::nan("")), Value(true), std::nullopt);
    EXPECT_FALSE(level->predefinedAttributes().dictionaryRepresentation().contains("score"));
}

TEST(ZDAPredefinedEvents, TheTwelveFactories) {
    using E = ZDAPredefinedEvent;
    const Dictionary custom{{"c", Value("v")}};
    const auto n = Value(int64_t(4));
    const auto price = Decimal::fromString("1.25");
    struct Case {
        E::Ptr event;
        const char* type;
        std::vector<std::string> keys;
    } cases[] = {
        {E::signUpEventWithMethod("m", Value(true), custom), "sign_up", {"method", "success"}},
        {E::loginEventWithMethod("m", Value(true), custom), "login", {"method", "success"}},
        {E::shareEventWithMethod("m", "n", "t", "i", custom), "share", {"method", "content_name", "content_type", "content_id"}},
        {E::inviteEventWithMethod("m", custom), "invite", {"method"}},
        {E::purchaseEventWithPrice(price, "EUR", Value(true), "n", "t", "i", custom), "purchase",
         {"item_price", "currency", "success", "item_name", "item_type", "item_id"}},
        {E::levelStartEventWithLevelName("l", custom), "level_start", {"level_name"}},
        {E::levelEndEventWithLevelName("l", n, Value(false), custom), "level_end", {"level_name", "score", "success"}},
        {E::addToCartEventWithPrice(price, "EUR", "n", "t", "i", custom), "add_to_cart",
         {"item_price", "currency", "item_name", "item_type", "item_id"}},
        {E::startCheckoutEventWithPrice(price, "EUR", n, custom), "start_checkout", {"total_price", "currency", "item_count"}},
        {E::ratingEventWithRating(n, "n", "t", "i", custom), "rating", {"rating", "content_name", "content_type", "content_id"}},
        {E::contentViewEventWithName("n", "t", "i", custom), "content_view", {"content_name", "content_type", "content_id"}},
        {E::searchEventWithQuery("q", custom), "search", {"query"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.event->predefinedEventName(), c.type);
        EXPECT_EQ(c.event->name(), "predefined");
        EXPECT_EQ(c.event->predefinedAttributes().dictionaryRepresentation().keys(), c.keys) << c.type;
        const Dictionary d = c.event->dictionaryRepresentation();
        EXPECT_EQ(d.keys(), (std::vector<std::string>{"eventId", "predefined_type", "custom_attributes",
                                                      "predefined_attributes"}));
        EXPECT_EQ(*d.find("predefined_type"), Value(c.type));
        EXPECT_EQ(*d.find("eventId"), Value(c.event->identifier()));
        EXPECT_EQ(*d.find("custom_attributes"), Value(custom));
        EXPECT_FALSE(c.event->triggersFlush());
    }
    EXPECT_EQ(cases[10].event->description(),
              "<ZDAPredefinedEvent: content_view\n" +
                  Value(cases[10].event->predefinedAttributes().dictionaryRepresentation()).description() + "\n" +
                  Value(custom).description() + ">");
}

TEST(ZDAEvents, IdentityAndTimeOfCreation) {
    plat::Virtual::setWall(1000.25);
    plat::Random::seed(7);
    ZDACustomEvent a("a", std::nullopt);
    ZDACustomEvent b("b", std::nullopt);
    EXPECT_TRUE(std::regex_match(a.identifier(), std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
        << a.identifier();
    EXPECT_NE(a.identifier(), b.identifier());
    EXPECT_EQ(a.timestamp().timeIntervalSince1970(), 1000.25);
    plat::Random::seed(7);
    EXPECT_EQ(ZDACustomEvent("c", std::nullopt).identifier(), a.identifier()) << "a seeded draw fixes the identifier";
}

TEST(ZDAEvents, CustomEventsApplyTheRulesWhenRepresented) {
    plat::sim::ConsoleCapture console;
    ZDACustomEvent event("buy", Dictionary{{"list", Value(plat::Array{})}, {"ok", Value("yes")}});
    EXPECT_EQ(console.nslog(), "") << "nothing is checked at creation";
    const Dictionary d = event.dictionaryRepresentation();
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"eventId", "custom_type", "custom_attributes"}));
    EXPECT_EQ(*d.find("custom_attributes"), Value(Dictionary{{"ok", Value("yes")}}));
    EXPECT_EQ(occurrences(console.nslog(), "must be of type NSString or NSNumber"), 1u);
    (void)event.dictionaryRepresentation();
    EXPECT_EQ(occurrences(console.nslog(), "must be of type NSString or NSNumber"), 2u) << "again at each representation";
    EXPECT_EQ(event.name(), "custom");

    ZDACustomEvent empty("e", std::nullopt);
    EXPECT_EQ(*empty.dictionaryRepresentation().find("custom_attributes"), Value(Dictionary{}));
    EXPECT_EQ(empty.description(), "<ZDACustomEvent: e\n{\n}>");

    ZDACustomEvent unnamed(std::nullopt, std::nullopt);
    EXPECT_FALSE(unnamed.dictionaryRepresentation().contains("custom_type"));
    EXPECT_EQ(unnamed.description(), "<ZDACustomEvent: (null)\n{\n}>");
}

TEST(ZDAEvents, LifecycleNamesAndFlushes) {
    struct Case {
        const char* notification;
        const char* name;
        bool flushes;
    } cases[] = {
        {"UIApplicationWillTerminateNotification", "app_terminated", false},
        {"UIApplicationDidReceiveMemoryWarningNotification", "app_memory_warning", false},
        {"UIApplicationWillEnterForegroundNotification", "app_entered_foreground", false},
        {"UIApplicationDidEnterBackgroundNotification", "app_entered_background", false},
        {"UIApplicationWillResignActiveNotification", "app_became_inactive", true},
        {"UIApplicationDidBecomeActiveNotification", "app_became_active", true},
        {"SomethingElse", "unknown-notification", false},
    };
    EXPECT_EQ(ZDALifecycleEvent::notificationNameMap().size(), 6u);
    for (const auto& c : cases) {
        auto event = ZDALifecycleEvent::eventWithNotification(plat::Notification{c.notification, nullptr, {}});
        EXPECT_EQ(event->name(), c.name);
        EXPECT_EQ(event->triggersFlush(), c.flushes) << c.name;
        EXPECT_EQ(event->dictionaryRepresentation(), (Dictionary{{"eventId", Value(event->identifier())}}));
    }
    EXPECT_EQ(ZDALifecycleEvent::installEvent()->name(), "app_installed");
    EXPECT_TRUE(ZDALifecycleEvent::installEvent()->triggersFlush());
    EXPECT_EQ(ZDALifecycleEvent::appLaunchedEvent()->name(), "app_launched");
    EXPECT_FALSE(ZDALifecycleEvent::appLaunchedEvent()->triggersFlush());
}

TEST(ZDAEvents, CrashEventsCarryTheCrashTimeAndState) {
    plat::Virtual::setWall(5000);
    const plat::Date crashed(1234.5);
    for (auto [state, word] : std::vector<std::pair<uint64_t, const char*>>{
             {0, "unknown"}, {1, "foreground"}, {2, "background"}, {3, "unknown"}}) {
        ZDACrashEvent event(crashed, state);
        EXPECT_EQ(event.name(), "app_crashed");
        EXPECT_EQ(event.timestamp().timeIntervalSince1970(), 1234.5);
        EXPECT_EQ(event.dictionaryRepresentation(),
                  (Dictionary{{"eventId", Value(event.identifier())}, {"crash_state", Value(word)}}));
    }
}

} // namespace
