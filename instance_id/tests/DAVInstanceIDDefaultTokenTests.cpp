// The default token in virtual time against the back end: the retry schedule after failures, the count that
// is never reset, the notifications of failures and changes, and requests that arrive while a fetch is in
// flight or waiting for its retry.

#include "instance_id/tests/InstanceIDFacadeSupport.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <algorithm>
#include <cmath>

namespace {

using devserver::Reply;
using iid_test::Answer;

class DAVInstanceIDDefaultTokenTest : public iid_test::InstanceIDFacadeTest {
protected:
    std::size_t registerCount() const { return requestsTo("/iid/register").size(); }
    // The delay of the one retry the main queue waits for, if any.
    static std::optional<double> pendingRetryDelay() {
        std::optional<double> delay;
        for (const auto& timer : plat::Virtual::pendingTimers()) {
            if (timer.label == plat::DispatchQueue::main()->label()) {
                delay = timer.deadline - plat::Virtual::uptime();
            }
        }
        return delay;
    }
    static long countOf(const std::vector<std::string>& lines, const char* code) {
        return std::count_if(lines.begin(), lines.end(), [code](const auto& l) { return l.find(code) != l.npos; });
    }
};

TEST_F(DAVInstanceIDDefaultTokenTest, FiveFailuresRetryAfter12243856SecondsAndTheCountStays) {
    server.route("POST", "/iid/register", Reply::text(200, "Error=XYZ"));
    auto iid = configured();
    EXPECT_EQ(server.requestCount(), 0u); // configuring asks nothing of the back end
    logged();
    EXPECT_FALSE(iid->token());
    Answer waiter; // arrives while the first retry waits: gets the final outcome, starts nothing
    const double start = plat::Virtual::uptime();
    std::vector<double> sentAt;
    const double delays[] = {12, 24, 38, 56};
    for (std::size_t attempt = 1; attempt <= 5; ++attempt) {
        SCOPED_TRACE(attempt);
        ASSERT_TRUE(waitFor([&] { return registerCount() == attempt && !iid->isFetchingDefaultToken(); }));
        plat::Virtual::runUntilIdle();
        sentAt.push_back(plat::Virtual::uptime() - start);
        EXPECT_EQ(iid->retryCountForDefaultToken(), static_cast<int64_t>(attempt));
        if (attempt == 1) {
            iid->defaultTokenWithHandler(record(waiter));
        }
        if (attempt < 5) {
            EXPECT_TRUE(iid->isDefaultTokenFetchScheduled());
            ASSERT_EQ(pendingRetryDelay(), delays[attempt - 1]);
            plat::Virtual::advanceBy(delays[attempt - 1]);
        }
    }
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(sentAt, (std::vector<double>{0, 12, 36, 74, 130}));
    EXPECT_FALSE(iid->isDefaultTokenFetchScheduled());
    EXPECT_EQ(postedCount(kDAVInstanceIDDefaultTokenFailNotification), 5u);
    EXPECT_EQ(waiter.calls, 1);
    EXPECT_TRUE(waiter.onMain);
    EXPECT_EQ(waiter.code(), 0);
    const auto lines = logged();
    EXPECT_EQ(countOf(lines, "[I-IID003009]"), 5);
    auto failed = std::find_if(lines.begin(), lines.end(), [](const auto& l) { return l.find("[I-IID003007]") != l.npos; });
    ASSERT_NE(failed, lines.end());
    EXPECT_NE(failed->find("Failed to retrieve the default VCM token after 5 retries"), std::string::npos);
    auto lastRetryFailure =
        std::find_if(lines.rbegin(), lines.rend(), [](const auto& l) { return l.find("[I-IID003009]") != l.npos; });
    EXPECT_LT(lastRetryFailure.base() - lines.begin(), failed - lines.begin() + 1);
    EXPECT_EQ(iid->retryIntervalToFetchDefaultToken(), 1200);

    // After five failures in the life of the process a failure reports at once, without a retry.
    iid->fetchDefaultToken();
    ASSERT_TRUE(waitFor([&] { return registerCount() == 6 && !iid->isFetchingDefaultToken(); }));
    plat::Virtual::runUntilIdle();
    EXPECT_FALSE(iid->isDefaultTokenFetchScheduled());
    EXPECT_FALSE(pendingRetryDelay());
    EXPECT_EQ(countOf(logged(), "[I-IID003007]"), 1);

    // A success announces the new token once; asking again for the same token announces nothing.
    restoreRegisterRoute();
    EXPECT_EQ(postedCount(kDAVInstanceIDDefaultTokenNotification), 0u);
    iid->fetchDefaultToken();
    ASSERT_TRUE(waitFor([&] { return iid->defaultVCMToken().has_value(); }));
    plat::Virtual::runUntilIdle();
    ASSERT_EQ(service->registrations().size(), 1u);
    EXPECT_EQ(iid->defaultVCMToken(), service->registrations()[0].token);
    EXPECT_EQ(iid->token(), iid->defaultVCMToken());
    EXPECT_EQ(postedCount(kDAVInstanceIDRefreshTokenNotification), 1u);
    ASSERT_EQ(postedCount(kDAVInstanceIDDefaultTokenNotification), 1u);
    EXPECT_EQ(posted[kDAVInstanceIDDefaultTokenNotification][0][kDAVInstanceIDNotificationObjectKey],
              plat::Value(*iid->defaultVCMToken()));
    iid->fetchDefaultToken();
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(registerCount(), 7u); // answered from the cache
    EXPECT_EQ(postedCount(kDAVInstanceIDRefreshTokenNotification), 1u);
    EXPECT_EQ(postedCount(kDAVInstanceIDDefaultTokenNotification), 1u);
}

TEST_F(DAVInstanceIDDefaultTokenTest, RetryIntervalsFollowTheCountAndTheCap) {
    auto iid = DAVInstanceID::initPrivately();
    EXPECT_EQ(iid->retryIntervalToFetchDefaultToken(), 1); // 10 x 0 + 2^0
    EXPECT_EQ(DAVInstanceID::maxRetryCountForDefaultToken(), 5);
    EXPECT_EQ(DAVInstanceID::minIntervalForDefaultTokenRetry(), 10);
    EXPECT_EQ(DAVInstanceID::maxRetryIntervalForDefaultTokenInSeconds(), 1200);
}

TEST_F(DAVInstanceIDDefaultTokenTest, SettingTheDefaultTokenAnnouncesOnlyChanges) {
    auto iid = DAVInstanceID::initPrivately();
    const struct {
        std::optional<std::string> value;
        bool announced;
    } steps[] = {{std::nullopt, true}, {"a", true}, {"a", false}, {"b", true}, {std::nullopt, true}};
    std::size_t expected = 0;
    for (const auto& step : steps) {
        iid->setDefaultVCMToken(step.value);
        plat::Virtual::runUntilIdle();
        expected += step.announced ? 1 : 0;
        ASSERT_EQ(postedCount(kDAVInstanceIDDefaultTokenNotification), expected) << step.value.value_or("nil");
        const auto& info = posted[kDAVInstanceIDDefaultTokenNotification].back();
        EXPECT_EQ(info.find(kDAVInstanceIDNotificationObjectKey) != nullptr, step.value.has_value());
        EXPECT_EQ(iid->defaultVCMToken(), step.value);
    }
}

TEST_F(DAVInstanceIDDefaultTokenTest, AStaleCachedDefaultTokenIsRefreshedAtConfiguration) {
    auto iid = configured();
    EXPECT_FALSE(iid->token());
    ASSERT_TRUE(waitFor([&] { return iid->defaultVCMToken().has_value(); }));
    const auto first = iid->defaultVCMToken();
    // The record of an older app version is stale: configuring fetches it again and keeps it meanwhile.
    auto info = iid->tokenManager()->cachedTokenInfoWithAuthorizedEntity(iid_test::kSenderID, "*");
    DAVInstanceIDTokenInfo older(info->authorizedEntity(), info->scope(), info->token(), "1.0",
                                 info->vedudoduAppID());
    ASSERT_TRUE(iid->tokenManager()->instanceIDStore()->saveTokenInfo(older));
    server.clearRequests();
    auto again = configured();
    EXPECT_EQ(again->defaultVCMToken(), first);
    ASSERT_TRUE(waitFor([&] { return registerCount() == 1 && !again->isFetchingDefaultToken(); }));
    plat::Virtual::runUntilIdle();
    auto refreshed = again->tokenManager()->cachedTokenInfoWithAuthorizedEntity(iid_test::kSenderID, "*");
    ASSERT_TRUE(refreshed);
    EXPECT_EQ(refreshed->appVersion(), "4.2");

    // A fresh record: configuring sends nothing.
    server.clearRequests();
    auto third = configured();
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_EQ(third->defaultVCMToken(), first);
}

// The messaging client is absent from this system; a stand-in registered by name shows what its presence
// changes: automatic initialisation, and a default token bound to the APNs token that arrived meanwhile.
TEST_F(DAVInstanceIDDefaultTokenTest, WithAMessagingClientTheDefaultTokenFollowsTheAPNsToken) {
    auto iid = DAVInstanceID::initPrivately();
    EXPECT_FALSE(iid->isVCMAutoInitEnabled());
    plat::rt::Class* messaging = plat::rt::registerClass("DAVMessaging");
    EXPECT_TRUE(iid->isVCMAutoInitEnabled()); // present, without a "messaging" answer
    plat::rt::Class* client = plat::rt::registerClass("DefaultTokenTestMessagingClient");
    bool autoInit = false;
    plat::rt::replaceMethod(client, "isAutoInitEnabled", [&autoInit](plat::rt::Object&) { return autoInit; });
    plat::rt::replaceMethod(plat::rt::metaclass(messaging), "messaging", [client](plat::rt::Object&) {
        return plat::rt::createInstance(client);
    });
    EXPECT_FALSE(iid->isVCMAutoInitEnabled());
    autoInit = true;
    EXPECT_TRUE(iid->isVCMAutoInitEnabled());

    // Configuring now fetches the default token; an APNs token arriving meanwhile makes it fetch again, bound.
    iid = configured();
    EXPECT_TRUE(iid->isFetchingDefaultToken());
    postAPNSToken(plat::Value(plat::Data{0xC0, 0xDE}), 1);
    ASSERT_TRUE(waitFor([&] { return iid->defaultVCMToken().has_value(); }));
    plat::Virtual::runUntilIdle();
    const auto sent = requestsTo("/iid/register");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].body.find("apns_token="), std::string::npos);
    EXPECT_NE(sent[1].body.find("apns_token=s_c0de"), std::string::npos);
    EXPECT_TRUE(loggedCode(3016));
    ASSERT_EQ(service->registrations().size(), 2u);
    EXPECT_EQ(iid->defaultVCMToken(), service->registrations()[1].token);
}

} // namespace
