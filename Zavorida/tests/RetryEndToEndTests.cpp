// Retries against a real loopback back end: what the retrier is asked, when the next attempt reaches the
// server, and what the caller finally receives.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "Zavorida/Source/ZVError.hpp"
#include "Zavorida/tests/DevserverFixture.hpp"
#include "platform/foundation/NotificationCenter.hpp"

namespace Zavorida {
namespace {

using devserver::RecordedRequest;
using devserver::Reply;
using plat::Virtual;
using test::waitFor;

// Throws on its first call; later calls mark the request so the server shows the adapter ran again.
struct FailsOnceAdapter : RequestAdapter {
    plat::URLRequest adapt(plat::URLRequest request) override {
        if (++calls == 1) {
            throw plat::Error("adapter", 7);
        }
        request.setValue("again", "X-Adapted");
        return request;
    }
    std::atomic<int> calls{0};
};

// Answers every question with the same decision and records what it was asked.
struct FixedRetrier : RequestRetrier {
    FixedRetrier(bool retry, double delay) : retry(retry), delay(delay) {}
    void shouldRetry(SessionManager&, const std::shared_ptr<Request>&, const AnyError& error,
                     Completion completion) override {
        {
            std::lock_guard lock(mutex);
            errors.push_back(error);
        }
        completion(retry, delay);
    }
    std::vector<AnyError> asked() const {
        std::lock_guard lock(mutex);
        return errors;
    }
    const bool retry;
    const double delay;
    mutable std::mutex mutex;
    std::vector<AnyError> errors;
};

using RetryEndToEndTest = test::DevserverTest;

struct FirstAttemptFailure {
    const char* name;
    bool adapterFails;     // else the server drops the first connection
    size_t serverRequests; // requests the server sees in all
    int didResumePosts;    // a retried attempt posts none
};

TEST_F(RetryEndToEndTest, AFailedFirstAttemptIsRetriedAfterTheRetriersDelayAndTheSecondReachesTheServer) {
    for (const auto& c : {FirstAttemptFailure{"adapter throws once", true, 1, 0},
                          FirstAttemptFailure{"connection dropped once", false, 2, 1}}) {
        SCOPED_TRACE(c.name);
        portal.clearRequests();
        auto answers = std::make_shared<std::atomic<int>>(0);
        portal.route("POST", "/api/retry", [answers, drop = !c.adapterFails](const RecordedRequest& r) {
            if (drop && ++*answers == 1) {
                return Reply::dropped();
            }
            return Reply::json(200, "{\"echo\":" + r.body + "}");
        });
        auto manager = makeManager();
        auto adapter = std::make_shared<FailsOnceAdapter>();
        if (c.adapterFails) {
            manager->setAdapter(adapter);
        }
        auto retrier = std::make_shared<FixedRetrier>(true, 0.5);
        manager->setRetrier(retrier);

        int resumes = 0;
        const auto token = plat::NotificationCenter::defaultCenter().addObserver(
            std::string(Notification::Name::Task::didResume), nullptr, nullptr,
            [&](const plat::Notification&) { ++resumes; });
        const double before = absoluteTimeNow();
        plat::Dictionary parameters;
        parameters.set("n", plat::Value(int64_t{1}));
        auto request = manager->makeDataRequestToURL("https://portal.example.test/api/retry",
                                                     HTTPMethod::post, parameters, JSONEncoding());
        std::optional<DataResponse<plat::Value>> record;
        request->addJSONResponseHandler(nullptr, 0, [&](const DataResponse<plat::Value>& r) { record = r; });

        // The first attempt ends (virtual time stands still while real I/O runs) and the retrier is asked.
        ASSERT_TRUE(waitFor([&] { return !retrier->asked().empty(); }));
        Virtual::advanceBy(0.49);
        Virtual::runUntil([] { return false; }, 0.05);
        EXPECT_FALSE(record) << "no second attempt before the delay";
        EXPECT_EQ(portal.requestCount(), c.serverRequests - 1);

        Virtual::advanceBy(0.01);
        ASSERT_TRUE(waitFor([&] { return record.has_value(); }));
        plat::NotificationCenter::defaultCenter().removeObserver(token);

        ASSERT_TRUE(record->result().isSuccess()) << record->result().error()->description();
        EXPECT_EQ((*record->result().value())["echo"]["n"].integerValue(), 1);
        EXPECT_EQ(request->retryCount(), 1u);
        EXPECT_EQ(resumes, c.didResumePosts);
        // The timeline describes the attempt that succeeded, which started when the delay ran out.
        EXPECT_DOUBLE_EQ(record->timeline().requestStartTime(), before + 0.5);
        EXPECT_GE(record->timeline().requestCompletedTime(), record->timeline().requestStartTime());

        const auto asked = retrier->asked();
        ASSERT_EQ(asked.size(), 1u);
        ASSERT_TRUE(asked[0].platformError());
        EXPECT_FALSE(asked[0].as<AdaptError>()) << "the retrier sees the cause, not the wrapper";
        EXPECT_EQ(asked[0].platformError()->domain, c.adapterFails ? "adapter" : "NSURLErrorDomain");

        ASSERT_EQ(portal.requestCount(), c.serverRequests);
        const auto sent = portal.requests().back();
        EXPECT_EQ(sent.body, "{\"n\":1}");
        if (c.adapterFails) {
            EXPECT_EQ(sent.header("x-adapted"), "again") << "the adapter ran again for the retry";
        }
        EXPECT_EQ(manager->delegate()->requestCount(), 0u);
    }
}

TEST_F(RetryEndToEndTest, ARetrierThatSaysNoDeliversTheFirstError) {
    for (const bool adapterFails : {true, false}) {
        SCOPED_TRACE(adapterFails ? "adapter throws" : "connection dropped");
        portal.clearRequests();
        portal.route("GET", "/api/no-retry", Reply::dropped());
        auto manager = makeManager();
        if (adapterFails) {
            manager->setAdapter(std::make_shared<FailsOnceAdapter>());
        }
        auto retrier = std::make_shared<FixedRetrier>(false, 0.5);
        manager->setRetrier(retrier);

        std::optional<DefaultDataResponse> record;
        auto request = manager->makeDataRequestToURL("https://portal.example.test/api/no-retry")
                           ->addResponseHandler(nullptr, [&](const DefaultDataResponse& r) { record = r; });
        ASSERT_TRUE(waitFor([&] { return record.has_value(); }));
        // Nothing is pending: moving time on brings no second attempt.
        Virtual::advanceBy(5);
        Virtual::runUntil([] { return false; }, 0.05);

        ASSERT_TRUE(record->error());
        EXPECT_FALSE(record->error()->as<AdaptError>());
        ASSERT_TRUE(record->error()->platformError());
        if (adapterFails) {
            EXPECT_EQ(record->error()->platformError()->domain, "adapter");
            EXPECT_EQ(record->error()->platformError()->code, 7);
            EXPECT_FALSE(request->task()) << "no task was ever made";
        } else {
            EXPECT_EQ(record->error()->platformError()->domain, "NSURLErrorDomain");
            EXPECT_EQ(record->error()->platformError()->code, -1011) << "no answer from the server";
        }
        EXPECT_EQ(retrier->asked().size(), 1u);
        EXPECT_EQ(request->retryCount(), 0u);
        EXPECT_EQ(portal.requestCount(), adapterFails ? 0u : 1u);
        EXPECT_EQ(manager->delegate()->requestCount(), 0u);
    }
}

} // namespace
} // namespace Zavorida
