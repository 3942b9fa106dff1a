// Check-in against the instance-ID back end: what the first and a later request carry, how replies of every
// shape end, one request for many waiting callers, the save rules and the retry timer.

#include "instance_id/DAVInstanceIDAuthService.hpp"
#include "instance_id/DAVInstanceIDCheckinService.hpp"
#include "instance_id/DAVInstanceIDStore.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "instance_id/tests/InstanceIDServerSupport.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/TimeZone.hpp"
#include "platform/net/URLSession.hpp"

#include <cerrno>
#include <chrono>
#include <mutex>

namespace {

using devserver::Reply;
using iid_test::InstanceIDServerTest;
using nlohmann::json;

// What a check-in handed to its caller; filled on whatever thread the reply arrives.
struct CheckinOutcome {
    std::mutex mutex;
    int calls = 0;
    std::shared_ptr<DAVInstanceIDCheckinPreferences> checkin;
    std::optional<plat::Error> error;
    std::vector<int> order;

    DAVInstanceIDAuthService::Handler handler(int tag = 0) {
        return [this, tag](std::shared_ptr<DAVInstanceIDCheckinPreferences> c, std::optional<plat::Error> e) {
            std::lock_guard lock(mutex);
            ++calls;
            checkin = std::move(c);
            error = std::move(e);
            order.push_back(tag);
        };
    }
    int count() {
        std::lock_guard lock(mutex);
        return calls;
    }
};

class DAVInstanceIDAuthServiceTest : public InstanceIDServerTest {
protected:
    DAVInstanceIDAuthServiceTest() {
        plat::NotificationCenter::defaultCenter().addObserver(
            this, std::string(kDAVInstanceIDCheckinFetchedNotification), nullptr,
            [this](const plat::Notification&) { ++fetchedNotifications; });
    }
    ~DAVInstanceIDAuthServiceTest() override {
        plat::NotificationCenter::defaultCenter().removeObserver(this);
    }

    std::shared_ptr<DAVInstanceIDAuthService> newAuthService() {
        store = std::make_shared<DAVInstanceIDStore>(std::weak_ptr<DAVInstanceIDStoreDelegate>());
        return std::make_shared<DAVInstanceIDAuthService>(store);
    }
    // Runs one fetch to its answer.
    void fetch(DAVInstanceIDAuthService& auth, CheckinOutcome& outcome) {
        const int before = outcome.count();
        auth.fetchCheckinInfoWithHandler(outcome.handler());
        ASSERT_TRUE(waitFor([&] { return outcome.count() > before; }));
        plat::Virtual::runUntilIdle();
    }
    // The answer of the check-in service alone to a scripted reply.
    std::pair<std::shared_ptr<DAVInstanceIDCheckinPreferences>, std::optional<plat::Error>>
    checkinWithReply(Reply reply) {
        server.route("POST", "/checkin", std::move(reply));
        DAVInstanceIDCheckinService checkinService;
        CheckinOutcome outcome;
        auto handler = outcome.handler();
        checkinService.checkinWithExistingCheckin(nullptr, [handler](auto c, auto e) { handler(c, e); });
        EXPECT_TRUE(waitFor([&] { return outcome.count() == 1; }));
        std::lock_guard lock(outcome.mutex);
        return {outcome.checkin, outcome.error};
    }

    std::shared_ptr<DAVInstanceIDStore> store;
    int fetchedNotifications = 0;
};

TEST_F(DAVInstanceIDAuthServiceTest,
       TheFirstCheckinIsStoredAndAWeekLaterTheNextCarriesItsCredentialsExactly) {
    auto auth = newAuthService();
    CheckinOutcome outcome;
    fetch(*auth, outcome);
    ASSERT_TRUE(outcome.checkin) << (outcome.error ? outcome.error->description() : "");

    auto first = requestsTo("/checkin");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].header("content-type"), "application/json");
    json sent = json::parse(first[0].body);
    ASSERT_TRUE(sent["logging_id"].is_number_unsigned());
    EXPECT_LE(sent["logging_id"].get<std::uint64_t>(), 0xFFFFFFFFull);
    sent.erase("logging_id");
    const json expected{{"checkin",
                         {{"iosbuild",
                           {{"model", plat::DeviceProfile::machine()},
                            {"os_version", "IOS_" + DAVInstanceIDSystemVersion()}}},
                          {"type", 2},
                          {"user_number", 0},
                          {"last_checkin_msec", 0}}},
                        {"fragment", 0},
                        {"locale", DAVInstanceIDCurrentLocale()},
                        {"version", 2},
                        {"digest", ""},
                        {"timezone", plat::TimeZone::local().name()},
                        {"user_serial_number", 0},
                        {"id", 0},
                        {"security_token", 0}};
    EXPECT_EQ(sent, expected);

    // Stored as the back end issued it: credentials above 2^53 survive, the rest in the plist.
    ASSERT_EQ(service->devices().size(), 1u);
    const auto device = service->devices()[0];
    const auto stored =
        DAVInstanceIDStore(std::weak_ptr<DAVInstanceIDStoreDelegate>()).cachedCheckinPreferences();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->deviceID(), std::to_string(device.id));
    EXPECT_EQ(stored->secretToken(), std::to_string(device.securityToken));
    EXPECT_EQ(stored->digest(), device.digest);
    EXPECT_EQ(stored->versionInfo(), "devserver-iid-1");
    EXPECT_EQ(stored->deviceDataVersion(), "devserver-data-1");
    EXPECT_EQ(stored->gServicesData()->size(), 3u);
    EXPECT_LE(stored->lastCheckinTimestampMillis(), DAVInstanceIDNowMilliseconds());
    EXPECT_EQ(fetchedNotifications, 1);

    // A valid record is answered at once, on the caller's thread, without a request.
    CheckinOutcome again;
    auth->fetchCheckinInfoWithHandler(again.handler());
    EXPECT_EQ(again.count(), 1);
    EXPECT_EQ(requestsTo("/checkin").size(), 1u);

    plat::Virtual::advanceBy(604800);
    CheckinOutcome later;
    fetch(*auth, later);
    auto second = requestsTo("/checkin");
    ASSERT_EQ(second.size(), 2u);
    const json next = json::parse(second[1].body);
    EXPECT_EQ(next["id"].get<std::int64_t>(), device.id);
    EXPECT_EQ(next["security_token"].get<std::int64_t>(), device.securityToken);
    EXPECT_EQ(next["digest"], device.digest);
    EXPECT_EQ(next["checkin"]["last_checkin_msec"].get<std::int64_t>(), stored->lastCheckinTimestampMillis());
    EXPECT_EQ(service->device(device.id)->checkins, 2);
    // The same credentials came back: nothing new to announce.
    EXPECT_EQ(fetchedNotifications, 1);
}

TEST_F(DAVInstanceIDAuthServiceTest, RepliesOfEveryShape) {
    const std::int64_t farFuture = (DAVInstanceIDNowSeconds() + 86400) * 1000;
    struct Case {
        const char* name;
        Reply reply;
        std::optional<std::string> deviceID; // none: the check-in fails
        std::string errorDomain;
        std::int64_t errorCode = 0;
    };
    const Case cases[] = {
        {"secret without device", Reply::json(200, R"({"security_token":5})"), std::nullopt,
         kDAVInstanceIDDomain, 7},
        {"400 with JSON", Reply::json(400, R"({"error":"bad"})"), std::nullopt, kDAVInstanceIDDomain, 7},
        {"not an object", Reply::json(200, "[1,2]"), std::nullopt, kDAVInstanceIDDomain, 7},
        {"device as a real", Reply::json(200, R"({"android_id":1.5,"security_token":2})"), std::nullopt,
         kDAVInstanceIDDomain, 7},
        {"device as a bool", Reply::json(200, R"({"android_id":true})"), std::nullopt, kDAVInstanceIDDomain,
         7},
        {"device as letters", Reply::json(200, R"({"android_id":"12ab"})"), std::nullopt,
         kDAVInstanceIDDomain, 7},
        {"500 with HTML", Reply::text(500, "<html>down</html>", "text/html"), std::nullopt,
         plat::NSCocoaErrorDomain, plat::NSPropertyListReadCorruptError},
        {"exact 64-bit",
         Reply::json(200, R"({"android_id":4242424242424242424,"security_token":"9007199254740993"})"),
         "4242424242424242424", "", 0},
        {"digits as text", Reply::json(200, R"({"android_id":"12","security_token":34})"), "12", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto [checkin, error] = checkinWithReply(c.reply);
        if (!c.deviceID) {
            EXPECT_FALSE(checkin);
            ASSERT_TRUE(error);
            EXPECT_EQ(error->domain, c.errorDomain);
            EXPECT_EQ(error->code, c.errorCode);
            continue;
        }
        ASSERT_TRUE(checkin) << (error ? error->description() : "");
        EXPECT_EQ(checkin->deviceID(), c.deviceID);
    }
    {
        SCOPED_TRACE("exact secret");
        auto [checkin, error] = checkinWithReply(
            Reply::json(200, R"({"android_id":4242424242424242424,"security_token":"9007199254740993"})"));
        ASSERT_TRUE(checkin);
        EXPECT_EQ(checkin->secretToken(), "9007199254740993");
    }
    {
        SCOPED_TRACE("future time, missing strings, settings with gaps and a repeat");
        auto [checkin, error] = checkinWithReply(Reply::json(
            200, json{{"android_id", 77},
                      {"time_msec", farFuture},
                      {"setting", json::array({json{{"name", "a"}, {"value", "1"}}, json{{"name", "b"}},
                                               json{{"value", "x"}}, json{{"name", "a"}, {"value", "2"}}})}}
                     .dump()));
        ASSERT_TRUE(checkin);
        EXPECT_EQ(checkin->lastCheckinTimestampMillis(), DAVInstanceIDNowMilliseconds());
        EXPECT_TRUE(loggedCode(7002));
        EXPECT_EQ(checkin->secretToken(), "");
        EXPECT_EQ(checkin->digest(), "");
        EXPECT_EQ(checkin->versionInfo(), "");
        EXPECT_EQ(checkin->deviceDataVersion(), "");
        EXPECT_EQ(checkin->gServicesData(), (plat::Dictionary{{"a", plat::Value("2")}}));
    }
    {
        SCOPED_TRACE("dropped connection");
        auto [checkin, error] = checkinWithReply(Reply::dropped());
        EXPECT_FALSE(checkin);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain, plat::NSURLErrorDomain);
    }
}

TEST_F(DAVInstanceIDAuthServiceTest, ThreeCallersWhileOneCheckinIsOutstandingShareOneRequestInOrder) {
    auto backend = service;
    server.route(devserver::Route{"POST", "/checkin", devserver::PathMatch::Exact, devserver::kInstanceIdHost,
                                  devserver::BodyCapture::Record,
                                  [backend](const devserver::RecordedRequest& r) {
                                      return backend->checkin(r).after(std::chrono::milliseconds(200));
                                  }});
    auto auth = newAuthService();
    CheckinOutcome outcome;
    auth->fetchCheckinInfoWithHandler(outcome.handler(1));
    // A caller that asks again from its handler is answered in turn, the walk of the waiting list unharmed.
    DAVInstanceIDAuthService* raw = auth.get();
    auth->fetchCheckinInfoWithHandler([&outcome, raw](auto checkin, auto error) {
        outcome.handler(2)(checkin, error);
        raw->fetchCheckinInfoWithHandler(outcome.handler(4));
    });
    auth->fetchCheckinInfoWithHandler(outcome.handler(3));
    EXPECT_TRUE(auth->isCheckinInProgress());
    ASSERT_TRUE(waitFor([&] { return outcome.count() == 4; }));
    EXPECT_EQ(outcome.order, (std::vector<int>{1, 2, 4, 3}));
    EXPECT_TRUE(outcome.checkin);
    EXPECT_EQ(requestsTo("/checkin").size(), 1u);
    EXPECT_FALSE(auth->isCheckinInProgress());
}

TEST_F(DAVInstanceIDAuthServiceTest, AFailedSaveFailsNewCredentialsButNotTheStoredOnes) {
    auto auth = newAuthService();
    CheckinOutcome first;
    // New credentials whose plist cannot be excluded from backup: code 6 over the save error, an emptied
    // record.
    plat::sim::Faults::fail("file.xattr", kDAVInstanceIDCheckinFileName, EIO);
    fetch(*auth, first);
    EXPECT_FALSE(first.checkin);
    ASSERT_TRUE(first.error);
    EXPECT_EQ(first.error->domain, kDAVInstanceIDDomain);
    EXPECT_EQ(first.error->code, 6);
    EXPECT_TRUE(first.error->underlyingError);
    ASSERT_TRUE(auth->checkinPreferences());
    EXPECT_FALSE(auth->checkinPreferences()->hasCheckinInfo());
    EXPECT_TRUE(loggedCode(7004));
    EXPECT_EQ(fetchedNotifications, 0);

    // The next fetch checks in again and stores the device.
    CheckinOutcome second;
    fetch(*auth, second);
    ASSERT_TRUE(second.checkin);
    EXPECT_EQ(fetchedNotifications, 1);

    // A week on the same device checks in again; its plist write fails, yet the stored credentials stand.
    plat::Virtual::advanceBy(604800);
    plat::sim::Faults::fail("file.write", kDAVInstanceIDCheckinFileName, ENOSPC);
    CheckinOutcome third;
    fetch(*auth, third);
    ASSERT_TRUE(third.checkin);
    EXPECT_FALSE(third.error);
    EXPECT_TRUE(third.checkin->hasPreCachedAuthCredentials());
    EXPECT_EQ(fetchedNotifications, 1);
    EXPECT_EQ(plat::sim::Faults::firedCount("file.write"), 1);
    const auto stored = store->cachedCheckinPreferences();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->deviceID(), second.checkin->deviceID());
}

TEST_F(DAVInstanceIDAuthServiceTest, AfterTheRequestWasStoppedEveryFetchIsAnsweredAsCancelled) {
    auto auth = newAuthService();
    auth->stopCheckinRequest();
    for (int attempt = 0; attempt < 2; ++attempt) {
        CheckinOutcome outcome;
        fetch(*auth, outcome);
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->domain, plat::NSURLErrorDomain);
        EXPECT_EQ(outcome.error->code, -999);
        EXPECT_FALSE(auth->isCheckinInProgress());
    }
    EXPECT_TRUE(requestsTo("/checkin").empty());
}

TEST_F(DAVInstanceIDAuthServiceTest, RetryIntervalsDoubleUpToThirtyTwoSeconds) {
    auto auth = newAuthService();
    const std::int64_t expected[] = {1, 2, 4, 8, 16, 32, 32, 32, 32, 32, 32, 32};
    for (int count = 0; count < 12; ++count) {
        auth->setCheckinRetryCount(count);
        EXPECT_EQ(auth->calculateNextCheckinRetryIntervalInSeconds(), expected[count]) << count;
    }
}

TEST_F(DAVInstanceIDAuthServiceTest, ASecondScheduleWhileOneIsPendingOnlyLogs) {
    auto auth = newAuthService();
    auth->scheduleCheckin(false);
    const auto timer = auth->scheduledCheckinTimer();
    ASSERT_TRUE(timer && timer->isValid());
    EXPECT_DOUBLE_EQ(timer->tolerance(), 0.5);
    EXPECT_FALSE(loggedCode(5000));
    auth->scheduleCheckin(false);
    EXPECT_TRUE(loggedCode(5000));
    EXPECT_EQ(auth->scheduledCheckinTimer(), timer);
    EXPECT_TRUE(requestsTo("/checkin").empty());
}

TEST_F(DAVInstanceIDAuthServiceTest, AScheduledCheckinRetriesAfterTwoFourAndEightSecondsUntilItSucceeds) {
    auto backend = service;
    auto failures = std::make_shared<std::atomic<int>>(0);
    server.route(devserver::Route{"POST", "/checkin", devserver::PathMatch::Exact, devserver::kInstanceIdHost,
                                  devserver::BodyCapture::Record,
                                  [backend, failures](const devserver::RecordedRequest& r) {
                                      if (failures->fetch_add(1) < 3) {
                                          return Reply::text(500, "<html>busy</html>", "text/html");
                                      }
                                      return backend->checkin(r);
                                  }});
    // Each attempt's virtual time, taken where the request leaves; the request then goes out for real.
    auto attempts = std::make_shared<std::vector<double>>();
    DAVInstanceIDCheckinService::setCheckinTestBlock(
        [attempts](const plat::URLRequest& request, plat::URLSession::DataCompletion reply) {
            attempts->push_back(plat::Virtual::uptime());
            plat::URLSession::shared()->dataTask(request, std::move(reply))->resume();
        });
    auto auth = newAuthService();
    const double start = plat::Virtual::uptime();
    auth->scheduleCheckin(true);
    for (double wait : {2.0, 4.0, 8.0}) {
        ASSERT_TRUE(waitFor([&] {
            const auto timer = auth->scheduledCheckinTimer();
            return timer && timer->isValid();
        }));
        plat::Virtual::advanceBy(wait);
    }
    ASSERT_TRUE(waitFor([&] { return auth->hasValidCheckinInfo() && auth->checkinRetryCount() == 4; }))
        << attempts->size() << " attempts, count " << auth->checkinRetryCount();
    std::vector<double> offsets;
    for (double at : *attempts) {
        offsets.push_back(at - start);
    }
    EXPECT_EQ(offsets, (std::vector<double>{0, 2, 6, 14}));
    EXPECT_FALSE(auth->scheduledCheckinTimer());
    EXPECT_TRUE(loggedCode(5002));
}

} // namespace
