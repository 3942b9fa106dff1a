// A service extension process: the principal class from the extension bundle gets each push request and hands
// back the content to show, in time or when told that its time is up.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/foundation/Bundle.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/usernotifications/SimServiceExtension.hpp"
#include "platform/usernotifications/UNNotificationServiceExtension.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

namespace plat {
namespace {

Value payload(const std::string& body) {
    return Value(Dictionary{
        {"aps",
         Value(Dictionary{{"alert", Value(Dictionary{{"title", Value("News")}, {"body", Value(body)}})},
                          {"mutable-content", Value(1)}})}});
}

// What a typical extension does: change the content, answer at once unless it waits for a download, and hand
// back its best attempt when time runs out.
struct Pending {
    UNContentHandler handler;
    std::shared_ptr<UNMutableNotificationContent> attempt;
};
Pending& pending() {
    static Pending p;
    return p;
}

void registerExtensionClass() {
    rt::Class* cls = rt::registerClass("BannerService", UNNotificationServiceExtension::runtimeClass());
    rt::addMethod(cls, kDidReceiveNotificationRequestSelector,
                  [](rt::Object&, rt::ObjectPtr r, UNContentHandler done) {
                      auto request = std::dynamic_pointer_cast<UNNotificationRequest>(r);
                      auto content = request->content()->mutableCopy();
                      content->setTitle("[changed] " + content->title());
                      if (content->body() == "slow") {
                          pending() = Pending{std::move(done), content};
                          return;
                      }
                      done(content);
                  });
    rt::addMethod(cls, kServiceExtensionTimeWillExpireSelector, [](rt::Object&) {
        if (pending().handler)
            pending().handler(pending().attempt);
        pending() = {};
    });
}

TEST(UNServiceExtension, ThePrincipalClassChangesTheContentInTimeOrWhenTimeRunsOut) {
    test::TempAppHome temp;
    test::FixtureBundle bundle(temp.root() + "/Service.appex",
                               Dictionary{{"CFBundleIdentifier", Value("test.portal.service")},
                                          {"NSExtension", Value(Dictionary{{"NSExtensionPrincipalClass",
                                                                            Value("BannerService")}})}});
    Bundle::setMain(bundle.path());
    registerExtensionClass();
    ASSERT_NE(sim::ServiceExtension::start(), nullptr);

    EXPECT_TRUE(sim::ServiceExtension::deliver(payload("fast")));
    EXPECT_TRUE(sim::ServiceExtension::deliver(payload("slow")));
    auto d = sim::ServiceExtension::deliveries();
    ASSERT_EQ(d.size(), 2u);
    EXPECT_TRUE(d[0].handled);
    ASSERT_TRUE(d[0].content);
    EXPECT_EQ(d[0].content->title(), "[changed] News");
    EXPECT_EQ(d[0].content->body(), "fast");
    EXPECT_FALSE(d[1].handled);

    EXPECT_TRUE(sim::ServiceExtension::timeWillExpire());
    d = sim::ServiceExtension::deliveries();
    EXPECT_TRUE(d[1].handled);
    ASSERT_TRUE(d[1].content);
    EXPECT_EQ(d[1].content->title(), "[changed] News");
}

TEST(UNServiceExtension, TheBaseShowsTheOriginalAndOnlyExtensionsStart) {
    rt::registerClass("PlainService", UNNotificationServiceExtension::runtimeClass());
    rt::registerClass("NotAService");
    EXPECT_EQ(sim::ServiceExtension::start("NotAService"), nullptr);
    EXPECT_FALSE(sim::ServiceExtension::deliver(payload("x")));
    EXPECT_FALSE(sim::ServiceExtension::timeWillExpire());
    EXPECT_EQ(sim::ServiceExtension::start("Missing"), nullptr);

    ASSERT_NE(sim::ServiceExtension::start("PlainService"), nullptr);
    EXPECT_TRUE(sim::ServiceExtension::deliver(payload("as sent")));
    auto d = sim::ServiceExtension::deliveries();
    ASSERT_EQ(d.size(), 1u);
    ASSERT_TRUE(d[0].content);
    EXPECT_EQ(d[0].content->title(), "News");
    EXPECT_EQ(d[0].content->body(), "as sent");
    EXPECT_TRUE(sim::ServiceExtension::timeWillExpire());
}

} // namespace
} // namespace plat
