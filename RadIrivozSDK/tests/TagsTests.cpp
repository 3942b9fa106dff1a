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
