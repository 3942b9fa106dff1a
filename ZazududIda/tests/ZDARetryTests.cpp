// Retries of events uploads: the back-off delays and their jitter, the budget per unique name, what a
// given-up upload reports, and the clamp that keeps a huge "Retry-After" from turning into a retry storm.

#include "ZazududIda/ZDANetworkRetryHandler.hpp"

#include "kit_host/ZUVNetworkResponseHandler.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/Random.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

plat::URLRequest retryTestRequest() {
    return plat::URLRequest(*plat::URL::parse("https://events.example.test/spi/v2/events"));
}

plat::HTTPURLResponse retryTestResponse(int status, plat::HTTPHeaderFields headers = {}) {
    return plat::HTTPURLResponse(*plat::URL::parse("https://events.example.test/spi/v2/events"), status,
                                 "HTTP/1.1", std::move(headers));
}

// Runs every retryable failure of one unique name until the handler gives up; the uptimes at which the
// scheduled retries fired, relative to the first failure.
struct RetryRun {
    std::vector<double> waits;
    std::optional<plat::Error> finalError;
    bool gaveUp = false;
};

RetryRun runRetriesUntilGivingUp(ZDANetworkRetryHandler& handler, const plat::HTTPURLResponse& response,
                                 const std::string& name, double horizon) {
    RetryRun run;
    bool fired = false;
    for (;;) {
        fired = false;
        const double started = plat::Clock::uptime();
        handler.handleCompletedRequest(retryTestRequest(), &response, name, std::nullopt,
                                       [&](bool retry, const std::optional<plat::Error>& error) {
                                           fired = true;
                                           if (!retry) {
                                               run.gaveUp = true;
                                               run.finalError = error;
                                           }
                                       });
        if (run.gaveUp) {
            return run;
        }
        while (!fired) {
            auto next = plat::ClockSkip::nextDeadline();
            if (!next || *next - started > horizon) {
                return run; // the retry does not fire within the horizon
            }
            plat::Virtual::advanceTo(*next);
            plat::Virtual::runUntilIdle();
        }
        run.waits.push_back(plat::Clock::uptime() - started);
    }
}

TEST(ZDABackoffTimerTest, DelayIsThePowerOfTheBaseWithinTheJitter) {
    plat::Random::seed(42);
    const ZDABackoffTimer timer;
    struct Case {
        double initial;
        uint64_t count;
        double exact;
    };
    const Case cases[] = {
        {0, 0, 2}, {0, 1, 2}, {2, 3, 8}, {-5, 11, 2048}, {30, 1, 30}, {30, 2, 900}, {30, 3, 27000}, {5, 2, 25},
    };
    for (const auto& c : cases) {
        for (int draw = 0; draw < 200; ++draw) {
            const double delay = timer.computeDelayForInitialValue(c.initial, c.count);
            EXPECT_GE(delay, c.exact * 0.9 - 1e-9) << c.initial << "^" << c.count;
            EXPECT_LE(delay, c.exact * 1.1 + 1e-9) << c.initial << "^" << c.count;
        }
    }
}

TEST(ZDABackoffTimerTest, OverlongDelaysAreClampedToTheLongestWait) {
    const ZDABackoffTimer timer;
    const double inf = std::numeric_limits<double>::infinity();
    for (auto [initial, count] : std::vector<std::pair<double, uint64_t>>{{3600, 3}, {3600, 11}, {inf, 1}, {1e300, 2}}) {
        EXPECT_EQ(timer.computeDelayForInitialValue(initial, count), ZDABackoffTimer::kMaximumDelay)
            << initial << "^" << count;
    }
    EXPECT_LT(timer.computeDelayForInitialValue(3600, 2), ZDABackoffTimer::kMaximumDelay);
    EXPECT_LT(timer.computeDelayForInitialValue(std::nan(""), 1), 2.3) << "a NaN base counts as the floor of 2";
}

TEST(ZDABackoffTimerTest, JitterCoefficientValidity) {
    struct Case {
        double coefficient;
        bool valid;
    };
    for (const Case& c : {Case{1.0, false}, Case{-0.1, false}, Case{0, true}, Case{0.999, true},
                          Case{std::nan(""), false}}) {
        EXPECT_EQ(ZDABackoffTimer::jitterCoefficientIsValid(c.coefficient), c.valid) << c.coefficient;
    }
    EXPECT_THROW(ZDABackoffTimer(1, 1.0), plat::Exception);
    EXPECT_EQ(ZDABackoffTimer().jitterCoefficient(), 0.10000000149011612);
    const ZDABackoffTimer exact(2, 0);
    EXPECT_EQ(exact.computeDelayForInitialValue(2, 4), 16) << "no jitter with coefficient 0";
}

TEST(ZDANetworkRetryHandlerTest, ElevenRetriesThenTheClassificationsError) {
    plat::Random::seed(7);
    ZDANetworkRetryHandler handler;
    const auto response = retryTestResponse(503);
    const RetryRun run = runRetriesUntilGivingUp(handler, response, "B", 1e9);
    ASSERT_EQ(run.waits.size(), 11u);
    double exact = 2;
    for (double wait : run.waits) {
        EXPECT_GE(wait, exact * 0.9 - 1e-6);
        EXPECT_LE(wait, exact * 1.1 + 1e-6);
        exact *= 2;
    }
    ASSERT_TRUE(run.gaveUp);
    ASSERT_TRUE(run.finalError);
    EXPECT_EQ(run.finalError->domain, "ZUVNetworkError");
    EXPECT_EQ(run.finalError->code, -1);
    EXPECT_EQ(run.finalError->userInfoValue("type")->integerValue(), 3);
    EXPECT_EQ(run.finalError->userInfoValue("status_code")->integerValue(), 503);

    bool retried = true;
    handler.handleCompletedRequest(retryTestRequest(), &response, "B", std::nullopt,
                                   [&](bool retry, const std::optional<plat::Error>&) { retried = retry; });
    EXPECT_FALSE(retried) << "a name that spent its budget gives up at once";
    EXPECT_EQ(handler.timerCount(), 1u);
}

TEST(ZDANetworkRetryHandlerTest, AnHourlyRetryAfterNeverStormsAndKeepsItsFirstValue) {
    plat::Random::seed(3);
    ZDANetworkRetryHandler handler;
    const auto response = retryTestResponse(503, {{"Retry-After", "3600"}});
    const RetryRun run = runRetriesUntilGivingUp(handler, response, "B", 86400);
    ASSERT_EQ(run.waits.size(), 1u) << "3600 s, then 3600^2 s lies beyond a day; the third must not fire at once";
    EXPECT_GE(run.waits[0], 3600 * 0.9);
    EXPECT_LE(run.waits[0], 3600 * 1.1);
    EXPECT_FALSE(run.gaveUp);

    // A later value of the same name does not change the base.
    EXPECT_EQ(handler.timerForIdentifier("B", 5)->initialValue(), 3600);
    EXPECT_EQ(handler.timerForIdentifier("B", 5)->retryCount(), 2u);
}

TEST(ZDANetworkRetryHandlerTest, OutcomesThatAreNotRetried) {
    ZDANetworkRetryHandler handler;
    struct Case {
        int status;
        std::optional<int64_t> code;
    };
    for (const Case& c : {Case{200, std::nullopt}, Case{404, -5}, Case{203, -4}}) {
        const auto response = retryTestResponse(c.status);
        bool called = false;
        handler.handleCompletedRequest(retryTestRequest(), &response, "B", std::nullopt,
                                       [&](bool retry, const std::optional<plat::Error>& error) {
                                           called = true;
                                           EXPECT_FALSE(retry) << c.status;
                                           EXPECT_EQ(error ? std::optional<int64_t>(error->code) : std::nullopt,
                                                     c.code)
                                               << c.status;
                                       });
        EXPECT_TRUE(called);
    }
    EXPECT_EQ(handler.timerCount(), 0u) << "no timer for an outcome that is not retried";
}

TEST(ZDANetworkRetryHandlerTest, AnUnnamedUploadGivesUpAtOnce) {
    ZDANetworkRetryHandler handler;
    const auto response = retryTestResponse(503);
    std::optional<plat::Error> given;
    bool retried = true;
    handler.handleCompletedRequest(retryTestRequest(), &response, "", std::nullopt,
                                   [&](bool retry, const std::optional<plat::Error>& error) {
                                       retried = retry;
                                       given = error;
                                   });
    EXPECT_FALSE(retried);
    ASSERT_TRUE(given);
    EXPECT_EQ(given->code, -1) << "the classification's error comes first";

    // A retryable transport error that carries no classification error of its own kind still reports it;
    // without any, the handler's own -7 names the upload and its URL.
    const plat::Error own = ZDANetworkRetryHandler::errorWithCode(-7, "", retryTestRequest(), std::nullopt);
    EXPECT_EQ(own.domain, "ZUVNetworkError");
    EXPECT_EQ(own.code, -7);
    EXPECT_EQ(own.userInfoValue("ZDANetworkRetryHandlerIdentifier")->stringValue(), "(null)");
    EXPECT_EQ(own.userInfoValue(plat::NSURLErrorFailingURLErrorKey)->stringValue(),
              "https://events.example.test/spi/v2/events");
    const plat::Error passed = ZDANetworkRetryHandler::errorWithCode(-6, "B", retryTestRequest(),
                                                                     plat::Error("X", 5));
    EXPECT_TRUE(passed.is("X", 5));
    EXPECT_EQ(handler.timerCount(), 0u);
}

} // namespace
