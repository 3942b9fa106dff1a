// Token operations against the instance-ID back end: the exact forms and headers of fetches and deletes, the
// replies of both kinds, the registration-error retries, cancellation and the missing check-in; and the
// reply parsers fed random input.

#include "instance_id/DAVInstanceIDCheckinService.hpp"
#include "instance_id/DAVInstanceIDKeyPairStore.hpp"
#include "instance_id/DAVInstanceIDTokenOperation.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "instance_id/tests/InstanceIDServerSupport.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/Random.hpp"

#include <atomic>
#include <mutex>

namespace {

using devserver::Reply;
using iid_test::InstanceIDServerTest;

struct TokenOutcome {
    std::mutex mutex;
    int calls = 0;
    DAVInstanceIDTokenOperationResult result = DAVInstanceIDTokenOperationSucceeded;
    std::optional<std::string> token;
    std::optional<plat::Error> error;

    DAVInstanceIDTokenOperation::CompletionHandler handler() {
        return [this](DAVInstanceIDTokenOperationResult r, std::optional<std::string> t,
                      std::optional<plat::Error> e) {
            std::lock_guard lock(mutex);
            ++calls;
            result = r;
            token = std::move(t);
            error = std::move(e);
        };
    }
    int count() {
        std::lock_guard lock(mutex);
        return calls;
    }
};

class DAVInstanceIDTokenOperationTest : public InstanceIDServerTest {
protected:
    void SetUp() override {
        InstanceIDServerTest::SetUp();
        queue->setMaxConcurrentOperationCount(1);
        DAVInstanceIDCheckinService checkinService;
        std::atomic<bool> done{false};
        checkinService.checkinWithExistingCheckin(nullptr, [&](auto c, auto) {
            checkin = std::move(c);
            done = true;
        });
        ASSERT_TRUE(waitFor([&] { return done.load(); }));
        ASSERT_TRUE(checkin);
        keyPair = keyPairStore.loadKeyPairWithError(nullptr);
        ASSERT_TRUE(keyPair);
        identity = *DAVInstanceIDKeyPair::appIdentityWithKeyPair(*keyPair);
        server.clearRequests();
    }

    std::shared_ptr<DAVInstanceIDTokenFetchOperation> fetchOperation(plat::Dictionary options = {},
                                                                     std::string entity = "sender-1") {
        return std::make_shared<DAVInstanceIDTokenFetchOperation>(entity, "*", std::move(options), checkin,
                                                                  keyPair);
    }
    // Queues the operation and waits for its answer.
    void run(const std::shared_ptr<DAVInstanceIDTokenOperation>& operation, TokenOutcome& outcome) {
        operation->addCompletionHandler(outcome.handler());
        queue->addOperation(operation);
        ASSERT_TRUE(waitFor([&] { return outcome.count() == 1; }));
        plat::Virtual::runUntilIdle();
    }
    std::string standardItems(bool withScope = true) const {
        return "X-osv=" + DAVInstanceIDSystemVersion() + "&device=" + *checkin->deviceID() +
               (withScope ? "&X-scope=*" : "") + "&plat=2&app=" + iid_test::kBundleID + "&app_ver=4.2";
    }
    // The main queue's delayed blocks, as (seconds from now).
    static std::vector<double> mainQueueWaits() {
        std::vector<double> waits;
        for (const auto& timer : plat::Virtual::pendingTimers()) {
            if (timer.label == plat::DispatchQueue::main()->label()) {
                waits.push_back(timer.deadline - plat::Virtual::uptime());
            }
        }
        return waits;
    }

    std::shared_ptr<plat::OperationQueue> queue =
        plat::OperationQueue::create("com.razoza.iid-token-operations");
    std::shared_ptr<DAVInstanceIDCheckinPreferences> checkin;
    DAVInstanceIDKeyPairStore keyPairStore;
    std::shared_ptr<DAVInstanceIDKeyPair> keyPair;
    std::string identity;
};

TEST_F(DAVInstanceIDTokenOperationTest, FetchAndDeleteFormsAndHeadersAreExact) {
    TokenOutcome fetched;
    run(fetchOperation({{"rmp_app_id", plat::Value("1:123:ios:abc")}}), fetched);
    ASSERT_EQ(fetched.result, DAVInstanceIDTokenOperationSucceeded)
        << (fetched.error ? fetched.error->description() : "");
    ASSERT_EQ(service->registrations().size(), 1u);
    EXPECT_EQ(fetched.token, service->registrations()[0].token);
    auto sent = requestsTo("/iid/register");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].body, standardItems() + "&sender=sender-1&X-subtype=sender-1&appid=" + identity +
                                "&rmp_app_id=1:123:ios:abc");
    EXPECT_EQ(sent[0].header("Authorization"),
              "AidLogin " + *checkin->deviceID() + ":" + *checkin->secretToken());
    EXPECT_EQ(sent[0].header("app"), iid_test::kBundleID);
    EXPECT_EQ(sent[0].header("info"), "devserver-iid-1");
    EXPECT_FALSE(sent[0].hasHeader("X-cliv"));

    // The same request again gets the same token.
    TokenOutcome again;
    run(fetchOperation({{"rmp_app_id", plat::Value("1:123:ios:abc")}}), again);
    EXPECT_EQ(again.token, fetched.token);

    struct Case {
        const char* name;
        std::shared_ptr<DAVInstanceIDTokenOperation> operation;
        std::string body;
        std::string reply;
    };
    const Case cases[] = {
        {"single delete",
         std::make_shared<DAVInstanceIDTokenDeleteOperation>("sender-1", "*", checkin, keyPair,
                                                             DAVInstanceIDTokenActionDelete),
         standardItems() + "&delete=true&sender=sender-1&appid=" + identity, "deleted=" + identity},
        {"delete all of the identity",
         std::make_shared<DAVInstanceIDTokenDeleteOperation>(std::nullopt, "*", checkin, keyPair,
                                                             DAVInstanceIDTokenActionDeleteAll),
         standardItems() + "&delete=true&iid-operation=delete&appid=" + identity, "deleted=" + identity},
        {"app-reset unregister",
         std::make_shared<DAVInstanceIDTokenDeleteOperation>(std::nullopt, std::nullopt, checkin, nullptr,
                                                             DAVInstanceIDTokenActionDelete),
         standardItems(false) + "&delete=true", "deleted=" + *checkin->deviceID()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        TokenOutcome deleted;
        run(c.operation, deleted);
        EXPECT_EQ(deleted.result, DAVInstanceIDTokenOperationSucceeded);
        EXPECT_FALSE(deleted.token);
        sent = requestsTo("/iid/register");
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].body, c.body);
        EXPECT_FALSE(sent[0].hasHeader("info"));
    }
    EXPECT_TRUE(service->registrations().empty());
}

TEST_F(DAVInstanceIDTokenOperationTest, TheAPNSTokenTravelsWithItsEnvironmentOnlyWhenBothAreGiven) {
    const plat::Data token{0x0A, 0xFF};
    struct Case {
        plat::Dictionary options;
        std::string expected; // "" : no item
    };
    const Case cases[] = {
        {{{"apns_token", plat::Value(token)}, {"apns_sandbox", plat::Value(true)}}, "&apns_token=s_0aff"},
        {{{"apns_token", plat::Value(token)}, {"apns_sandbox", plat::Value(0)}}, "&apns_token=p_0aff"},
        {{{"apns_token", plat::Value(token)}}, ""},
        {{{"apns_token", plat::Value("0aff")}, {"apns_sandbox", plat::Value(true)}}, ""},
    };
    std::string tokens[2];
    int i = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        server.clearRequests();
        TokenOutcome outcome;
        run(fetchOperation(c.options), outcome);
        ASSERT_EQ(outcome.result, DAVInstanceIDTokenOperationSucceeded);
        const auto sent = requestsTo("/iid/register");
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].body,
                  standardItems() + "&sender=sender-1&X-subtype=sender-1&appid=" + identity + c.expected);
        if (i < 2) {
            tokens[i++] = outcome.token.value_or("");
        }
    }
    // The back end binds the token to the APNs token and its environment.
    EXPECT_NE(tokens[0], tokens[1]);
}

TEST_F(DAVInstanceIDTokenOperationTest, RepliesOfBothKinds) {
    int identityInvalid = 0;
    plat::NotificationCenter::defaultCenter().addObserver(
        this, std::string(kDAVInstanceIDIdentityInvalidatedNotification), nullptr,
        [&](const plat::Notification&) {
            EXPECT_TRUE(plat::DispatchQueue::main()->isCurrent());
            ++identityInvalid;
        });
    struct Case {
        const char* name;
        bool fetch;
        Reply reply;
        DAVInstanceIDTokenOperationResult result;
        std::optional<std::string> token;
        std::optional<std::int64_t> code; // none: no error
    };
    const std::string notUTF8("token=\xff\xfe", 8);
    const Case cases[] = {
        {"token", true, Reply::text(200, "token=abc"), DAVInstanceIDTokenOperationSucceeded, "abc",
         std::nullopt},
        {"token among lines", true, Reply::text(200, "x=1\ntoken=abc=def\n"),
         DAVInstanceIDTokenOperationSucceeded, "abc", std::nullopt},
        {"RST", true, Reply::text(200, "Error=RST"), DAVInstanceIDTokenOperationFailed, std::nullopt, 2006},
        {"empty", true, Reply::text(200, ""), DAVInstanceIDTokenOperationFailed, std::nullopt, 0},
        {"deleted= to a fetch", true, Reply::text(200, "deleted="), DAVInstanceIDTokenOperationFailed,
         std::nullopt, 0},
        {"empty token", true, Reply::text(200, "token="), DAVInstanceIDTokenOperationFailed, std::nullopt, 0},
        {"other error", true, Reply::text(400, "Error=INVALID_PARAMETERS"), DAVInstanceIDTokenOperationFailed,
         std::nullopt, 0},
        {"not UTF-8", true, Reply::text(200, notUTF8, "application/octet-stream"),
         DAVInstanceIDTokenOperationFailed, std::nullopt, 0},
        {"10 MB without a key", true, Reply::generated(10 * 1024 * 1024), DAVInstanceIDTokenOperationFailed,
         std::nullopt, 0},
        {"deleted=", false, Reply::text(200, "deleted="), DAVInstanceIDTokenOperationSucceeded, std::nullopt,
         std::nullopt},
        {"token= to a delete", false, Reply::text(200, "token=x"), DAVInstanceIDTokenOperationSucceeded,
         std::nullopt, std::nullopt},
        {"empty delete", false, Reply::text(200, ""), DAVInstanceIDTokenOperationFailed, std::nullopt, 0},
        {"other text", false, Reply::text(200, "nope"), DAVInstanceIDTokenOperationFailed, std::nullopt, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.route("POST", "/iid/register", c.reply);
        TokenOutcome outcome;
        if (c.fetch) {
            run(fetchOperation(), outcome);
        } else {
            run(std::make_shared<DAVInstanceIDTokenDeleteOperation>("sender-1", "*", checkin, keyPair,
                                                                    DAVInstanceIDTokenActionDelete),
                outcome);
        }
        EXPECT_EQ(outcome.result, c.result);
        EXPECT_EQ(outcome.token, c.token);
        ASSERT_EQ(outcome.error.has_value(), c.code.has_value());
        if (c.code) {
            EXPECT_EQ(outcome.error->domain, kDAVInstanceIDDomain);
            EXPECT_EQ(outcome.error->code, *c.code);
        }
    }
    EXPECT_EQ(identityInvalid, 1);
    EXPECT_TRUE(loggedCode(2001));

    server.route("POST", "/iid/register", Reply::dropped());
    TokenOutcome dropped;
    run(fetchOperation(), dropped);
    EXPECT_EQ(dropped.result, DAVInstanceIDTokenOperationFailed);
    ASSERT_TRUE(dropped.error);
    EXPECT_EQ(dropped.error->domain, plat::NSURLErrorDomain);
    plat::NotificationCenter::defaultCenter().removeObserver(this);
}

TEST_F(DAVInstanceIDTokenOperationTest, RegistrationErrorsAreRetriedAfterDoublingWaitsTenTimesInAProcess) {
    auto backend = service;
    auto answered = std::make_shared<std::atomic<int>>(0);
    server.route(devserver::Route{
        "POST", "/iid/register", devserver::PathMatch::Exact, devserver::kInstanceIdHost,
        devserver::BodyCapture::Record, [backend, answered](const devserver::RecordedRequest& r) {
            const int n = answered->fetch_add(1);
            return n == 10 ? backend->registerToken(r) : Reply::text(200, "Error=PHONE_REGISTRATION_ERROR");
        }});
    TokenOutcome outcome;
    auto operation = fetchOperation();
    operation->addCompletionHandler(outcome.handler());
    queue->addOperation(operation);
    std::vector<double> waits;
    for (int attempt = 1; attempt <= 10; ++attempt) {
        ASSERT_TRUE(waitFor([&] { return !mainQueueWaits().empty(); })) << attempt;
        EXPECT_EQ(answered->load(), attempt);
        EXPECT_TRUE(operation->isExecuting());
        waits.push_back(mainQueueWaits().front());
        plat::Virtual::advanceBy(waits.back());
    }
    ASSERT_TRUE(waitFor([&] { return outcome.count() == 1; }));
    EXPECT_EQ(waits, (std::vector<double>{1, 2, 4, 8, 16, 32, 64, 128, 256, 512}));
    EXPECT_EQ(outcome.result, DAVInstanceIDTokenOperationSucceeded);
    EXPECT_TRUE(outcome.token);
    EXPECT_EQ(DAVInstanceIDTokenFetchOperation::registrationErrorRetryCount(), 10);

    // The count is the process's: a later fetch meeting the same error ends at once.
    TokenOutcome later;
    run(fetchOperation(), later);
    EXPECT_EQ(later.result, DAVInstanceIDTokenOperationFailed);
    ASSERT_TRUE(later.error);
    EXPECT_EQ(later.error->code, 0);
    EXPECT_TRUE(mainQueueWaits().empty());
    EXPECT_EQ(answered->load(), 12);
}

TEST_F(DAVInstanceIDTokenOperationTest, ACancelDuringARegistrationErrorWaitSendsNothingMore) {
    server.route("POST", "/iid/register", Reply::text(200, "Error=PHONE_REGISTRATION_ERROR"));
    TokenOutcome outcome;
    auto operation = fetchOperation();
    operation->addCompletionHandler(outcome.handler());
    queue->addOperation(operation);
    ASSERT_TRUE(waitFor([&] { return !mainQueueWaits().empty(); }));
    operation->cancel();
    EXPECT_EQ(outcome.count(), 1);
    EXPECT_EQ(outcome.result, DAVInstanceIDTokenOperationCancelled);
    plat::Virtual::advanceBy(1);
    waitFor([] { return false; }, 0.3);
    EXPECT_EQ(requestsTo("/iid/register").size(), 1u);
    EXPECT_EQ(DAVInstanceIDTokenFetchOperation::registrationErrorRetryCount(), 0);
    EXPECT_EQ(outcome.count(), 1);
    EXPECT_TRUE(operation->isFinished());
}

TEST_F(DAVInstanceIDTokenOperationTest, CancelledOrWithoutCheckinAnOperationEndsOnceWithoutARequest) {
    queue->setSuspended(true);
    TokenOutcome cancelled;
    auto operation = fetchOperation();
    operation->addCompletionHandler(cancelled.handler());
    operation->addCompletionHandler(cancelled.handler());
    queue->addOperation(operation);
    operation->cancel();
    EXPECT_EQ(cancelled.count(), 2); // both handlers, once each
    EXPECT_EQ(cancelled.result, DAVInstanceIDTokenOperationCancelled);
    EXPECT_FALSE(cancelled.error);
    queue->setSuspended(false);
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(cancelled.count(), 2);
    EXPECT_TRUE(operation->isFinished());

    auto noCheckin = std::make_shared<DAVInstanceIDCheckinPreferences>(std::nullopt, std::nullopt);
    TokenOutcome missing;
    run(std::make_shared<DAVInstanceIDTokenFetchOperation>("sender-1", "*", plat::Dictionary{}, noCheckin,
                                                           keyPair),
        missing);
    EXPECT_EQ(missing.result, DAVInstanceIDTokenOperationFailed);
    ASSERT_TRUE(missing.error);
    EXPECT_EQ(missing.error->code, 6);
    EXPECT_TRUE(requestsTo("/iid/register").empty());
}

TEST_F(DAVInstanceIDTokenOperationTest, TheTestBlockTakesTheRequestInsteadOfTheNetwork) {
    std::optional<plat::URLRequest> seen;
    auto operation = fetchOperation();
    operation->setTestBlock([&seen](const plat::URLRequest& request, plat::URLSession::DataCompletion reply) {
        seen = request;
        const std::string body = "token=from-block";
        reply(plat::Data(body.begin(), body.end()), nullptr, std::nullopt);
    });
    TokenOutcome outcome;
    run(operation, outcome);
    EXPECT_EQ(outcome.token, "from-block");
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->url()->absoluteString(), DAVInstanceIDRegisterURL());
    EXPECT_EQ(seen->httpMethod(), "POST");
    EXPECT_TRUE(requestsTo("/iid/register").empty());
}

// Random input to the reply parsers: anything may come back, nothing may crash.
TEST(DAVInstanceIDReplyParsersTest, RandomBytesAndRandomJSONNeverCrash) {
    plat::Random::seed(20261211);
    std::function<plat::Value(int)> randomValue = [&](int depth) -> plat::Value {
        switch (plat::Random::uniform(depth > 3 ? 5 : 7)) {
        case 0:
            return plat::Value(static_cast<std::int64_t>(plat::Random::u64()));
        case 1:
            return plat::Value(plat::Random::unit() * 1e20);
        case 2:
            return plat::Value(plat::Random::uniform(2) == 1);
        case 3:
            return plat::Value(
                std::string(plat::Random::uniform(4), 'a' + static_cast<char>(plat::Random::uniform(26))));
        case 4:
            return plat::Value();
        case 5: {
            plat::Array array;
            for (std::uint32_t i = plat::Random::uniform(4); i > 0; --i) {
                array.push_back(randomValue(depth + 1));
            }
            return plat::Value(array);
        }
        default: {
            static const char* keys[] = {"android_id", "security_token", "time_msec",
                                         "digest",     "version_info",   "device_data_version_info",
                                         "setting",    "name",           "value"};
            plat::Dictionary dictionary;
            for (std::uint32_t i = plat::Random::uniform(6); i > 0; --i) {
                dictionary.set(keys[plat::Random::uniform(9)], randomValue(depth + 1));
            }
            return plat::Value(dictionary);
        }
        }
    };
    for (int i = 0; i < 400; ++i) {
        plat::Data bytes = *plat::Random::bytes(plat::Random::uniform(64));
        if (i % 2 == 0) {
            if (auto json = plat::JSONSerialization::data(randomValue(0),
                                                          plat::JSONSerialization::WritingFragmentsAllowed)) {
                bytes = *json;
            }
        }
        (void)DAVInstanceIDCheckinService::checkinFromReply(bytes, std::nullopt);
        (void)DAVInstanceIDTokenFetchOperation::parseFetchTokenResponse(
            std::string(bytes.begin(), bytes.end()));
        auto checkin = std::make_shared<DAVInstanceIDCheckinPreferences>("1", "2");
        auto fetch = std::make_shared<DAVInstanceIDTokenFetchOperation>("e", "*", plat::Dictionary{}, checkin,
                                                                        nullptr);
        fetch->handleResponseWithData(bytes, nullptr, std::nullopt);
        auto remove = std::make_shared<DAVInstanceIDTokenDeleteOperation>("e", "*", checkin, nullptr,
                                                                          DAVInstanceIDTokenActionDelete);
        remove->handleResponseWithData(bytes, nullptr, std::nullopt);
    }
    plat::Random::unseed();
}

} // namespace
