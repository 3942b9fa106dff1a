// The analytics bridge over a stand-in "DAVAnalytics" class of the object runtime that records what it is
// sent: event names and parameters of predefined and custom events, the cleaning of names, and the cases in
// which nothing is sent.

#include "ZazududIda/ZDALogger.hpp"
#include "ZazududIda/ZDAVedudoduAnalyticsBridge.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/runtime/SimRuntime.hpp"

#include <gtest/gtest.h>

namespace {

namespace rt = plat::rt;
using plat::Decimal;
using plat::Dictionary;
using plat::Value;
using E = ZDAPredefinedEvent;

struct SentEvent {
    std::string origin;
    std::string name;
    Dictionary parameters;
};

std::vector<SentEvent>& sentEvents() {
    static std::vector<SentEvent> sent;
    return sent;
}

rt::Class* registerFakeAnalytics() {
    rt::Class* cls = plat::sim::Runtime::registerClass("DAVAnalytics");
    rt::replaceMethod(rt::metaclass(cls), rt::sel("logInternalEventWithOrigin:name:parameters:"),
                      [](rt::Object&, const std::string& origin, const std::string& name, const Dictionary& parameters) {
                          sentEvents().push_back({origin, name, parameters});
                      });
    return cls;
}

TEST(ZDABridge, PredefinedEventsInTheClientsVocabulary) {
    registerFakeAnalytics();
    const ZDAVedudoduAnalyticsBridge bridge;
    ASSERT_NE(bridge.vedudoduAnalytics(), nullptr);
    const auto price = Decimal::fromString("2.5");
    const Dictionary coupon{{"coupon", Value("X")}};
    struct Case {
        const char* what;
        ZDAPredefinedEvent::Ptr event;
        std::vector<std::string> names;
        Dictionary parameters;
    } cases[] = {
        {"failed purchase", E::purchaseEventWithPrice(price, "EUR", Value(false), "Hat", "wear", "h1", coupon),
         {"failed_ecommerce_purchase"}, coupon},
        {"purchase", E::purchaseEventWithPrice(price, "EUR", Value(true), "Hat", "wear", "h1", std::nullopt),
         {"ecommerce_purchase"},
         {{"currency", Value("EUR")}, {"value", Value(2.5)}, {"item_category", Value("wear")},
          {"item_id", Value("h1")}, {"item_name", Value("Hat")}}},
        {"purchase without flag", E::purchaseEventWithPrice(price, std::nullopt, std::nullopt, std::nullopt,
                                                            std::nullopt, std::nullopt, std::nullopt),
         {"ecommerce_purchase"}, {{"value", Value(2.5)}}},
        {"login without flag", E::loginEventWithMethod("pw", std::nullopt, std::nullopt), {"login"},
         {{"method", Value("pw")}}},
        {"failed sign-up", E::signUpEventWithMethod("pw", Value(int64_t(0)), std::nullopt), {"failed_sign_up"}, {}},
        {"add to cart", E::addToCartEventWithPrice(price, "EUR", "Hat", "wear", "h1", std::nullopt), {"add_to_cart"},
         {{"item_category", Value("wear")}, {"item_id", Value("h1")}, {"item_name", Value("Hat")},
          {"price", Value(2.5)}, {"currency", Value("EUR")}, {"quantity", Value(int64_t(1))}, {"value", Value(2.5)}}},
        {"level end", E::levelEndEventWithLevelName("one", Value(int64_t(9)), Value(false), std::nullopt),
         {"level_end", "post_score"},
         {{"level_name", Value("one")}, {"score", Value(int64_t(9))}, {"success", Value(int64_t(0))}}},
        {"checkout", E::startCheckoutEventWithPrice(Decimal::fromString("0.1"), "EUR", Value(int64_t(3)), std::nullopt),
         {"begin_checkout"}, {{"currency", Value("EUR")}, {"value", Value(0.1)}, {"quantity", Value(int64_t(3))}}},
        {"content view", E::contentViewEventWithName("n", "t", "i", std::nullopt), {"select_content"},
         {{"content_type", Value("t")}, {"item_id", Value("i")}, {"item_name", Value("n")}}},
        {"rating", E::ratingEventWithRating(Value(int64_t(5)), std::nullopt, std::nullopt, "i", std::nullopt),
         {"rate_content"}, {{"rating", Value(int64_t(5))}, {"item_id", Value("i")}}},
        {"search", E::searchEventWithQuery("q", std::nullopt), {"search"}, {{"search_term", Value("q")}}},
        {"predefined wins", E::inviteEventWithMethod("mail", Dictionary{{"method", Value("sms")}, {"vedudodu_user", Value("u")}}),
         {"invite"}, {{"method", Value("mail")}, {"vizeze_vedudodu_user", Value("u")}}},
    };
    for (const auto& c : cases) {
        sentEvents().clear();
        bridge.logEvent(*c.event);
        ASSERT_EQ(sentEvents().size(), c.names.size()) << c.what;
        for (size_t i = 0; i < c.names.size(); ++i) {
            EXPECT_EQ(sentEvents()[i].origin, "zuv") << c.what;
            EXPECT_EQ(sentEvents()[i].name, c.names[i]) << c.what;
            EXPECT_EQ(Value(sentEvents()[i].parameters), Value(c.parameters)) << c.what;
        }
    }
}

TEST(ZDABridge, CustomEventNamesAndParameters) {
    registerFakeAnalytics();
    const ZDAVedudoduAnalyticsBridge bridge;
    const std::string fifty(50, 'n');
    const std::string mark = "\xE0\xA4\xBE"; // U+093E, a spacing combining mark, alphanumeric but no letter
    struct Case {
        std::optional<std::string> name;
        std::string sent;
    } cases[] = {
        {"2nd purchase!", "vizeze_2nd_purchase_"},
        {"screen_view", "vizeze_screen_view"},
        {"razoza_x", "vizeze_razoza_x"},
        {"ga_y", "vizeze_ga_y"},
        {"vedudodu_z", "vizeze_vedudodu_z"},
        {"", "vizeze_unnamed_event"},
        {std::nullopt, "vizeze_unnamed_event"},
        {fifty, std::string(40, 'n')},
        {"_" + std::string(39, 'x'), "vizeze__" + std::string(32, 'x')},
        {mark + "abc", "vizeze_" + mark + "abc"},
        {"caf\xC3\xA9 au lait", "caf\xC3\xA9_au_lait"},
    };
    for (const auto& c : cases) {
        sentEvents().clear();
        bridge.logEvent(ZDACustomEvent(c.name, std::nullopt));
        ASSERT_EQ(sentEvents().size(), 1u);
        EXPECT_EQ(sentEvents()[0].name, c.sent) << c.name.value_or("(nil)");
        EXPECT_TRUE(sentEvents()[0].parameters.empty());
    }

    // Custom attributes go as the caller gave them, under cleaned names; the kit's own rules do not apply.
    sentEvents().clear();
    const Value list(plat::Array{Value(1)});
    bridge.logEvent(ZDACustomEvent("e", Dictionary{{"vedudodu_user", Value("u")},
                                                   {"", Value(int64_t(1))},
                                                   {"a b", list},
                                                   {std::string(45, 'k'), Value("long")}}));
    ASSERT_EQ(sentEvents().size(), 1u);
    EXPECT_EQ(Value(sentEvents()[0].parameters),
              Value(Dictionary{{"vizeze_vedudodu_user", Value("u")},
                               {"vizeze_unnamed_parameter", Value(int64_t(1))},
                               {"a_b", list},
                               {std::string(40, 'k'), Value("long")}}));
}

TEST(ZDABridge, ForwardsNothingElse) {
    registerFakeAnalytics();
    const ZDAVedudoduAnalyticsBridge bridge;
    sentEvents().clear();
    bridge.logEvent(ZDALifecycleEvent("app_launched"));
    bridge.logEvent(ZDACrashEvent(plat::Date(1), 1));
    bridge.logEvent(ZDAEvent());
    EXPECT_TRUE(sentEvents().empty());

    // A class that does not answer the selector counts as absent.
    EXPECT_EQ(ZDAVedudoduAnalyticsBridge(plat::sim::Runtime::registerClass("NotAnalytics")).vedudoduAnalytics(), nullptr);
}

TEST(ZDABridge, WithoutTheClientNothingIsSentOrPrinted) {
    ZDALogger::sharedLogger().setDebugMode(true);
    plat::sim::ConsoleCapture console;
    const ZDAVedudoduAnalyticsBridge absent;
    EXPECT_EQ(absent.vedudoduAnalytics(), nullptr);
    absent.logEvent(ZDACustomEvent("x", std::nullopt));
    absent.logEvent(*E::searchEventWithQuery("q", std::nullopt));
    EXPECT_EQ(console.nslog(), "");

    registerFakeAnalytics();
    const ZDAVedudoduAnalyticsBridge present;
    present.logEvent(ZDACustomEvent("x", Dictionary{{"k", Value("v")}}));
    EXPECT_NE(console.nslog().find("[Zuvidir] Logging custom event to Vedudodu. <x\n" +
                                   Value(Dictionary{{"k", Value("v")}}).description() + ">"),
              std::string::npos)
        << console.nslog();
    present.logEvent(*E::searchEventWithQuery("q", std::nullopt));
    EXPECT_NE(console.nslog().find("[Zuvidir] Logging predefined event to Vedudodu. <search\n"), std::string::npos);
}

TEST(ZDABridge, TheStubOnlyWarns) {
    plat::sim::ConsoleCapture console;
    ZDAStubsForDAVAnalytics::logInternalEventWithOrigin("zuv", "x", {});
    EXPECT_NE(console.nslog().find("Stub only. Do not use.\n"), std::string::npos);
}

} // namespace
