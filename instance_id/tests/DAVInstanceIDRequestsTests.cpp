// Token and identity requests of the facade end to end against the back end: the check-in first, the exact
// register form, the cached answer and what makes it stale, validation, deletion, the identity and its
// deletion, the identity reset the back end asks for, and the binding of tokens to the APNs device token.

#include "instance_id/DAVInstanceIDKeyPairStore.hpp"
#include "instance_id/tests/InstanceIDFacadeSupport.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/security/SecBase.hpp"

#include <algorithm>
#include <set>
#include <utility>

namespace {

using devserver::Reply;
using iid_test::Answer;

class DAVInstanceIDRequestsTest : public iid_test::InstanceIDFacadeTest {
protected:
    void SetUp() override {
        InstanceIDFacadeTest::SetUp();
        iid = configured();
    }
    std::string identity() {
        auto id = iid->appInstanceID(nullptr);
        EXPECT_TRUE(id);
        return id.value_or("");
    }
    Answer getID() {
        Answer answer;
        iid->getIDWithHandler(record(answer));
        EXPECT_TRUE(waitFor([&] { return answer.calls > 0; }));
        return answer;
    }
    // The (sender, scope) of every register request since the last call.
    std::multiset<std::pair<std::string, std::string>> registered() {
        std::multiset<std::pair<std::string, std::string>> out;
        for (const auto& request : requestsTo("/iid/register")) {
            out.insert({formItem(request.body, "sender"), formItem(request.body, "X-scope")});
        }
        server.clearRequests();
        return out;
    }
    static std::string formItem(const std::string& body, const std::string& name) {
        const std::string key = "&" + name + "=";
        const std::string text = "&" + body;
        const auto at = text.find(key);
        if (at == std::string::npos) {
            return "-";
        }
        const auto start = at + key.size();
        return text.substr(start, text.find('&', start) - start);
    }

    std::shared_ptr<DAVInstanceID> iid;
};

TEST_F(DAVInstanceIDRequestsTest, ATokenRequestChecksInRegistersAndIsThenAnsweredFromTheCache) {
    const Answer first = token(*iid, "sender-1", "scope-a");
    ASSERT_FALSE(first.error) << first.error->description();
    EXPECT_TRUE(first.onMain);
    ASSERT_EQ(service->registrations().size(), 1u);
    EXPECT_EQ(first.value, service->registrations()[0].token);
    const auto sent = server.requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].path, "/checkin");
    EXPECT_EQ(sent[1].path, "/iid/register");
    const std::string id = identity();
    EXPECT_EQ(id.size(), 11u);
    const auto checkin = iid->cachedCheckinPreferences();
    ASSERT_TRUE(checkin);
    EXPECT_EQ(sent[1].body, "X-osv=" + DAVInstanceIDSystemVersion() + "&device=" + *checkin->deviceID() +
                                "&X-scope=scope-a&plat=2&app=" + iid_test::kBundleID +
                                "&app_ver=4.2&sender=sender-1&X-subtype=sender-1&appid=" + id +
                                "&rmp_app_id=" + iid_test::kAppID);
    auto record = iid->tokenManager()->cachedTokenInfoWithAuthorizedEntity("sender-1", "scope-a");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->token(), first.value);
    EXPECT_EQ(record->vedudoduAppID(), iid_test::kAppID);

    server.clearRequests();
    const Answer again = token(*iid, "sender-1", "scope-a");
    EXPECT_EQ(again.value, first.value);
    EXPECT_TRUE(again.onMain);
    EXPECT_EQ(server.requestCount(), 0u);

    // The APNs binding is part of the cache key: another token or environment fetches again.
    const plat::Data apns{0xBE, 0xEF};
    const struct {
        const char* name;
        std::optional<bool> sandbox;
        bool fetches;
        const char* sentToken;
    } steps[] = {{"sandbox", true, true, "s_beef"},
                 {"the same again", true, false, nullptr},
                 {"production", false, true, "p_beef"},
                 // Without a profile the app counts as production.
                 {"environment filled in", std::nullopt, false, nullptr}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        plat::Dictionary options{{"apns_token", plat::Value(apns)}};
        if (step.sandbox) {
            options.set("apns_sandbox", plat::Value(*step.sandbox));
        }
        const Answer answer = token(*iid, "sender-1", "scope-a", options);
        EXPECT_FALSE(answer.error);
        const auto requests = requestsTo("/iid/register");
        ASSERT_EQ(requests.size(), step.fetches ? 1u : 0u);
        if (step.fetches) {
            EXPECT_EQ(formItem(requests[0].body, "apns_token"), step.sentToken);
        }
        server.clearRequests();
    }
}

TEST_F(DAVInstanceIDRequestsTest, InvalidRequestsAreAnsweredOnTheMainQueueWithoutARequest) {
    const struct {
        const char* name;
        std::string entity;
        std::string scope;
        std::optional<plat::Dictionary> options;
        int64_t code;
    } cases[] = {
        {"messaging scope without options", "sender-1", "VCM", std::nullopt, 1001},
        {"APNs token as text", "sender-1", "vcm", plat::Dictionary{{"apns_token", plat::Value("beef")}}, 7},
        {"empty entity and scope", "", "", std::nullopt, 1003},
        {"empty scope", "sender-1", "", std::nullopt, 1004},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Answer answer = token(*iid, c.entity, c.scope, c.options);
        EXPECT_EQ(answer.calls, 1);
        EXPECT_TRUE(answer.onMain);
        EXPECT_FALSE(answer.value);
        ASSERT_TRUE(answer.error);
        EXPECT_EQ(answer.error->domain, kDAVInstanceIDDomain);
        EXPECT_EQ(answer.code(), c.code);
    }
    EXPECT_EQ(server.requestCount(), 0u);
    // Deletions check entity and scope the same way.
    EXPECT_EQ(deleteToken(*iid, "", "*").code(), 1003);
    EXPECT_EQ(deleteToken(*iid, "sender-1", "").code(), 1004);
    EXPECT_EQ(server.requestCount(), 0u);
    // A messaging-scope request with a token passes and gets the environment filled in.
    const Answer messaging = token(*iid, "sender-1", "vcm", plat::Dictionary{{"apns_token", plat::Value(plat::Data{1})}});
    EXPECT_FALSE(messaging.error);
    EXPECT_EQ(formItem(requestsTo("/iid/register").at(0).body, "apns_token"), "p_01");
    // A request without a handler is logged and not made.
    logged();
    server.clearRequests();
    iid->tokenWithAuthorizedEntity("sender-1", "x", std::nullopt, nullptr);
    iid->deleteTokenWithAuthorizedEntity("sender-1", "x", nullptr);
    iid->getIDWithHandler(nullptr);
    iid->deleteIDWithHandler(nullptr);
    const auto lines = logged();
    for (const char* code : {"[I-IID003000]", "[I-IID003001]", "[I-IID003003]", "[I-IID003004]"}) {
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [code](const auto& l) { return l.find(code) != l.npos; }))
            << code;
    }
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(DAVInstanceIDRequestsTest, DeletingTheDefaultTokenClearsItOnlyOnSuccess) {
    const Answer fetched = token(*iid, iid_test::kSenderID, "*");
    ASSERT_FALSE(fetched.error);
    iid->setDefaultVCMToken(fetched.value);
    server.route("POST", "/iid/register", Reply::text(500, "Error=INTERNAL"));
    const Answer failed = deleteToken(*iid, iid_test::kSenderID, "*");
    EXPECT_TRUE(failed.error);
    EXPECT_TRUE(failed.onMain);
    EXPECT_EQ(iid->defaultVCMToken(), fetched.value);
    EXPECT_FALSE(iid->cachedTokenIfAvailable()); // the record went before the request
    restoreRegisterRoute();
    const Answer deleted = deleteToken(*iid, iid_test::kSenderID, "*");
    EXPECT_FALSE(deleted.error);
    EXPECT_FALSE(iid->defaultVCMToken());
    EXPECT_TRUE(service->registrations().empty());
}

TEST_F(DAVInstanceIDRequestsTest, TheIdentityAnswersOnTheMainQueueAndTheCombinedRequestWaitsForTheToken) {
    const Answer id = getID();
    EXPECT_TRUE(id.onMain);
    EXPECT_FALSE(id.error);
    EXPECT_EQ(id.value, identity());
    // getID started the default-token fetch; the combined request joins it instead of being dropped.
    int answers = 0;
    std::optional<DAVInstanceIDResult> result;
    iid->instanceIDWithHandler([&](std::optional<DAVInstanceIDResult> r, std::optional<plat::Error> error) {
        ++answers;
        EXPECT_FALSE(error);
        EXPECT_TRUE(onMainQueue());
        result = std::move(r);
    });
    ASSERT_TRUE(waitFor([&] { return answers > 0; }));
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(answers, 1);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->instanceID, identity());
    ASSERT_EQ(service->registrations().size(), 1u);
    EXPECT_EQ(result->token, service->registrations()[0].token);
    EXPECT_EQ(requestsTo("/iid/register").size(), 1u);
    EXPECT_EQ(iid->defaultVCMToken(), result->token);
}

TEST_F(DAVInstanceIDRequestsTest, DeletingTheIdentityUnregistersEverythingAndLeavesNothingBehind) {
    ASSERT_FALSE(token(*iid, "sender-1", "a").error);
    const std::string before = identity();
    server.clearRequests();
    Answer deleted;
    iid->deleteIDWithHandler([&](std::optional<plat::Error> error) {
        ++deleted.calls;
        deleted.onMain = onMainQueue();
        deleted.error = std::move(error);
    });
    ASSERT_TRUE(waitFor([&] { return deleted.calls > 0; }));
    EXPECT_FALSE(deleted.error);
    EXPECT_TRUE(deleted.onMain);
    const auto sent = requestsTo("/iid/register");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(formItem(sent[0].body, "delete"), "true");
    EXPECT_EQ(formItem(sent[0].body, "iid-operation"), "delete");
    EXPECT_EQ(formItem(sent[0].body, "appid"), before);
    EXPECT_TRUE(service->registrations().empty());
    EXPECT_FALSE(iid->tokenManager()->cachedTokenInfoWithAuthorizedEntity("sender-1", "a"));
    EXPECT_FALSE(DAVInstanceIDKeyPair::keyDataWithTag(DAVInstanceIDKeyPairStore::publicTagWithSubtype("")));
    EXPECT_FALSE(DAVInstanceIDKeyPair::keyDataWithTag(DAVInstanceIDKeyPairStore::privateTagWithSubtype("")));
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExists(
        DAVInstanceIDStore::pathForApplicationSupportSubDirectory(kDAVInstanceIDSubDirectoryName) + "/" +
        DAVInstanceIDKeyPairStore::keyStoreFileName() + ".plist"));
    EXPECT_FALSE(iid->cachedCheckinPreferences());
    EXPECT_FALSE(iid->tokenManager()->instanceIDStore()->cachedCheckinPreferences());
    EXPECT_NE(getID().value, before);
}

TEST_F(DAVInstanceIDRequestsTest, AResetReplyDeletesTheIdentityOnTheMainQueue) {
    const std::string before = identity();
    ASSERT_FALSE(token(*iid, "sender-1", "a").error);
    server.route("POST", "/iid/register", Reply::text(200, "Error=RST"));
    const Answer reset = token(*iid, "sender-1", "b");
    EXPECT_EQ(reset.code(), kDAVInstanceIDErrorCodeInvalidIdentity);
    ASSERT_TRUE(waitFor([&] { return !iid->cachedCheckinPreferences(); }));
    EXPECT_FALSE(iid->tokenManager()->cachedTokenInfoWithAuthorizedEntity("sender-1", "a"));
    restoreRegisterRoute();
    const Answer after = getID();
    ASSERT_TRUE(after.value);
    EXPECT_NE(*after.value, before);
}

TEST_F(DAVInstanceIDRequestsTest, ANewAPNsTokenRefetchesExactlyTheInvalidatedRecords) {
    ASSERT_FALSE(token(*iid, "sender-1", "a").error);
    ASSERT_FALSE(token(*iid, "sender-2", "b").error);
    EXPECT_FALSE(iid->token());
    ASSERT_TRUE(waitFor([&] { return iid->defaultVCMToken().has_value(); }));
    plat::Virtual::runUntilIdle();
    server.clearRequests();
    // Bind "b" to the coming token already: it stays.
    const plat::Data first{0x0A, 0x0B};
    ASSERT_FALSE(token(*iid, "sender-2", "b", plat::Dictionary{{"apns_token", plat::Value(first)},
                                                                {"apns_sandbox", plat::Value(true)}})
                     .error);
    server.clearRequests();

    postAPNSToken(plat::Value(first), 1);
    const std::multiset<std::pair<std::string, std::string>> expected{{"sender-1", "a"}, {iid_test::kSenderID, "*"}};
    ASSERT_TRUE(waitFor([&] { return requestsTo("/iid/register").size() == 2 && !iid->isFetchingDefaultToken(); }));
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(iid->apnsTokenType(), 1);
    EXPECT_EQ(iid->APNSTupleString(), "s_0a0b");
    const auto sent = requestsTo("/iid/register");
    for (const auto& request : sent) {
        // The default token goes through the default-token fetch, which binds nothing without the messaging
        // client; the other record is bound to the new token.
        const bool isDefault = formItem(request.body, "sender") == iid_test::kSenderID;
        EXPECT_EQ(formItem(request.body, "apns_token"), isDefault ? "-" : "s_0a0b");
    }
    EXPECT_EQ(registered(), expected);

    logged();
    postAPNSToken(plat::Value(first), 1);
    EXPECT_TRUE(loggedCode(3011));
    postAPNSToken(plat::Value("not data"), 1);
    EXPECT_TRUE(loggedCode(2002));
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(DAVInstanceIDRequestsTest, NoRegisterRequestWhenTheKeyPairCannotBeLoadedAfterAnAPNsChange) {
    // Records cached by an earlier launch; this one has not loaded its key pair yet.
    DAVInstanceIDTokenInfo info("sender-1", "a", "tok-a", "4.2", iid_test::kAppID);
    ASSERT_TRUE(iid->tokenManager()->instanceIDStore()->saveTokenInfo(info));
    for (const char* op : {"keychain.copy", "keychain.add"}) {
        plat::sim::Faults::fail(op, "com.razoza.iid.keypair", plat::errSecInteractionNotAllowed,
                                plat::sim::Faults::kAlways);
    }
    logged();
    postAPNSToken(plat::Value(plat::Data{0x01}), 2);
    plat::Virtual::runUntilIdle();
    EXPECT_TRUE(waitFor([&] { return loggedCode(3002); }, 5));
    plat::sim::Faults::reset();
    EXPECT_FALSE(iid->tokenManager()->cachedTokenInfoWithAuthorizedEntity("sender-1", "a"));
    EXPECT_EQ(server.requestCount(), 0u);
}

} // namespace
