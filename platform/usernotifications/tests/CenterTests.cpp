// The notification centre: authorization and the settings that follow it, where and when completions run,
// scheduled requests firing as time passes, attachments, and the models a push payload becomes.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/usernotifications/SimNotifications.hpp"
#include "platform/usernotifications/UNNotificationAttachment.hpp"
#include "platform/usernotifications/UNUserNotificationCenter.hpp"
#include "platform/usernotifications/tests/CurrentCenter.hpp"
#include "testing/TempAppHome.hpp"

namespace plat {
namespace {

using S = UNNotificationSetting;
using Status = UNAuthorizationStatus;

using test::center;

std::shared_ptr<UNNotificationRequest> request(const std::string& id, double interval, bool repeats = false) {
    auto content = UNMutableNotificationContent::make();
    content->setBody("body of " + id);
    return UNNotificationRequest::requestWithIdentifier(
        id, content.get(), UNTimeIntervalNotificationTrigger::triggerWithTimeInterval(interval, repeats));
}

std::vector<std::string> deliveredIds() {
    std::vector<std::string> ids;
    for (const auto& n : sim::Notifications::deliveredNotifications())
        ids.push_back(n->identifier());
    return ids;
}

TEST(UNAuthorization, AnswersFollowThePromptAndTheStatusChangesBeforeTheAppHearsIt) {
    struct Case {
        const char* name;
        uint64_t options;
        sim::AuthorizationAnswer answer;
        bool granted;
        std::optional<int64_t> errorCode;
        Status status;
        size_t prompts;
        double answeredAfter;
    };
    const Error refused(UNErrorDomain, UNErrorCodeNotificationsNotAllowed);
    const Case cases[] = {
        {"granted", 7, {true, std::nullopt, 0}, true, std::nullopt, Status::authorized, 1, 0},
        {"denied with error", 7, {false, refused, 0}, false, 1, Status::denied, 1, 0},
        {"provisional alone asks nobody",
         64,
         {false, std::nullopt, 0},
         true,
         std::nullopt,
         Status::provisional,
         0,
         0},
        {"provisional with others prompts",
         64 | 7,
         {false, std::nullopt, 0},
         false,
         std::nullopt,
         Status::denied,
         1,
         0},
        {"the user takes five seconds",
         7,
         {true, std::nullopt, 5},
         true,
         std::nullopt,
         Status::authorized,
         1,
         5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Notifications::setAuthorizationStatus(Status::notDetermined, 0);
        std::vector<uint64_t> promptedWith;
        sim::Notifications::setPromptSource([&](uint64_t options) {
            promptedWith.push_back(options);
            return c.answer;
        });
        const double start = Virtual::uptime();
        std::optional<bool> granted;
        std::optional<Error> error;
        std::optional<Status> statusSeenByHandler;
        double answeredAt = -1;
        center()->requestAuthorizationWithOptions(c.options, [&](bool g, std::optional<Error> e) {
            granted = g;
            error = e;
            statusSeenByHandler = sim::Notifications::authorizationStatus();
            answeredAt = Virtual::uptime();
        });
        if (c.answeredAfter > 0) {
            Virtual::advanceBy(c.answeredAfter - 0.5);
            EXPECT_FALSE(granted) << "answered before the user did";
        }
        Virtual::advanceBy(c.answeredAfter + 1);
        ASSERT_TRUE(granted);
        EXPECT_EQ(*granted, c.granted);
        EXPECT_EQ(error.has_value(), c.errorCode.has_value());
        if (error && c.errorCode) {
            EXPECT_TRUE(error->is(UNErrorDomain, *c.errorCode));
        }
        EXPECT_EQ(statusSeenByHandler, c.status);
        EXPECT_EQ(promptedWith.size(), c.prompts);
        if (c.prompts) {
            EXPECT_EQ(promptedWith.front(), c.options);
        }
        EXPECT_NEAR(answeredAt - start, c.answeredAfter, 1e-9);
    }
    EXPECT_EQ(sim::Notifications::authorizationRequests(), (std::vector<uint64_t>{7, 7, 64, 71, 7}));
}

TEST(UNAuthorization, TheUserIsAskedOnceAndADriverAnswerWinsOverThePromptSource) {
    int prompts = 0;
    sim::Notifications::setPromptSource([&](uint64_t) {
        ++prompts;
        return sim::AuthorizationAnswer{true, std::nullopt, 0};
    });
    sim::Notifications::answerAuthorization(false);
    std::vector<bool> answers;
    center()->requestAuthorizationWithOptions(7, [&](bool g, std::optional<Error>) { answers.push_back(g); });
    Virtual::runUntilIdle();
    center()->requestAuthorizationWithOptions(7, [&](bool g, std::optional<Error>) { answers.push_back(g); });
    // Provisional after a refusal is not granted either.
    center()->requestAuthorizationWithOptions(64,
                                              [&](bool g, std::optional<Error>) { answers.push_back(g); });
    Virtual::runUntilIdle();
    EXPECT_EQ(answers, (std::vector<bool>{false, false, false}));
    EXPECT_EQ(prompts, 1) << "the source still sees the one prompt shown";
    EXPECT_EQ(sim::Notifications::promptsShown(), 1u);
}

TEST(UNAuthorization, PendingPromptsWaitForTheTest) {
    sim::Notifications::setPendingMode(true);
    std::optional<bool> granted;
    center()->requestAuthorizationWithOptions(6, [&](bool g, std::optional<Error>) { granted = g; });
    Virtual::advanceBy(3600);
    EXPECT_FALSE(granted);
    EXPECT_EQ(sim::Notifications::waitingPromptCount(), 1u);
    EXPECT_TRUE(sim::Notifications::answerPending(true));
    EXPECT_FALSE(granted) << "the answer still comes on the centre's queue";
    Virtual::runUntilIdle();
    EXPECT_EQ(granted, true);
    EXPECT_FALSE(sim::Notifications::answerPending(true)) << "nothing waits any more";

    std::optional<UNNotificationSettings> settings;
    center()->getNotificationSettingsWithCompletionHandler([&](UNNotificationSettings s) { settings = s; });
    Virtual::runUntilIdle();
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->badgeSetting, S::disabled);
    EXPECT_EQ(settings->soundSetting, S::enabled);
    EXPECT_EQ(settings->alertSetting, S::enabled);
}

TEST(UNSettings, FollowTheStatusAndTheGrantedOptions) {
    struct Case {
        Status status;
        uint64_t granted;
        S badge, sound, alert, lockScreen, list;
        bool providesSettings;
    };
    const Case cases[] = {
        {Status::notDetermined, 0, S::notSupported, S::notSupported, S::notSupported, S::notSupported,
         S::notSupported, false},
        {Status::denied, 0, S::disabled, S::disabled, S::disabled, S::disabled, S::disabled, false},
        {Status::authorized, 7, S::enabled, S::enabled, S::enabled, S::enabled, S::enabled, false},
        {Status::authorized, 1 | 32, S::enabled, S::disabled, S::disabled, S::disabled, S::disabled, true},
        {Status::provisional, 64, S::disabled, S::disabled, S::disabled, S::disabled, S::enabled, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.status) * 100 + static_cast<int>(c.granted));
        sim::Notifications::setAuthorizationStatus(c.status, c.granted);
        std::optional<UNNotificationSettings> s;
        center()->getNotificationSettingsWithCompletionHandler([&](UNNotificationSettings v) { s = v; });
        Virtual::runUntilIdle();
        ASSERT_TRUE(s);
        EXPECT_EQ(s->authorizationStatus, c.status);
        EXPECT_EQ(s->badgeSetting, c.badge);
        EXPECT_EQ(s->soundSetting, c.sound);
        EXPECT_EQ(s->alertSetting, c.alert);
        EXPECT_EQ(s->lockScreenSetting, c.lockScreen);
        EXPECT_EQ(s->notificationCenterSetting, c.list);
        EXPECT_EQ(s->providesAppNotificationSettings, c.providesSettings);
    }
    EXPECT_EQ(sim::Notifications::settingsRequestCount(), std::size(cases));
}

TEST(UNSettings, ASetOverrideAndADelayAreHonoured) {
    UNNotificationSettings chosen = UNNotificationSettings::forStatus(Status::authorized, 4);
    chosen.badgeSetting = S::notSupported;
    sim::Notifications::setSettings(chosen);
    sim::Notifications::setSettingsDelay(0.3);
    EXPECT_EQ(sim::Notifications::authorizationStatus(), Status::authorized);
    std::optional<UNNotificationSettings> s;
    center()->getNotificationSettingsWithCompletionHandler([&](UNNotificationSettings v) { s = v; });
    Virtual::advanceBy(0.2);
    EXPECT_FALSE(s);
    Virtual::advanceBy(0.2);
    EXPECT_EQ(s, chosen);
}

// Every completion the centre hands back comes later, on its own queue: never inline and never on main.
TEST(UNCenterQueue, EveryCompletionRunsLaterOnTheCentresQueue) {
    sim::Notifications::setAuthorizationStatus(Status::authorized, 7);
    auto c = center();
    std::vector<std::string> ran;
    auto check = [&](const char* name) {
        EXPECT_TRUE(c->queue()->isCurrent()) << name;
        EXPECT_FALSE(DispatchQueue::main()->isCurrent()) << name;
        ran.push_back(name);
    };
    c->requestAuthorizationWithOptions(7, [&](bool, std::optional<Error>) { check("authorization"); });
    c->getNotificationSettingsWithCompletionHandler([&](UNNotificationSettings) { check("settings"); });
    c->getNotificationCategoriesWithCompletionHandler(
        [&](std::vector<UNNotificationCategory>) { check("categories"); });
    c->addNotificationRequest(request("r", 10), [&](std::optional<Error> e) {
        EXPECT_FALSE(e);
        check("add");
    });
    c->getPendingNotificationRequestsWithCompletionHandler([&](auto list) {
        EXPECT_EQ(list.size(), 1u);
        check("pending");
    });
    c->getDeliveredNotificationsWithCompletionHandler([&](auto) { check("delivered"); });
    EXPECT_TRUE(ran.empty()) << "a completion ran inline";
    Virtual::runUntilIdle();
    EXPECT_EQ(ran, (std::vector<std::string>{"authorization", "settings", "categories", "add", "pending",
                                             "delivered"}));
}

// A library reads the settings synchronously by waiting a short while on a semaphore; the wait lets the
// centre's answer in, and a centre slower than the wait times it out without losing the late answer.
TEST(UNCenterQueue, ACallerWaitingOnASemaphoreGetsTheAnswerOrTimesOut) {
    for (double delay : {0.0, 0.5}) {
        SCOPED_TRACE(delay);
        sim::Notifications::setSettingsDelay(delay);
        DispatchSemaphore done(0);
        int answers = 0;
        center()->getNotificationSettingsWithCompletionHandler([&](UNNotificationSettings) {
            ++answers;
            done.signal();
        });
        EXPECT_EQ(done.wait(0.1), delay == 0);
        Virtual::advanceBy(1);
        EXPECT_EQ(answers, 1);
    }
}

TEST(UNCategories, ALaterCategoryWithTheSameIdentifierReplacesTheEarlier) {
    UNNotificationAction reply{"reply", "Reply", UNNotificationActionOptionForeground, {{"Send", "Message"}}};
    center()->setNotificationCategories({{"chat", {}, {}, 0}, {"news", {}, {}, 0}, {"chat", {reply}, {}, 1}});
    std::vector<UNNotificationCategory> got;
    center()->getNotificationCategoriesWithCompletionHandler([&](auto list) { got = list; });
    Virtual::runUntilIdle();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].identifier, "chat");
    ASSERT_EQ(got[0].actions.size(), 1u);
    EXPECT_TRUE(got[0].actions[0].isTextInput());
    EXPECT_EQ(got[0].options, UNNotificationCategoryOptionCustomDismissAction);
    EXPECT_EQ(got[1].identifier, "news");
}

TEST(UNRequests, TimeIntervalRequestsFireAsVirtualTimePasses) {
    sim::Notifications::setAuthorizationStatus(Status::authorized, 7);
    auto c = center();
    c->addNotificationRequest(request("ten", 10));
    c->addNotificationRequest(request("thirty", 30));
    c->addNotificationRequest(request("removed", 5));
    c->addNotificationRequest(request("replaced", 5));
    c->addNotificationRequest(request("hourly", 3600, true));
    Virtual::runUntilIdle();
    c->removePendingNotificationRequestsWithIdentifiers({"removed"});
    Virtual::advanceBy(4);
    c->addNotificationRequest(request("replaced", 20)); // starts again from now: due at 24

    Virtual::advanceBy(5.5); // 9.5
    EXPECT_TRUE(deliveredIds().empty());
    Virtual::advanceBy(1); // 10.5
    EXPECT_EQ(deliveredIds(), (std::vector<std::string>{"ten"}));
    Virtual::advanceBy(14); // 24.5
    EXPECT_EQ(deliveredIds(), (std::vector<std::string>{"ten", "replaced"}));
    Virtual::advanceBy(6); // 30.5
    EXPECT_EQ(deliveredIds(), (std::vector<std::string>{"ten", "replaced", "thirty"}));

    // A repeating request stays pending and comes back every interval.
    std::vector<std::string> pending;
    for (const auto& r : sim::Notifications::pendingRequests())
        pending.push_back(r->identifier());
    EXPECT_EQ(pending, (std::vector<std::string>{"hourly"}));
    Virtual::advanceBy(3600 * 2);
    auto delivered = sim::Notifications::deliveredNotifications();
    ASSERT_EQ(delivered.size(), 4u) << "the same identifier replaces its earlier delivery";
    EXPECT_EQ(delivered.back()->identifier(), "hourly");
    EXPECT_EQ(sim::Notifications::pendingRequests().size(), 1u);

    c->removeAllPendingNotificationRequests();
    c->removeDeliveredNotificationsWithIdentifiers({"ten"});
    Virtual::advanceBy(3600 * 2);
    EXPECT_EQ(deliveredIds(), (std::vector<std::string>{"replaced", "thirty", "hourly"}));
    EXPECT_TRUE(Virtual::pendingTimers().empty()) << "removed requests leave no timer behind";
    c->removeAllDeliveredNotifications();
    EXPECT_TRUE(deliveredIds().empty());
}

TEST(UNRequests, RefusedUntilTheAppMayPostAndBadTriggersRaise) {
    std::optional<Error> error;
    center()->addNotificationRequest(request("early", 10), [&](std::optional<Error> e) { error = e; });
    Virtual::advanceBy(20);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(UNErrorDomain, UNErrorCodeNotificationsNotAllowed));
    EXPECT_TRUE(deliveredIds().empty());
    EXPECT_TRUE(sim::Notifications::addedRequests().empty());

    EXPECT_THROW(UNTimeIntervalNotificationTrigger::triggerWithTimeInterval(0, false), Exception);
    EXPECT_THROW(UNTimeIntervalNotificationTrigger::triggerWithTimeInterval(59, true), Exception);
    EXPECT_NO_THROW(UNTimeIntervalNotificationTrigger::triggerWithTimeInterval(60, true));
    auto content = UNMutableNotificationContent::make();
    EXPECT_THROW(UNNotificationRequest::requestWithIdentifier("", content.get(), nullptr), Exception);
    EXPECT_THROW(center()->addNotificationRequest(nullptr), Exception);
}

TEST(UNRequests, TheRequestKeepsTheContentAsItWasWhenMade) {
    auto content = UNMutableNotificationContent::make();
    content->setTitle("first");
    auto r = UNNotificationRequest::requestWithIdentifier("id", content.get(), nullptr);
    content->setTitle("changed later");
    EXPECT_EQ(r->content()->title(), "first");
    EXPECT_EQ(rt::className(*r->content()), "UNNotificationContent");
}

TEST(UNAttachments, FilesMustExistAndBeOfAKnownType) {
    test::TempAppHome temp;
    auto write = [&](const std::string& name) {
        const std::string path = temp.root() + "/" + name;
        EXPECT_TRUE(writeData(path, Data{1, 2, 3}, WriteOptions{}).ok());
        return URL::file(path);
    };
    struct Case {
        const char* name;
        std::optional<URL> url;
        std::optional<int64_t> errorCode;
        const char* type;
    };
    const Case cases[] = {
        {"png", write("a.png"), std::nullopt, "public.png"},
        {"upper-case extension", write("b.JPEG"), std::nullopt, "public.jpeg"},
        {"video", write("c.m4v"), std::nullopt, "public.mpeg-4"},
        {"text file", write("d.txt"), UNErrorCodeAttachmentUnrecognizedType, ""},
        {"no extension", write("e"), UNErrorCodeAttachmentUnrecognizedType, ""},
        {"missing", URL::file(temp.root() + "/missing.png"), UNErrorCodeAttachmentInvalidURL, ""},
        {"folder", URL::file(temp.root(), true), UNErrorCodeAttachmentInvalidURL, ""},
        {"not a file URL", URL::parse("https://example.test/a.png"), UNErrorCodeAttachmentInvalidURL, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.url);
        auto made = UNNotificationAttachment::create("att", *c.url);
        ASSERT_EQ(made.ok(), !c.errorCode);
        if (c.errorCode) {
            EXPECT_TRUE(made.error().is(UNErrorDomain, *c.errorCode)) << made.error().description();
        } else {
            EXPECT_EQ(made.value().type(), c.type);
            EXPECT_EQ(made.value().identifier(), "att");
        }
    }
}

TEST(UNPushModels, APayloadBecomesContentAndATriggerThatKnowsContentAvailable) {
    Value payload(Dictionary{
        {"aps", Value(Dictionary{{"alert", Value(Dictionary{{"title", Value("T")}, {"body", Value("B")}})},
                                 {"badge", Value(3)},
                                 {"sound", Value("default")},
                                 {"category", Value("chat")},
                                 {"thread-id", Value("t1")},
                                 {"content-available", Value(1)}})},
        {"custom", Value("x")}});
    auto n = sim::Notifications::makeRemoteNotification(payload, "n1");
    EXPECT_EQ(n->identifier(), "n1");
    auto content = n->request()->content();
    EXPECT_EQ(content->title(), "T");
    EXPECT_EQ(content->body(), "B");
    EXPECT_EQ(content->badge(), 3);
    ASSERT_TRUE(content->sound());
    EXPECT_TRUE(content->sound()->isDefault());
    EXPECT_EQ(content->categoryIdentifier(), "chat");
    EXPECT_EQ(content->threadIdentifier(), "t1");
    EXPECT_EQ(content->userInfo(), payload);
    // What hooks read by name and key-value coding.
    auto trigger = n->request()->trigger();
    EXPECT_EQ(rt::className(*trigger), "UNPushNotificationTrigger");
    EXPECT_TRUE(trigger->valueForKey("_isContentAvailable").boolValue());
    EXPECT_EQ(n->valueForKey("request").asObject()->valueForKey("content").asObject()->valueForKey("body"),
              Value("B"));

    auto plain = sim::Notifications::makeRemoteNotification(
        Value(Dictionary{{"aps", Value(Dictionary{{"alert", Value("hi")}})}}));
    EXPECT_FALSE(plain->identifier().empty());
    EXPECT_EQ(plain->request()->content()->body(), "hi");
    EXPECT_FALSE(plain->request()->content()->sound());
    EXPECT_FALSE(plain->request()->trigger()->valueForKey("_isContentAvailable").boolValue());
}

} // namespace
} // namespace plat
