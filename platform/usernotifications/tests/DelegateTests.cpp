// The centre's delegate: foreground presentation and taps reach it through the runtime (so a hook on its
// class sees them), it is held weakly, and each handler handed to it must be called exactly once.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/CompletionCheck.hpp"
#include "platform/usernotifications/SimNotifications.hpp"
#include "platform/usernotifications/UNUserNotificationCenter.hpp"
#include "platform/usernotifications/tests/CurrentCenter.hpp"

namespace plat {
namespace {

std::vector<std::string>& events() {
    static std::vector<std::string> list;
    return list;
}

bool hasProblem(const std::string& needle) {
    for (const auto& p : sim::CompletionHandlers::problems()) {
        if (p.find(needle) != std::string::npos)
            return true;
    }
    return false;
}

using test::center;

std::shared_ptr<UNNotification> push(const std::string& id, const std::string& body = "hello") {
    return sim::Notifications::makeRemoteNotification(
        Value(Dictionary{{"aps", Value(Dictionary{{"alert", Value(body)}})}}), id);
}

std::string bodyOf(const rt::ObjectPtr& notification) {
    return std::dynamic_pointer_cast<UNNotification>(notification)->request()->content()->body();
}

// A delegate class whose will-present answers with `options` (set per test) and whose did-receive records the
// response and completes.
class UNDelegate : public ::testing::Test {
protected:
    void SetUp() override {
        events().clear();
        cls =
            rt::registerClass("CentreDelegate", rt::rootClass(), {UNUserNotificationCenterDelegateProtocol});
        rt::addMethod(cls, kWillPresentNotificationSelector,
                      [](rt::Object&, rt::ObjectPtr c, rt::ObjectPtr n, UNPresentationHandler done) {
                          EXPECT_EQ(c, rt::ObjectPtr(center()));
                          events().push_back("present " + bodyOf(n));
                          done(UNNotificationPresentationOptionBadge | UNNotificationPresentationOptionAlert);
                      });
        rt::addMethod(cls, kDidReceiveNotificationResponseSelector,
                      [](rt::Object&, rt::ObjectPtr, rt::ObjectPtr r, std::function<void()> done) {
                          std::string line = "response " + r->valueForKey("actionIdentifier").stringValue() +
                                             " " + bodyOf(r->valueForKey("notification").asObject());
                          if (rt::isKindOf(*r, rt::getClass("UNTextInputNotificationResponse")))
                              line += " text=" + r->valueForKey("userText").stringValue();
                          events().push_back(line);
                          done();
                      });
        delegate = rt::createInstance(cls);
        center()->setDelegate(delegate);
    }
    rt::Class* cls = nullptr;
    rt::ObjectPtr delegate;
};

TEST_F(UNDelegate, ForegroundPresentationRecordsTheOptionsTheDelegateChose) {
    auto shown = push("a", "shown");
    sim::Notifications::presentInForeground(shown);
    EXPECT_EQ(events(), (std::vector<std::string>{"present shown"}));
    ASSERT_EQ(sim::Notifications::presentations().size(), 1u);
    EXPECT_EQ(sim::Notifications::presentations()[0].options, 5u);
    EXPECT_TRUE(sim::Notifications::presentations()[0].delegateCalled);
    EXPECT_EQ(sim::Notifications::deliveredNotification("a"), shown) << "an alert stays in the list";

    // A delegate without the method, and no delegate at all: not presented, recorded as 0.
    center()->setDelegate(rt::createInstance(rt::registerClass("MuteDelegate")));
    sim::Notifications::presentInForeground(push("b"));
    center()->setDelegate(nullptr);
    sim::Notifications::presentInForeground(push("c"));
    auto records = sim::Notifications::presentations();
    ASSERT_EQ(records.size(), 3u);
    for (size_t i : {1u, 2u}) {
        EXPECT_EQ(records[i].options, 0u);
        EXPECT_FALSE(records[i].delegateCalled);
    }
    EXPECT_EQ(sim::Notifications::deliveredNotifications().size(), 1u);
}

TEST_F(UNDelegate, TheDelegateIsHeldWeakly) {
    EXPECT_EQ(center()->delegate(), delegate);
    EXPECT_EQ(center()->valueForKey("delegate").asObject(), delegate);
    delegate.reset();
    EXPECT_EQ(center()->delegate(), nullptr);
    sim::Notifications::presentInForeground(push("gone"));
    EXPECT_TRUE(events().empty());
}

TEST_F(UNDelegate, TapsReachTheDelegateWithTheActionAndTypedText) {
    sim::Notifications::deliverToList(push("n1", "first"));
    sim::Notifications::deliverToList(push("n2", "second"));
    EXPECT_TRUE(sim::Notifications::respond("n1"));
    EXPECT_TRUE(sim::Notifications::respond("n2", "reply", std::string("on my way")));
    EXPECT_FALSE(sim::Notifications::respond("n1")) << "a tapped notification leaves the list";
    EXPECT_EQ(events(), (std::vector<std::string>{std::string("response ") +
                                                      UNNotificationDefaultActionIdentifier + " first",
                                                  "response reply second text=on my way"}));
    auto responses = sim::Notifications::responses();
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_TRUE(responses[0].completed && responses[1].completed);
    EXPECT_EQ(responses[1].userText, "on my way");
    EXPECT_TRUE(sim::Notifications::deliveredNotifications().empty());
}

// The interception pattern: a library exchanges the delegate class's method with its own, whose body then
// calls through to the app's (now under the library's selector). The centre must reach the hook.
TEST_F(UNDelegate, AHookExchangedIntoTheDelegateClassSeesEveryCall) {
    const char* hookSel = "hook_userNotificationCenter:willPresentNotification:withCompletionHandler:";
    rt::addMethod(cls, hookSel,
                  [hookSel](rt::Object& self, rt::ObjectPtr c, rt::ObjectPtr n, UNPresentationHandler done) {
                      events().push_back("hook " + bodyOf(n));
                      rt::msgSend(self, hookSel, c, n, std::move(done));
                  });
    rt::exchangeImplementations(rt::instanceMethod(cls, rt::sel(kWillPresentNotificationSelector)),
                                rt::instanceMethod(cls, rt::sel(hookSel)));
    // The same on the centre: a hook of setDelegate: sees the app set its delegate.
    rt::Class* centreClass = UNUserNotificationCenter::runtimeClass();
    rt::addMethod(centreClass, "hook_setDelegate:", [](rt::Object& self, rt::ObjectPtr d) {
        events().push_back(std::string("set delegate ") + (d ? rt::className(*d) : "nil"));
        rt::msgSend(self, "hook_setDelegate:", d);
    });
    rt::exchangeImplementations(rt::instanceMethod(centreClass, rt::sel("setDelegate:")),
                                rt::instanceMethod(centreClass, rt::sel("hook_setDelegate:")));

    center()->setDelegate(delegate);
    sim::Notifications::presentInForeground(push("x", "hooked"));
    EXPECT_EQ(events(),
              (std::vector<std::string>{"set delegate CentreDelegate", "hook hooked", "present hooked"}));
    EXPECT_EQ(center()->delegate(), delegate) << "the hook ended in the centre's own setter";
    EXPECT_EQ(sim::Notifications::presentations().at(0).options, 5u);
}

TEST_F(UNDelegate, ASecondCallOfAHandlerIsMisuseAndIgnored) {
    rt::replaceMethod(cls, rt::sel(kWillPresentNotificationSelector),
                      [](rt::Object&, rt::ObjectPtr, rt::ObjectPtr, UNPresentationHandler done) {
                          done(UNNotificationPresentationOptionSound);
                          done(UNNotificationPresentationOptionAlert);
                      });
    rt::replaceMethod(cls, rt::sel(kDidReceiveNotificationResponseSelector),
                      [](rt::Object&, rt::ObjectPtr, rt::ObjectPtr, std::function<void()>) {});
    sim::Notifications::presentInForeground(push("twice"));
    auto records = sim::Notifications::presentations();
    ASSERT_EQ(records.size(), 1u) << "only the first answer counts";
    EXPECT_EQ(records[0].options, UNNotificationPresentationOptionSound);
    EXPECT_TRUE(hasProblem("willPresentNotification:withCompletionHandler: was called more than once"));

    sim::Notifications::deliverToList(push("never"));
    EXPECT_TRUE(sim::Notifications::respond("never"));
    EXPECT_FALSE(sim::Notifications::responses().at(0).completed);
    EXPECT_TRUE(hasProblem("didReceiveNotificationResponse:withCompletionHandler: was"));
    sim::CompletionHandlers::reset(); // the misuse was on purpose
}

TEST(UNCenterClass, IsFoundByNameAndAnswersTheClassMethod) {
    rt::Class* cls = UNUserNotificationCenter::runtimeClass();
    EXPECT_EQ(rt::getClass("UNUserNotificationCenter"), cls);
    auto viaRuntime = rt::msgSend<rt::ObjectPtr>(*cls, "currentNotificationCenter");
    EXPECT_EQ(viaRuntime, rt::ObjectPtr(UNUserNotificationCenter::currentNotificationCenter()));
    for (const char* name :
         {"UNNotification", "UNNotificationResponse", "UNTextInputNotificationResponse",
          "UNPushNotificationTrigger", "UNTimeIntervalNotificationTrigger", "UNNotificationSettings"})
        EXPECT_NE(rt::getClass(name), nullptr) << name;
    EXPECT_TRUE(rt::isSubclassOf(rt::getClass("UNTextInputNotificationResponse"),
                                 rt::getClass("UNNotificationResponse")));
}

} // namespace
} // namespace plat
