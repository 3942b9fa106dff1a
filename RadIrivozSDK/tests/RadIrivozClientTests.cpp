// The push client's transport: how a request looks on the wire, how replies and failures become blocks
// and errors, re-attempts, the keyed batch, the synchronous send, refusals, and the network type.

#include "RadIrivozSDK/Source/RadIrivozClient.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozReachability.hpp"
#include "RadIrivozSDK/Source/RadIrivozRequests.hpp"
#include "RadIrivozSDK/tests/PushTestSupport.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Date.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/uikit/UIKitTypes.hpp"

#include "RadIrivozSDK/tests/TestAppId.hpp"

#include <gtest/gtest.h>

namespace {

using namespace push::test;
using plat::ScriptedReply;
using plat::Virtual;

using radirivoz_test::kAppId;

RadIrivozRequestPtr request(int32_t method, std::string path, std::optional<plat::Dictionary> parameters) {
    auto r = std::make_shared<RadIrivozRequest>();
    r->setMethod(method);
    r->setPath(std::move(path));
    r->setParameters(std::move(parameters));
    return r;
}

std::string bodyText(const plat::ScriptedRequest& r) {
    return std::string(r.body.begin(), r.body.end());
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

using RadIrivozClientTest = ScriptedPushTest;

// Parameters go to the query for GET and DELETE, to a pretty JSON body for POST and PUT, nowhere else;
// every request asks for and sends JSON.
struct ShapeCase {
    const char* name;
    int32_t method;
    std::optional<plat::Dictionary> parameters;
    std::string url;     // after the API root
    std::string body;    // "" for none; "{" for a JSON body that must parse back to the parameters
    const char* wireMethod;
};

void PrintTo(const ShapeCase& c, std::ostream* os) {
    *os << c.name;
}

class RequestShapeTest : public RadIrivozClientTest, public ::testing::WithParamInterface<ShapeCase> {};

TEST_P(RequestShapeTest, PutsTheParametersWhereTheMethodWantsThem) {
    const ShapeCase& c = GetParam();
    net->route("", apiURL(""), ScriptedReply::text(200, ""));
    Outcome outcome;
    RadIrivozClient::sharedClient().executeRequest(request(c.method, "things", c.parameters), outcome.success(),
                                                   outcome.failure());
    Virtual::runUntilIdle();

    auto sent = net->requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, c.wireMethod);
    EXPECT_EQ(sent[0].url, apiURL(c.url));
    EXPECT_EQ(header(sent[0], "Content-Type"), "application/json");
    EXPECT_EQ(header(sent[0], "Accept"), "application/json");
    if (c.body.empty()) {
        EXPECT_TRUE(sent[0].body.empty()) << bodyText(sent[0]);
    } else {
        EXPECT_NE(bodyText(sent[0]).find('\n'), std::string::npos) << "pretty-printed";
        auto parsed = plat::JSONSerialization::jsonObject(bodyText(sent[0]));
        ASSERT_TRUE(parsed.ok());
        EXPECT_EQ(*parsed, plat::Value(*c.parameters));
    }
    EXPECT_EQ(outcome.successes, 1);
}

const plat::Dictionary kParams{{"app_id", "x"}, {"a", "b c"}};

INSTANTIATE_TEST_SUITE_P(
    Methods, RequestShapeTest,
    ::testing::Values(ShapeCase{"GetQuery", HTTPMethodGET, kParams, "things?app_id=x&a=b%20c", "", "GET"},
                      ShapeCase{"GetWithoutParameters", HTTPMethodGET,
                                plat::Dictionary{{"app_id", "x"}}, "things?app_id=x", "", "GET"},
                      ShapeCase{"DeleteQuery", HTTPMethodDELETE, kParams, "things?app_id=x&a=b%20c", "", "DELETE"},
                      ShapeCase{"PostBody", HTTPMethodPOST, kParams, "things", "{", "POST"},
                      ShapeCase{"PutBody", HTTPMethodPUT, kParams, "things", "{", "PUT"},
                      ShapeCase{"HeadNothing", HTTPMethodHEAD, kParams, "things", "", "HEAD"},
                      // Keys and values that would change the query's shape are encoded one by one.
                      ShapeCase{"QueryPiecesEncoded", HTTPMethodGET,
                                plat::Dictionary{{"app_id", "x"}, {"k&=?", "v&w=1?#"}},
                                "things?app_id=x&k%26%3D%3F=v%26w%3D1%3F%23", "", "GET"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RadIrivozClientTest, ADateAmongTheParametersWarnsAndSendsNoBody) {
    net->route("", apiURL(""), ScriptedReply::text(200, ""));
    plat::sim::ConsoleCapture console;
    RadIrivozClient::sharedClient().executeRequest(
        request(HTTPMethodPUT, "players/p", plat::Dictionary{{"app_id", "x"}, {"when", plat::Value(plat::Date())}}),
        nullptr, nullptr);
    Virtual::runUntilIdle();

    EXPECT_NE(console.nslog().find("WARNING: RadIrivoz Attempted to make a request with an invalid JSON body: "),
              std::string::npos)
        << console.nslog();
    auto sent = net->requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(sent[0].body.empty());
}

// Only 200 succeeds; a body must be JSON whatever the status.
struct ReplyCase {
    const char* name;
    int status;
    std::string body;
    bool succeeds;
    const char* domain;
    bool returned; // the error carries "returned"
    const char* returnedJSON; // the parsed reply under "returned", or "" when it is the parser's error
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

class ReplyTest : public RadIrivozClientTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyTest, BecomesSuccessOrTheRightError) {
    const ReplyCase& c = GetParam();
    net->route("", apiURL(""), ScriptedReply::text(c.status, c.body, "application/json"));
    Outcome outcome;
    RadIrivozClient::sharedClient().executeRequest(
        request(HTTPMethodGET, "things", plat::Dictionary{{"app_id", "x"}}), outcome.success(), outcome.failure());
    Virtual::runUntilIdle();

    EXPECT_EQ(net->requests().size(), 1u) << "no re-attempt below 500";
    if (c.succeeds) {
        ASSERT_EQ(outcome.successes, 1);
        EXPECT_TRUE(outcome.failures.empty());
        if (c.body.empty()) {
            EXPECT_FALSE(outcome.reply) << "no body: nil";
        } else {
            EXPECT_EQ(outcome.reply, *plat::JSONSerialization::jsonObject(c.body));
        }
        return;
    }
    ASSERT_EQ(outcome.failures.size(), 1u);
    EXPECT_EQ(outcome.successes, 0);
    const plat::Error& error = outcome.failures[0];
    EXPECT_EQ(error.domain, c.domain);
    EXPECT_EQ(error.code, c.status);
    const plat::Value* returned = error.userInfoValue("returned");
    EXPECT_EQ(returned != nullptr, c.returned) << error.description();
    if (returned && *c.returnedJSON) {
        EXPECT_EQ(*returned, *plat::JSONSerialization::jsonObject(c.returnedJSON));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyTest,
    ::testing::Values(ReplyCase{"EmptyOk", 200, "", true, "", false, ""},
                      ReplyCase{"JsonOk", 200, R"({"a":[1,2]})", true, "", false, ""},
                      ReplyCase{"HtmlOk", 200, "<html>", false, "RadIrivoz Error", true, ""},
                      ReplyCase{"BareNumberOk", 200, "42", false, "RadIrivoz Error", true, ""},
                      ReplyCase{"CreatedIsAFailure", 201, R"({"a":1})", false, "RadIrivozError", true, R"({"a":1})"},
                      ReplyCase{"NoContentIsAFailure", 204, "", false, "RadIrivozError", false, ""},
                      ReplyCase{"NotFound", 404, R"({"errors":["x"]})", false, "RadIrivozError", true,
                                R"({"errors":["x"]})"},
                      ReplyCase{"ServerErrorHtml", 503, "<html>", false, "RadIrivoz Error", true, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RadIrivozClientTest, AReplyOverFourMiBFails) {
    std::string big = "[\"" + std::string(RadIrivozClient::kMaxReplyBytes, 'a') + "\"]";
    net->route("", apiURL(""), ScriptedReply::text(200, big, "application/json"));
    Outcome outcome;
    RadIrivozClient::sharedClient().executeRequest(
        request(HTTPMethodGET, "things", plat::Dictionary{{"app_id", "x"}}), outcome.success(), outcome.failure());
    Virtual::runUntilIdle();

    ASSERT_EQ(outcome.failures.size(), 1u);
    EXPECT_EQ(outcome.successes, 0);
    EXPECT_EQ(outcome.failures[0].domain, "RadIrivozError");
    EXPECT_TRUE(outcome.failures[0].userInfoValue("error")) << outcome.failures[0].description();
}

TEST_F(RadIrivozClientTest, WithoutAnAppIdNothingIsSentAndTheCallerHearsAtOnce) {
    plat::sim::ConsoleCapture console;
    Outcome outcome;
    RadIrivozClient::sharedClient().executeRequest(
        RIRequestUpdateNotificationTypes::withUserId(std::string("p1"), std::nullopt, plat::Value(7)),
        outcome.success(), outcome.failure());

    ASSERT_EQ(outcome.failures.size(), 1u) << "on the calling thread, before the call returns";
    EXPECT_EQ(outcome.failures[0].domain, "RadIrivozError");
    EXPECT_EQ(outcome.failures[0].code, -1);
    EXPECT_EQ(outcome.failures[0].userInfoValue("error")->asString(),
              "HTTP Request (RIRequestUpdateNotificationTypes) must contain app_id parameter");
    EXPECT_NE(console.nslog().find("ERROR: HTTP Request (RIRequestUpdateNotificationTypes) must contain app_id "
                                   "parameter"),
              std::string::npos);
    Virtual::runUntilIdle();
    EXPECT_TRUE(net->requests().empty());
}

TEST_F(RadIrivozClientTest, IdentifiersStayOneEncodedSegmentAndAnEmptyOneIsRefused) {
    net->route("", apiURL(""), ScriptedReply::text(200, "{}"));
    Outcome encoded;
    RadIrivozClient::sharedClient().executeRequest(
        RIRequestGetTags::withUserId(std::string("a/b?c&d e"), std::string(kAppId)), encoded.success(),
        encoded.failure());
    Outcome empty;
    RadIrivozClient::sharedClient().executeRequest(RIRequestGetTags::withUserId(std::string(""), std::string(kAppId)),
                                                   empty.success(), empty.failure());
    Outcome missing;
    RadIrivozClient::sharedClient().executeRequest(
        RIRequestSubmitNotificationOpened::withUserId(std::string("p"), std::string(kAppId), true, std::nullopt),
        missing.success(), missing.failure());
    Virtual::runUntilIdle();

    auto sent = net->requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].url, apiURL("players/a%2Fb%3Fc%26d%20e?app_id=") + kAppId);
    EXPECT_EQ(encoded.successes, 1);
    for (const Outcome* refused : {&empty, &missing}) {
        ASSERT_EQ(refused->failures.size(), 1u);
        EXPECT_EQ(refused->failures[0].code, -1);
    }
}

TEST_F(RadIrivozClientTest, WithoutConsentOnlyGetsGoOut) {
    RadIrivoz::setRequiresUserPrivacyConsent(true);
    net->route("", apiURL(""), ScriptedReply::text(200, "{}"));
    Outcome put;
    RadIrivozClient::sharedClient().executeRequest(
        RIRequestUpdateNotificationTypes::withUserId(std::string("p1"), std::string(kAppId), plat::Value(7)),
        put.success(), put.failure());
    Outcome get;
    RadIrivozClient::sharedClient().executeRequest(RIRequestGetTags::withUserId(std::string("p1"), std::string(kAppId)),
                                                   get.success(), get.failure());
    ASSERT_EQ(put.failures.size(), 1u);
    EXPECT_EQ(put.failures[0].domain, "RadIrivoz Error");
    EXPECT_EQ(put.failures[0].code, 0);
    EXPECT_EQ(put.failures[0].userInfoValue("error")->asString(),
              "Attempted to perform an HTTP request (RIRequestUpdateNotificationTypes) before the user provided "
              "privacy consent.");
    Virtual::runUntilIdle();

    auto sent = net->requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "GET");
    EXPECT_EQ(get.successes, 1);
}

TEST_F(RadIrivozClientTest, AServerErrorIsSentThreeTimesThirtySecondsApartThenReportedOnce) {
    std::vector<double> sentAt;
    net->route("", apiURL(""), [&](const plat::ScriptedRequest&) {
        sentAt.push_back(Virtual::uptime());
        return ScriptedReply::text(503, R"({"busy":true})", "application/json");
    });
    plat::sim::ConsoleCapture console;
    Outcome outcome;
    const double start = Virtual::uptime();
    RadIrivozClient::sharedClient().executeRequest(
        request(HTTPMethodPOST, "players", plat::Dictionary{{"app_id", "x"}}), outcome.success(), outcome.failure());
    Virtual::runUntilIdle();
    Virtual::advanceBy(29);
    EXPECT_EQ(sentAt.size(), 1u);
    EXPECT_EQ(outcome.calls(), 0);
    Virtual::advanceBy(200);

    ASSERT_EQ(sentAt.size(), 3u);
    EXPECT_NEAR(sentAt[0] - start, 0, 1);
    EXPECT_NEAR(sentAt[1] - start, 30, 1);
    EXPECT_NEAR(sentAt[2] - start, 60, 1);
    ASSERT_EQ(outcome.failures.size(), 1u);
    EXPECT_EQ(outcome.successes, 0);
    EXPECT_EQ(outcome.failures[0].code, 503);
    EXPECT_EQ(*outcome.failures[0].userInfoValue("returned"), plat::Value(plat::Dictionary{{"busy", true}}));
    EXPECT_EQ(count(console.nslog(), "DEBUG: Re-scheduling request (RadIrivozRequest) to be re-attempted in 30.000 "
                                     "seconds due to failed HTTP request with status code 503"),
              2u)
        << console.nslog();
}

TEST_F(RadIrivozClientTest, NoAnswerIsReattemptedAndALaterSuccessReachesTheCaller) {
    int sends = 0;
    net->route("", apiURL(""), [&](const plat::ScriptedRequest&) {
        return ++sends == 1 ? ScriptedReply::error(plat::WireFailure::cannotConnect)
                            : ScriptedReply::text(200, R"({"id":"p9"})");
    });
    Outcome outcome;
    RadIrivozClient::sharedClient().executeRequest(
        request(HTTPMethodPOST, "players", plat::Dictionary{{"app_id", "x"}}), outcome.success(), outcome.failure());
    Virtual::runUntilIdle();
    EXPECT_EQ(outcome.calls(), 0);
    Virtual::advanceBy(31);

    EXPECT_EQ(sends, 2);
    ASSERT_EQ(outcome.successes, 1);
    EXPECT_TRUE(outcome.failures.empty());
    EXPECT_EQ((*outcome.reply)["id"], plat::Value("p9"));
}

TEST_F(RadIrivozClientTest, ATransportFailureEndsAsCodeZeroWithTheError) {
    net->route("", apiURL(""), ScriptedReply::error(plat::WireFailure::cannotConnect));
    Outcome outcome;
    RadIrivozClient::sharedClient().executeRequest(
        request(HTTPMethodGET, "things", plat::Dictionary{{"app_id", "x"}}), outcome.success(), outcome.failure());
    Virtual::runUntilIdle();
    Virtual::advanceBy(100);

    EXPECT_EQ(net->requests().size(), 3u);
    ASSERT_EQ(outcome.failures.size(), 1u);
    EXPECT_EQ(outcome.failures[0].domain, "RadIrivozError");
    EXPECT_EQ(outcome.failures[0].code, 0);
    ASSERT_TRUE(outcome.failures[0].underlyingError);
    EXPECT_EQ(outcome.failures[0].underlyingError->domain, plat::NSURLErrorDomain);
}

struct BatchOutcome {
    int successes = 0;
    int failures = 0;
    bool onMain = false;
    plat::Dictionary results;
    std::map<std::string, plat::Error> errors;
};

void runBatch(const std::map<std::string, RadIrivozRequestPtr>& requests, BatchOutcome& out) {
    RadIrivozClient::sharedClient().executeSimultaneousRequests(
        requests,
        [&out](const plat::Dictionary& results) {
            ++out.successes;
            out.onMain = plat::DispatchQueue::main()->isCurrent();
            out.results = results;
        },
        [&out](const std::map<std::string, plat::Error>& errors) {
            ++out.failures;
            out.onMain = plat::DispatchQueue::main()->isCurrent();
            out.errors = errors;
        });
}

TEST_F(RadIrivozClientTest, ABatchReportsOnceOnMainAndOnlyFailuresWhenOneFails) {
    net->route("", apiURL("players/push"), ScriptedReply::text(200, R"({"success":true})"));
    net->route("", apiURL("players/email"), ScriptedReply::text(400, R"({"errors":["bad"]})"));
    BatchOutcome out;
    runBatch({{"push", request(HTTPMethodPUT, "players/push", plat::Dictionary{{"app_id", "x"}})},
              {"email", request(HTTPMethodPUT, "players/email", plat::Dictionary{{"app_id", "x"}})}},
             out);
    Virtual::runUntilIdle();
    Virtual::advanceBy(500);

    EXPECT_EQ(out.successes, 0);
    EXPECT_EQ(out.failures, 1);
    EXPECT_TRUE(out.onMain);
    ASSERT_EQ(out.errors.size(), 1u);
    EXPECT_EQ(out.errors.at("email").code, 400);

    BatchOutcome ok;
    runBatch({{"push", request(HTTPMethodPUT, "players/push", plat::Dictionary{{"app_id", "x"}})}}, ok);
    BatchOutcome empty;
    runBatch({}, empty);
    Virtual::runUntilIdle();
    EXPECT_EQ(ok.successes, 1);
    EXPECT_EQ(*ok.results.find("push"), plat::Value(plat::Dictionary{{"success", true}}));
    EXPECT_EQ(empty.successes + empty.failures, 0);
}

TEST_F(RadIrivozClientTest, ABatchThatRunsOutOfTimeReportsEveryKeyTimedOutAndIgnoresLateAnswers) {
    // Sessions that would wait longer than the batch does.
    RadIrivozClient::sharedClient().setRequestTimeout(1000);
    net->route("", apiURL("players/push"), ScriptedReply::text(200, "{}"));
    net->route("", apiURL("players/email"), ScriptedReply::text(200, "{}").after(600));
    BatchOutcome out;
    runBatch({{"push", request(HTTPMethodPUT, "players/push", plat::Dictionary{{"app_id", "x"}})},
              {"email", request(HTTPMethodPUT, "players/email", plat::Dictionary{{"app_id", "x"}})}},
             out);
    Virtual::runUntilIdle();
    Virtual::advanceBy(451);
    Virtual::runUntilIdle();

    EXPECT_EQ(out.failures, 1);
    ASSERT_EQ(out.errors.size(), 2u) << "the key that answered counts as timed out too";
    for (const auto& [key, error] : out.errors) {
        EXPECT_EQ(error, RadIrivozClient::genericTimedOutError()) << key;
    }
    Virtual::advanceBy(300);
    EXPECT_EQ(out.failures + out.successes, 1);
}

TEST_F(RadIrivozClientTest, TheSynchronousSendAnswersOnItsThreadOrHandsOverToAReattempt) {
    int sends = 0;
    net->route("", apiURL("players/sync"), [&](const plat::ScriptedRequest&) {
        return ++sends == 1 ? ScriptedReply::text(200, R"({"ok":1})") : ScriptedReply::text(200, "{}");
    });
    net->route("", apiURL("players/down"), ScriptedReply::error(plat::WireFailure::cannotConnect));
    Outcome answered;
    Outcome handedOver;
    bool answeredBeforeReturn = false;
    bool handedOverBeforeReturn = true;
    plat::DispatchQueue::global()->async([&] {
        RadIrivozClient::sharedClient().executeSynchronousRequest(
            request(HTTPMethodPUT, "players/sync", plat::Dictionary{{"app_id", "x"}}), answered.success(),
            answered.failure());
        answeredBeforeReturn = answered.successes == 1;
        RadIrivozClient::sharedClient().executeSynchronousRequest(
            request(HTTPMethodPUT, "players/down", plat::Dictionary{{"app_id", "x"}}), handedOver.success(),
            handedOver.failure());
        handedOverBeforeReturn = handedOver.calls() > 0;
    });
    Virtual::runUntilIdle();

    EXPECT_TRUE(answeredBeforeReturn);
    EXPECT_FALSE(handedOverBeforeReturn) << "the re-attempt owns the blocks now";
    Virtual::advanceBy(100);
    EXPECT_EQ(handedOver.failures.size(), 1u);
}

TEST_F(RadIrivozClientTest, TheSynchronousSendPassesTheConsentGate) {
    RadIrivoz::setRequiresUserPrivacyConsent(true);
    net->route("", apiURL(""), ScriptedReply::text(200, "{}"));
    Outcome outcome;
    RadIrivozClient::sharedClient().executeSynchronousRequest(
        request(HTTPMethodPUT, "players/p", plat::Dictionary{{"app_id", "x"}}), outcome.success(), outcome.failure());

    ASSERT_EQ(outcome.failures.size(), 1u);
    EXPECT_EQ(outcome.failures[0].domain, "RadIrivoz Error");
    EXPECT_TRUE(net->requests().empty());
}

TEST_F(RadIrivozClientTest, ASynchronousSendThatTimesOutIsCancelledAndItsLateAnswerIgnored) {
    RadIrivozClient::sharedClient().setRequestTimeout(5);
    net->route("", apiURL(""), ScriptedReply::silence());
    Outcome outcome;
    bool returned = false;
    plat::DispatchQueue::global()->async([&] {
        RadIrivozClient::sharedClient().executeSynchronousRequest(
            request(HTTPMethodPUT, "players/p", plat::Dictionary{{"app_id", "x"}}), outcome.success(),
            outcome.failure());
        returned = true;
    });
    Virtual::runUntilIdle();
    Virtual::advanceBy(6);
    EXPECT_TRUE(returned);
    // Re-attempts follow (status 0), each of them timing out too; the caller hears once, at the end.
    Virtual::advanceBy(200);
    EXPECT_EQ(outcome.calls(), 1);
    EXPECT_EQ(net->requests().size(), 3u);
}

TEST_F(RadIrivozClientTest, AtTerminationRequestsInFlightAreCancelledAndNothingMoreStarts) {
    net->route("", apiURL(""), ScriptedReply::text(200, "{}").after(10));
    Outcome inFlight;
    RadIrivozClient::sharedClient().executeRequest(
        request(HTTPMethodGET, "things", plat::Dictionary{{"app_id", "x"}}), inFlight.success(), inFlight.failure());
    Virtual::runUntilIdle();
    plat::NotificationCenter::defaultCenter().post(plat::UIApplicationWillTerminateNotification);
    Outcome later;
    RadIrivozClient::sharedClient().executeRequest(
        request(HTTPMethodGET, "things", plat::Dictionary{{"app_id", "x"}}), later.success(), later.failure());
    Virtual::advanceBy(100);

    EXPECT_EQ(inFlight.calls() + later.calls(), 0);
    EXPECT_EQ(net->requests().size(), 1u);
}

struct FlagsCase {
    uint32_t flags;
    RINetworkStatus status;
};

TEST(RadIrivozReachabilityTest, FlagsGiveTheStatusAndTheNetType) {
    using plat::kReachabilityFlagsConnectionOnTraffic;
    using plat::kReachabilityFlagsConnectionRequired;
    using plat::kReachabilityFlagsInterventionRequired;
    using plat::kReachabilityFlagsIsWWAN;
    using plat::kReachabilityFlagsReachable;
    const FlagsCase cases[] = {
        {kReachabilityFlagsReachable, RINetworkStatus::ReachableViaWiFi},
        {kReachabilityFlagsReachable | kReachabilityFlagsIsWWAN, RINetworkStatus::ReachableViaWWAN},
        {kReachabilityFlagsReachable | kReachabilityFlagsConnectionRequired, RINetworkStatus::NotReachable},
        {kReachabilityFlagsReachable | kReachabilityFlagsConnectionRequired | kReachabilityFlagsConnectionOnTraffic,
         RINetworkStatus::ReachableViaWiFi},
        {kReachabilityFlagsReachable | kReachabilityFlagsConnectionRequired | kReachabilityFlagsConnectionOnTraffic |
             kReachabilityFlagsInterventionRequired,
         RINetworkStatus::NotReachable},
        {kReachabilityFlagsIsWWAN | kReachabilityFlagsConnectionOnTraffic, RINetworkStatus::NotReachable},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RadIrivozReachability::networkStatusForFlags(c.flags), c.status) << std::hex << c.flags;
        plat::sim::Network::setReachability(c.flags);
        EXPECT_EQ(RadIrivozHelper::getNetType(), plat::Value(c.status == RINetworkStatus::ReachableViaWiFi ? 0 : 1))
            << std::hex << c.flags;
    }
    plat::sim::Network::setReachability(std::nullopt);
    EXPECT_EQ(RadIrivozHelper::getNetType(), plat::Value(1)) << "unreadable flags: not on Wi-Fi";
}

} // namespace
