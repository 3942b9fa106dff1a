// The crash event to the analytics and the conversion of its events, with stand-in analytics classes.

#include "crash/VZRDCRAnalytics.hpp"

#include "crash/capture/tests/CrashContextFixture.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

namespace rt = plat::rt;

struct SentAnalyticsEvent {
    std::string origin;
    std::string name;
    plat::Dictionary parameters;
};

std::vector<SentAnalyticsEvent>& sentAnalyticsEvents() {
    static std::vector<SentAnalyticsEvent> sent;
    return sent;
}

std::vector<std::function<void(rt::ObjectPtr)>>& analyticsListeners() {
    static std::vector<std::function<void(rt::ObjectPtr)>> listeners;
    return listeners;
}

// The analytics client's class as the crash reporter finds it; `withListener` false leaves out the listener
// message, which makes the class unusable.
void registerFakeAnalytics(bool withListener = true) {
    rt::Class* meta = rt::metaclass(rt::registerClass("DAVAnalytics"));
    rt::replaceMethod(meta, "logInternalEventWithOrigin:name:parameters:",
                      [](rt::Object&, std::string origin, std::string name, plat::Dictionary parameters) {
                          sentAnalyticsEvents().push_back({std::move(origin), std::move(name), std::move(parameters)});
                      });
    if (withListener)
        rt::replaceMethod(meta, "addLogEventListener:", [](rt::Object&, std::function<void(rt::ObjectPtr)> l) {
            analyticsListeners().push_back(std::move(l));
            return rt::ObjectPtr();
        });
}

class FakeAnalyticsValue : public rt::Object {
public:
    explicit FakeAnalyticsValue(rt::Class* cls) : rt::Object(cls) {}
    int64_t type = 0;
    double d = 0;
    int64_t i = 0;
    std::string s;
};

class FakeAnalyticsEvent : public rt::Object {
public:
    explicit FakeAnalyticsEvent(rt::Class* cls) : rt::Object(cls) {}
    plat::Value name;
    plat::Dictionary parameters;
};

rt::Class* fakeValueClass() {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass<FakeAnalyticsValue>("TestDMSValue");
        rt::addMethod(c, "valueType", [](FakeAnalyticsValue& v) { return v.type; });
        rt::addMethod(c, "doubleValue", [](FakeAnalyticsValue& v) { return v.d; });
        rt::addMethod(c, "int64Value", [](FakeAnalyticsValue& v) { return v.i; });
        rt::addMethod(c, "stringValue", [](FakeAnalyticsValue& v) { return v.s; });
        return c;
    }();
    return cls;
}

plat::Value fakeValue(int64_t type, double d, int64_t i, std::string s) {
    auto v = rt::make<FakeAnalyticsValue>(fakeValueClass());
    v->type = type;
    v->d = d;
    v->i = i;
    v->s = std::move(s);
    return plat::Value(rt::ObjectPtr(v));
}

rt::ObjectPtr fakeEvent(plat::Value name, plat::Dictionary parameters) {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass<FakeAnalyticsEvent>("TestDMSEvent");
        rt::addMethod(c, "name", [](FakeAnalyticsEvent& e) { return e.name; });
        rt::addMethod(c, "parameters", [](FakeAnalyticsEvent& e) { return e.parameters; });
        return c;
    }();
    auto e = rt::make<FakeAnalyticsEvent>(cls);
    e->name = std::move(name);
    e->parameters = std::move(parameters);
    return e;
}

class AnalyticsBridgeTest : public crashtest::CrashContextTest {
protected:
    void SetUp() override {
        CrashContextTest::SetUp();
        plat::sim::Process::setArguments({"portal", "-DAVDebugEnabled"});
        ASSERT_TRUE(initialize());
    }
    plat::sim::ConsoleCapture console;
};

TEST_F(AnalyticsBridgeTest, TheCrashEventCarriesTheTimeRoundedToTheMillisecond) {
    registerFakeAnalytics();
    VZRDCRAnalytics::logCrashWithTimeStamp(2.0007, false); // not Vedudodu mode, no flag
    EXPECT_TRUE(sentAnalyticsEvents().empty());
    VZRDCRAnalytics::logCrashWithTimeStamp(2.0007, true);
    ASSERT_EQ(sentAnalyticsEvents().size(), 1u);
    const SentAnalyticsEvent& e = sentAnalyticsEvents()[0];
    EXPECT_EQ(e.origin, "vzx");
    EXPECT_EQ(e.name, "_ae");
    EXPECT_EQ(e.parameters, (plat::Dictionary{{"timestamp", plat::Value(int64_t{2001})},
                                              {"_r", plat::Value(int64_t{1})},
                                              {"fatal", plat::Value(int64_t{1})}}));
    EXPECT_NE(console.nslog().find("[Vuzidorazav:Crash:Reports:Event] Sending event."), std::string::npos);

    VZRDCRAnalytics::registerAnalyticsEventListener([](rt::ObjectPtr) {});
    EXPECT_EQ(analyticsListeners().size(), 1u);
    EXPECT_NE(console.nslog().find("[Vuzidorazav:Crash:Reports:Event] Registered Vedudodu Analytics event listener"),
              std::string::npos);
}

TEST_F(AnalyticsBridgeTest, WithoutAUsableAnalyticsClassNothingIsSentAndNothingFails) {
    registerFakeAnalytics(false);
    VZRDCRAnalytics::logCrashWithTimeStamp(5, true);
    VZRDCRAnalytics::registerAnalyticsEventListener([](rt::ObjectPtr) {});
    EXPECT_TRUE(sentAnalyticsEvents().empty());
    EXPECT_EQ(console.nslog().find("Registered"), std::string::npos);
}

TEST_F(AnalyticsBridgeTest, EventsConvertEveryKnownValueTypeAndDropTheRest) {
    const auto event = fakeEvent(plat::Value("purchase"), plat::Dictionary{{"price", fakeValue(0, 9.5, 0, "")},
                                                                          {"count", fakeValue(1, 0, -3, "")},
                                                                          {"odd", fakeValue(7, 0, 0, "")},
                                                                          {"item", fakeValue(2, 0, 0, "book")},
                                                                          {"plain", plat::Value("not an object")}});
    const auto converted = VZRDAVAEventToDictionary(event);
    ASSERT_TRUE(converted);
    EXPECT_EQ(converted->find("name")->asString(), "purchase");
    EXPECT_EQ(converted->find("parameters")->asDictionary(),
              (plat::Dictionary{{"price", plat::Value(9.5)},
                                {"count", plat::Value(int64_t{-3})},
                                {"item", plat::Value("book")}}));
    EXPECT_NE(sdkLog().find("WARN  [VZRDAVValueToAllowableType:"), std::string::npos);
    EXPECT_NE(sdkLog().find("] Unexpected DAVAValue type\n"), std::string::npos);

    EXPECT_FALSE(VZRDAVAEventToDictionary(fakeEvent(plat::Value(), {})));
    EXPECT_NE(sdkLog().find("] Event name is nil\n"), std::string::npos);
    EXPECT_EQ(VZRDAVAEventToDictionary(fakeEvent(plat::Value("e"), {}))->find("parameters")->asDictionary().size(),
              0u);
}

} // namespace
