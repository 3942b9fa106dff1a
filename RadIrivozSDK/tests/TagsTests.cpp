// Tags: merged writes sent once 5 s after the last, deletions, reads, validation; notification posting.

#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/tests/PushDeviceSupport.hpp"

namespace {

using namespace push::test;
using plat::Virtual;

class TagsTest : public PushDeviceTest {
protected:
    void launch(bool withPlayer = true) {
        boot("12.1", {}, {}, std::string("Europe/Berlin"));
        setDelegate(makeDelegateClass("TagsAppDelegate", {}));
        ASSERT_TRUE(RadIrivoz::initAppId(std::string(radirivoz_test::kAppId), defaults(), {}));
        if (withPlayer) {
            RadIrivoz::currentSubscriptionState()->setUserId(std::string("player-1"));
        }
        net->route("PUT", apiURL("players/"), plat::ScriptedReply::text(200, R"({"success":true})"));
        net->route("GET", apiURL("players/player-1"), plat::ScriptedReply::text(200, R"({"tags":{"a":"1"}})"));
        net->route("POST", apiURL("notifications"), plat::ScriptedReply::text(200, R"({"id":"n-1"})"));
        Virtual::runUntilIdle();
        net->clearRequests();
    }

    plat::Value tagsSent(size_t index = 0) const {
        auto puts = sent("PUT", "players/player-1");
        return puts.size() > index ? plat::Value(body(puts[index]))["tags"] : plat::Value();
    }
};

TEST_F(TagsTest, WritesWithinTheDelayGoOutAsOnePutFiveSecondsAfterTheLast) {
    launch();
    int answered = 0;
    RadIrivoz::sendTag("a", plat::Value("1"), [&](const std::optional<plat::Value>&) { ++answered; });
    Virtual::advanceBy(1);
    RadIrivoz::sendTag("b", plat::Value(2));
    Virtual::advanceBy(1);
    RadIrivoz::sendTags(plat::Value(plat::Dictionary{{"a", plat::Value("3")}, {"c", plat::Value(plat::Array{})}}),
                        [&](const std::optional<plat::Value>&) { ++answered; });
    Virtual::advanceBy(4.9);
    EXPECT_TRUE(sent("PUT", "players/player-1").empty());
    Virtual::advanceBy(0.2);
    Virtual::runUntilIdle();
    ASSERT_EQ(sent("PUT", "players/player-1").size(), 1u);
    const plat::Dictionary put = body(sent("PUT", "players/player-1").front());
    EXPECT_EQ(plat::Value(put)["tags"],
              plat::Value(plat::Dictionary{{"a", plat::Value("3")}, {"b", plat::Value(2)}, {"c", plat::Value(plat::Array{})}}));
    EXPECT_EQ(plat::Value(put)["app_id"], plat::Value(std::string(radirivoz_test::kAppId)));
    EXPECT_TRUE(put.contains("net_type"));
    EXPECT_EQ(answered, 2) << "each write with a block is answered once, from the one reply";
    Virtual::advanceBy(10);
    EXPECT_EQ(sent("PUT", "players/player-1").size(), 1u);
}

TEST_F(TagsTest, DeletionsAreSentAsEmptyTextsEvenForTagsOnlyWaitingLocally) {
    launch();
    RadIrivoz::sendTag("waiting", plat::Value("new"));
    RadIrivoz::deleteTag("waiting");
    RadIrivoz::deleteTagsWithJsonString(R"(["other"])");
    RadIrivoz::deleteTagsWithJsonString(R"({"third":1})");
    Virtual::advanceBy(5.1);
    Virtual::runUntilIdle();
    EXPECT_EQ(tagsSent(), plat::Value(plat::Dictionary{
                              {"waiting", plat::Value("")}, {"other", plat::Value("")}, {"third", plat::Value("")}}));
}

TEST_F(TagsTest, InvalidTagsAreDroppedWholeWithTheirWarnings) {
    launch();
    struct Case {
        std::function<void()> call;
        std::vector<const char*> warnings;
    };
    const Case cases[] = {
        {[] { RadIrivoz::sendTags(plat::Value(plat::Dictionary{{"n", plat::Value(plat::Dictionary{{"x", plat::Value(1)}})}})); },
         {"sendTags Tags JSON must not contain nested objects"}},
        {[] { RadIrivoz::sendTagsWithJsonString("{not json"); },
         {"sendTags JSON Parse Error: ", "sendTags JSON Parse Error, JSON: {not json"}},
        {[] { RadIrivoz::deleteTagsWithJsonString("[oops"); },
         {"deleteTags JSON Parse Error: ", "deleteTags JSON Parse Error, JSON: [oops"}},
        {[] { RadIrivoz::postNotificationWithJsonString("nope", nullptr, nullptr); },
         {"postNotification JSON Parse Error: ", "postNotification JSON Parse Error, JSON: nope"}},
    };
    for (const Case& c : cases) {
        c.call();
        for (const char* warning : c.warnings) {
            EXPECT_NE(console.nslog().find(warning), std::string::npos) << warning;
        }
    }
    Virtual::advanceBy(6);
    Virtual::runUntilIdle();
    EXPECT_TRUE(net->requests().empty());

    // Arrays are accepted whatever they hold.
    RadIrivoz::sendTags(plat::Value(plat::Dictionary{{"list", plat::Value(plat::Array{plat::Value(plat::Dictionary{})})}}));
    Virtual::advanceBy(5.1);
    Virtual::runUntilIdle();
    EXPECT_TRUE(tagsSent()["list"].isArray());
}

TEST_F(TagsTest, WithoutAPlayerNothingIsSentAndAnEmailPlayerWithoutItsHashIsLeftOut) {
    launch(false);
    RadIrivoz::sendTag("a", plat::Value("1"));
    Virtual::advanceBy(10);
    EXPECT_TRUE(net->requests().empty()) << "the tags wait for the registration";

    RadIrivoz::currentSubscriptionState()->setUserId(std::string("player-1"));
    auto email = RadIrivoz::currentEmailSubscriptionState();
    email->setEmailUserId(std::string("email-1"));
    email->setRequiresEmailAuth(true);
    RadIrivoz::sendTag("b", plat::Value("2"));
    Virtual::advanceBy(5.1);
    Virtual::runUntilIdle();
    EXPECT_EQ(tagsSent(), plat::Value(plat::Dictionary{{"a", plat::Value("1")}, {"b", plat::Value("2")}}));
    EXPECT_TRUE(sent("PUT", "players/email-1").empty());

    email->setEmailAuthCode(std::string("hash-1"));
    RadIrivoz::sendTag("c", plat::Value("3"));
    Virtual::advanceBy(5.1);
    Virtual::runUntilIdle();
    ASSERT_EQ(sent("PUT", "players/email-1").size(), 1u);
    EXPECT_EQ(plat::Value(body(sent("PUT", "players/email-1").front()))["email_auth_hash"], plat::Value("hash-1"));
}

TEST_F(TagsTest, RegistrationCarriesWaitingTagsAndThenAnswersTheLastWaitingRead) {
    launch(false);
    net->route("POST", apiURL("players"), plat::ScriptedReply::text(200, R"({"id":"player-1"})"));
    int writeAnswers = 0;
    RadIrivoz::sendTag("a", plat::Value("1"), [&](const std::optional<plat::Value>&) { ++writeAnswers; });
    std::vector<std::string> reads;
    RadIrivoz::getTags([&](const std::optional<plat::Value>&) { reads.push_back("first"); });
    RadIrivoz::getTags([&](const std::optional<plat::Value>& tags) {
        reads.push_back("second " + (tags ? tags->description() : std::string("none")));
    });
    RadIrivoz::registerUser();
    Virtual::runUntilIdle();
    ASSERT_EQ(sent("POST", "players").size(), 1u);
    EXPECT_EQ(plat::Value(body(sent("POST", "players").front()))["tags"],
              plat::Value(plat::Dictionary{{"a", plat::Value("1")}}));
    EXPECT_EQ(writeAnswers, 1);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads.front().rfind("second ", 0), 0u) << reads.front();
    Virtual::advanceBy(10);
    EXPECT_TRUE(sent("PUT", "players/player-1").empty()) << "the tags went with the registration";
}

TEST_F(TagsTest, ReadsAnswerTheTagsAndPostingSendsDatesAsText) {
    launch();
    std::optional<plat::Value> tags;
    RadIrivoz::getTags([&](const std::optional<plat::Value>& reply) { tags = reply; });
    Virtual::runUntilIdle();
    EXPECT_EQ(tags, plat::Value(plat::Dictionary{{"a", plat::Value("1")}}));

    std::optional<plat::Value> posted;
    // 2019-05-01 12:03:09 UTC.
    RadIrivoz::postNotification(plat::Dictionary{{"contents", plat::Value(plat::Dictionary{{"en", plat::Value("x")}})},
                                                 {"send_after", plat::Value(plat::Date(1556712189))}},
                                [&](const std::optional<plat::Value>& reply) { posted = reply; });
    Virtual::runUntilIdle();
    ASSERT_EQ(sent("POST", "notifications").size(), 1u);
    const plat::Value post(body(sent("POST", "notifications").front()));
    EXPECT_EQ(post["send_after"], plat::Value("2019-05-01T14:03:09+02:00"));
    EXPECT_EQ(post["app_id"], plat::Value(std::string(radirivoz_test::kAppId)));
    EXPECT_EQ(posted, plat::Value(plat::Dictionary{{"id", plat::Value("n-1")}}));
}

TEST(RadIrivozTagErrors, ErrorsRenderAsJsonText) {
    EXPECT_EQ(RadIrivoz::parseNSErrorAsJsonString(plat::Error("RadIrivozError", 400)),
              R"({"error": "HTTP no response error"})");
    EXPECT_EQ(RadIrivoz::parseNSErrorAsJsonString(plat::Error(
                  "RadIrivozError", 400, plat::Dictionary{{"returned", plat::Value(plat::Dictionary{{"errors", plat::Value(1)}})}})),
              R"({"errors":1})");
}

} // namespace

// ---- the e-mail player, on the same device set-up ----
namespace {

using EmailTest = TagsTest;

struct EmailAnswers {
    int successes = 0;
    std::vector<plat::Error> failures;
    std::function<void()> success() {
        return [this] { ++successes; };
    }
    RIFailureBlock failure() {
        return [this](const plat::Error& error) { failures.push_back(error); };
    }
};

TEST_F(EmailTest, SettingAnAddressCreatesTheEmailPlayerThenLinksThePushPlayer) {
    launch();
    net->route("POST", apiURL("players"), plat::ScriptedReply::text(200, R"({"id":"email-1"})"));
    EmailAnswers answers;
    RadIrivoz::setEmail("user@example.test", std::nullopt, answers.success(), answers.failure());
    Virtual::runUntilIdle();
    ASSERT_EQ(sent("POST", "players").size(), 1u);
    const plat::Value create(body(sent("POST", "players").front()));
    EXPECT_EQ(create["device_type"], plat::Value(11));
    EXPECT_EQ(create["identifier"], plat::Value("user@example.test"));
    EXPECT_EQ(create["device_player_id"], plat::Value("player-1"));
    ASSERT_EQ(sent("PUT", "players/player-1").size(), 1u);
    const plat::Value link(body(sent("PUT", "players/player-1").front()));
    EXPECT_EQ(link["parent_player_id"], plat::Value("email-1"));
    EXPECT_EQ(link["email"], plat::Value("user@example.test"));
    EXPECT_EQ(answers.successes, 1);
    EXPECT_EQ(RadIrivoz::currentEmailSubscriptionState()->emailUserId(), "email-1");

    // The same address again: answered at once, nothing sent. Another one: an update of the e-mail player,
    // after which that one counts as set.
    net->clearRequests();
    RadIrivoz::setEmail("user@example.test", std::nullopt, answers.success(), answers.failure());
    EXPECT_EQ(answers.successes, 2);
    RadIrivoz::setEmail("other@example.test", std::nullopt, answers.success(), answers.failure());
    Virtual::runUntilIdle();
    ASSERT_EQ(sent("PUT", "players/email-1").size(), 1u);
    EXPECT_EQ(plat::Value(body(sent("PUT", "players/email-1").front()))["identifier"], plat::Value("other@example.test"));
    EXPECT_EQ(answers.successes, 3);
    RadIrivoz::setEmail("other@example.test", std::nullopt, answers.success(), answers.failure());
    EXPECT_EQ(answers.successes, 4);
    EXPECT_EQ(sent("PUT", "players/email-1").size(), 1u);
    EXPECT_TRUE(answers.failures.empty());
}

TEST_F(EmailTest, BadInputIsAnsweredAtOnceAndAReplyWithoutIdIsAFailure) {
    launch();
    struct Case {
        const char* email;
        std::optional<std::string> hash;
        bool requiresAuth;
        const char* domain; // empty: accepted
    };
    const Case cases[] = {
        {"user@localhost", std::nullopt, false, "com.radirivoz"},
        {"no-at.example.test", std::nullopt, false, "com.radirivoz"},
        {"user@example.test", std::string(""), true, "com.radirivoz.email"},
        {"user@example.test", std::nullopt, true, "com.radirivoz.email"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.email);
        RadIrivoz::currentEmailSubscriptionState()->setRequiresEmailAuth(c.requiresAuth);
        EmailAnswers answers;
        RadIrivoz::setEmail(c.email, c.hash, answers.success(), answers.failure());
        ASSERT_EQ(answers.failures.size(), 1u);
        EXPECT_EQ(answers.failures.front().domain, c.domain);
    }
    EXPECT_NE(console.nslog().find("Invalid email (user@localhost) passed to setEmail"), std::string::npos);
    EXPECT_TRUE(RadIrivozHelper::isValidEmail("a@[10.0.0.1]"));
    EXPECT_TRUE(net->requests().empty());

    RadIrivoz::currentEmailSubscriptionState()->setRequiresEmailAuth(false);
    net->route("POST", apiURL("players"), plat::ScriptedReply::text(200, R"({"success":true})"));
    EmailAnswers answers;
    RadIrivoz::setEmail("user@example.test", std::nullopt, answers.success(), answers.failure());
    Virtual::runUntilIdle();
    EXPECT_EQ(answers.failures.size(), 1u);
    EXPECT_EQ(answers.successes, 0);
    EXPECT_NE(console.nslog().find("Missing RadIrivoz Email Player ID"), std::string::npos);
}

TEST_F(EmailTest, AParkedAddressIsSetAfterRegistrationAndLogoutWorksOnce) {
    launch(false);
    net->route("POST", apiURL("players"), [](const plat::ScriptedRequest& request) {
        const bool email = plat::Value(body(request))["device_type"] == plat::Value(11);
        return plat::ScriptedReply::text(200, email ? R"({"id":"email-1"})" : R"({"id":"player-1"})");
    });
    net->route("POST", apiURL("players/player-1/email_logout"), plat::ScriptedReply::text(200, "{}"));
    EmailAnswers answers;
    RadIrivoz::setEmail("user@example.test", std::nullopt, answers.success(), answers.failure());
    Virtual::runUntilIdle();
    EXPECT_TRUE(net->requests().empty()) << "parked until there is a push player";
    RadIrivoz::registerUser();
    Virtual::runUntilIdle();
    EXPECT_EQ(sent("POST", "players").size(), 2u);
    EXPECT_EQ(answers.successes, 1);
    EXPECT_EQ(defaults().string("RV_EMAIL_PLAYER_ID"), "email-1");

    RadIrivoz::logoutEmail(answers.success(), answers.failure());
    Virtual::runUntilIdle();
    ASSERT_EQ(sent("POST", "players/player-1/email_logout").size(), 1u);
    EXPECT_EQ(plat::Value(body(sent("POST", "players/player-1/email_logout").front()))["parent_player_id"],
              plat::Value("email-1"));
    EXPECT_EQ(answers.successes, 2);
    EXPECT_FALSE(defaults().object("RV_EMAIL_PLAYER_ID"));
    EXPECT_FALSE(RadIrivoz::currentEmailSubscriptionState()->emailUserId());

    RadIrivoz::logoutEmail(answers.success(), answers.failure());
    ASSERT_EQ(answers.failures.size(), 1u);
    EXPECT_NE(console.nslog().find("Email Player ID does not exist, cannot logout"), std::string::npos);
    EXPECT_EQ(sent("POST", "players/player-1/email_logout").size(), 1u);
}

} // namespace
