// The token manager against the instance-ID back end: a fetched token becomes a cached record on the main
// queue, a failed save or a cancelled fetch stores nothing, deletions remove the record first, a deleted
// app's registrations are unregistered while the manager is made, and records are dropped when stale or
// bound to another APNs token.

#include "instance_id/DAVInstanceIDTokenManager.hpp"
#include "instance_id/tests/InstanceIDFacadeSupport.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/security/SecBase.hpp"

#include <algorithm>

namespace {

using devserver::Reply;
using iid_test::Answer;

class DAVInstanceIDTokenManagerTest : public iid_test::InstanceIDFacadeTest {
protected:
    void SetUp() override {
        InstanceIDFacadeTest::SetUp();
        manager = DAVInstanceIDTokenManager::make();
        keyPair = keyPairStore.loadKeyPairWithError(nullptr);
        ASSERT_TRUE(keyPair);
    }
    // Check-in credentials from the back end, as a token request obtains them first.
    void checkIn() {
        bool done = false;
        manager->authService()->fetchCheckinInfoWithHandler([&](auto, auto) { done = true; });
        ASSERT_TRUE(waitFor([&] { return done; }));
    }
    Answer fetch(const std::string& entity, const std::string& scope, plat::Dictionary options = {}) {
        Answer answer;
        options.set(kDAVInstanceIDTokenOptionsVedudoduAppIDKey, plat::Value(iid_test::kAppID));
        manager->fetchNewTokenWithAuthorizedEntity(entity, scope, keyPair, options, record(answer));
        EXPECT_TRUE(waitFor([&] { return answer.calls > 0; }));
        return answer;
    }
    Answer deleteOne(const std::string& entity, const std::string& scope) {
        Answer answer;
        manager->deleteTokenWithAuthorizedEntity(entity, scope, keyPair, [&](std::optional<plat::Error> error) {
            ++answer.calls;
            answer.onMain = onMainQueue();
            answer.error = std::move(error);
        });
        EXPECT_TRUE(waitFor([&] { return answer.calls > 0; }));
        return answer;
    }
    void putRecord(const std::string& entity, const std::string& scope, const char* appVersion,
                   std::shared_ptr<DAVInstanceIDAPNSInfo> apns = nullptr) {
        DAVInstanceIDTokenInfo info(entity, scope, "tok-" + entity + scope, appVersion, iid_test::kAppID);
        info.setAPNSInfo(std::move(apns));
        ASSERT_TRUE(manager->instanceIDStore()->saveTokenInfo(info));
    }
    bool cached(const std::string& entity, const std::string& scope) {
        return manager->cachedTokenInfoWithAuthorizedEntity(entity, scope) != nullptr;
    }

    DAVInstanceIDKeyPairStore keyPairStore;
    std::shared_ptr<DAVInstanceIDKeyPair> keyPair;
    std::shared_ptr<DAVInstanceIDTokenManager> manager;
};

TEST_F(DAVInstanceIDTokenManagerTest, AFetchedTokenBecomesARecordSavedOnTheMainQueue) {
    EXPECT_EQ(manager->tokenOperations()->maxConcurrentOperationCount(), 1);
    EXPECT_EQ(manager->tokenOperations()->name(), "com.razoza.iid-token-operations");
    checkIn();
    logged();
    const plat::Data apnsToken{0xAB, 0x01};
    const Answer answer = fetch("sender-1", "scope-a",
                                {{kDAVInstanceIDTokenOptionsAPNSKey, plat::Value(apnsToken)},
                                 {kDAVInstanceIDTokenOptionsAPNSIsSandboxKey, plat::Value(true)}});
    ASSERT_FALSE(answer.error) << answer.error->description();
    EXPECT_TRUE(answer.onMain);
    ASSERT_EQ(service->registrations().size(), 1u);
    EXPECT_EQ(answer.value, service->registrations()[0].token);
    EXPECT_EQ(service->registrations()[0].apnsToken, "s_ab01");
    auto info = manager->cachedTokenInfoWithAuthorizedEntity("sender-1", "scope-a");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->token(), answer.value);
    EXPECT_EQ(info->appVersion(), "4.2");
    EXPECT_EQ(info->vedudoduAppID(), iid_test::kAppID);
    EXPECT_TRUE(info->cacheTime());
    ASSERT_TRUE(info->APNSInfo());
    EXPECT_TRUE(info->APNSInfo()->isSandbox());
    EXPECT_EQ(info->APNSInfo()->deviceToken(), apnsToken);
    EXPECT_TRUE(info->isFresh());
    const auto lines = logged();
    const auto has = [&lines](const char* code) {
        return std::any_of(lines.begin(), lines.end(), [code](const auto& l) { return l.find(code) != l.npos; });
    };
    EXPECT_TRUE(has("I-IID014000"));
    EXPECT_TRUE(has("I-IID014001"));
}

TEST_F(DAVInstanceIDTokenManagerTest, AFailedSaveOrACancelledFetchStoresNothing) {
    checkIn();
    plat::sim::Faults::fail("keychain.add", "sender-1:scope-a", plat::errSecIO);
    const Answer unsaved = fetch("sender-1", "scope-a");
    EXPECT_EQ(service->registrations().size(), 1u); // the token came back
    EXPECT_FALSE(unsaved.value);
    EXPECT_EQ(unsaved.code(), 502);
    EXPECT_FALSE(cached("sender-1", "scope-a"));
    plat::sim::Faults::reset();

    // A fetch cancelled before it ran answers, without a token and without storing one.
    manager->tokenOperations()->setSuspended(true);
    Answer cancelled;
    manager->fetchNewTokenWithAuthorizedEntity("sender-1", "scope-b", keyPair, {}, record(cancelled));
    manager->stopAllTokenOperations();
    manager->tokenOperations()->setSuspended(false);
    ASSERT_TRUE(waitFor([&] { return cancelled.calls > 0; }));
    EXPECT_TRUE(cancelled.onMain);
    EXPECT_FALSE(cancelled.value);
    EXPECT_EQ(cancelled.code(), 0);
    EXPECT_FALSE(cached("sender-1", "scope-b"));
    EXPECT_EQ(service->registrations().size(), 1u);
}

TEST_F(DAVInstanceIDTokenManagerTest, DeletionsRemoveTheRecordFirstAndDeleteAllNeedsACheckin) {
    // Without check-in credentials nothing is registered: success without a request.
    Answer all;
    manager->deleteAllTokensWithKeyPair(keyPair, [&](std::optional<plat::Error> error) {
        ++all.calls;
        all.onMain = onMainQueue();
        all.error = std::move(error);
    });
    ASSERT_TRUE(waitFor([&] { return all.calls > 0; }));
    EXPECT_FALSE(all.error);
    EXPECT_TRUE(all.onMain);
    EXPECT_EQ(server.requestCount(), 0u);

    checkIn();
    ASSERT_FALSE(fetch("sender-1", "scope-a").error);
    ASSERT_TRUE(cached("sender-1", "scope-a"));
    server.route("POST", "/iid/register", Reply::text(500, "Error=INTERNAL"));
    const Answer failed = deleteOne("sender-1", "scope-a");
    EXPECT_TRUE(failed.error);
    EXPECT_TRUE(failed.onMain);
    EXPECT_FALSE(cached("sender-1", "scope-a")); // not put back
    restoreRegisterRoute();
    EXPECT_FALSE(deleteOne("sender-1", "scope-a").error);
    EXPECT_TRUE(service->registrations().empty());
}

TEST_F(DAVInstanceIDTokenManagerTest, TheRefreshPolicyKeepsAStaleDefaultTokenForTheCaller) {
    putRecord("sender-1", "*", "1.0");
    putRecord("sender-1", "vcm", "1.0");
    putRecord("sender-1", "fresh", "4.2");
    logged();
    EXPECT_TRUE(manager->checkForTokenRefreshPolicy());
    EXPECT_TRUE(cached("sender-1", "*"));
    EXPECT_FALSE(cached("sender-1", "vcm"));
    EXPECT_TRUE(cached("sender-1", "fresh"));
    const auto lines = logged();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const auto& l) { return l.find("I-IID014012") != l.npos; }),
              2);
    // Only the default-scope record is left stale: still YES, and nothing else goes.
    EXPECT_TRUE(manager->checkForTokenRefreshPolicy());
    EXPECT_TRUE(cached("sender-1", "fresh"));
}

TEST_F(DAVInstanceIDTokenManagerTest, AnAPNsTokenChangeInvalidatesTheRecordsBoundElsewhere) {
    const plat::Data first{0x01, 0x02};
    putRecord("e", "none", "4.2");
    putRecord("e", "same", "4.2", std::make_shared<DAVInstanceIDAPNSInfo>(first, true));
    putRecord("e", "production", "4.2", std::make_shared<DAVInstanceIDAPNSInfo>(first, false));
    auto scopes = [](const std::vector<std::shared_ptr<DAVInstanceIDTokenInfo>>& records) {
        std::vector<std::string> out;
        for (const auto& r : records) {
            out.push_back(r->scope());
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    EXPECT_EQ(scopes(manager->updateTokensToAPNSDeviceToken(first, true)),
              (std::vector<std::string>{"none", "production"}));
    EXPECT_TRUE(loggedCode(14011));
    EXPECT_TRUE(cached("e", "same"));
    EXPECT_FALSE(cached("e", "none"));
    // The same token and environment again change nothing.
    putRecord("e", "none", "4.2");
    EXPECT_TRUE(manager->updateTokensToAPNSDeviceToken(first, true).empty());
    EXPECT_TRUE(cached("e", "none"));
    EXPECT_EQ(scopes(manager->updateTokensToAPNSDeviceToken(plat::Data{0x03}, true)),
              (std::vector<std::string>{"none", "same"}));
    ASSERT_TRUE(manager->currentAPNSInfo());
    EXPECT_EQ(manager->currentAPNSInfo()->deviceToken(), plat::Data{0x03});
}

TEST_F(DAVInstanceIDTokenManagerTest, AReinstallUnregistersTheOldCredentialsWhileTheManagerIsMade) {
    checkIn();
    const auto old = manager->authService()->checkinPreferences();
    ASSERT_TRUE(old);
    const struct {
        const char* name;
        Reply reply;
        long code;
    } cases[] = {{"answered", Reply::text(200, "deleted=x"), 14007}, {"refused", Reply::text(500, "x"), 14006}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The app's files go, the keychain stays: the library version in the defaults goes with them.
        manager->stopAllTokenOperations();
        ASSERT_TRUE(manager->instanceIDStore()->saveCheckinPreferences(*old, nullptr));
        reinstallApp();
        server.clearRequests();
        server.route("POST", "/iid/register", c.reply);
        logged();
        manager = DAVInstanceIDTokenManager::make();
        ASSERT_TRUE(waitFor([&] { return server.requestCount() == 1; }));
        plat::Virtual::runUntilIdle();
        const auto sent = requestsTo("/iid/register");
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].header("Authorization"), "AidLogin " + *old->deviceID() + ":" + *old->secretToken());
        for (const char* absent : {"X-scope=", "sender=", "appid="}) {
            EXPECT_EQ(sent[0].body.find(absent), std::string::npos) << absent;
        }
        EXPECT_NE(sent[0].body.find("delete=true"), std::string::npos);
        const std::string code = plat::format("[I-IID%06ld]", c.code);
        EXPECT_TRUE(waitFor([&] {
            const auto lines = log.texts();
            return std::any_of(lines.begin(), lines.end(), [&](const auto& l) { return l.find(code) != l.npos; });
        }, 5));
    }
}

} // namespace
