// Reading a remote notification's user info in both of the push service's layouts.

#include "RadIrivozSDK/Source/RINotificationPayload.hpp"

#include "platform/foundation/Json.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

plat::Dictionary parse(const std::string& json) {
    auto value = plat::JSONSerialization::jsonObject(json);
    if (!value || !value->isDictionary()) {
        ADD_FAILURE() << "bad fixture " << json;
        return {};
    }
    return value->asDictionary();
}

RINotificationPayload payload(const std::string& json) {
    return RINotificationPayload(parse(json));
}

plat::Value field(const plat::Dictionary& d, std::string_view key) {
    const plat::Value* v = d.find(key);
    return v ? *v : plat::Value();
}

std::string opt(const std::optional<std::string>& s) {
    return s.value_or("<none>");
}

TEST(RINotificationPayload, NoUserInfoGivesNoPayload) {
    EXPECT_EQ(RINotificationPayload::parseWithApns(std::nullopt), nullptr);
}

TEST(RINotificationPayload, CustomLayoutReadsItsFieldsAndTheApsDictionary) {
    auto p = payload(R"({"aps": {"alert": {"title": "T", "subtitle": "S", "body": "B"}, "badge": 3,
                                 "sound": "ding", "content-available": 0, "thread-id": "th", "category": "c"},
                         "custom": {"i": "id-1", "u": "https://example.test/x", "ti": "t1", "tn": "tmpl",
                                    "badge_inc": 2, "a": {"targetUrl": "https://portal.example.test/"}}})");
    EXPECT_EQ(opt(p.notificationID()), "id-1");
    EXPECT_EQ(opt(p.launchURL()), "https://example.test/x");
    EXPECT_EQ(opt(p.templateID()), "t1");
    EXPECT_EQ(opt(p.templateName()), "tmpl");
    EXPECT_EQ(p.badgeIncrement(), 2);
    EXPECT_EQ(opt(p.title()), "T");
    EXPECT_EQ(opt(p.subtitle()), "S");
    EXPECT_EQ(opt(p.body()), "B");
    EXPECT_EQ(p.badge(), 3u);
    EXPECT_EQ(opt(p.sound()), "ding");
    EXPECT_TRUE(p.contentAvailable()) << "presence decides, not the value";
    EXPECT_FALSE(p.mutableContent());
    EXPECT_EQ(opt(p.threadId()), "th");
    EXPECT_EQ(opt(p.category()), "c");
    ASSERT_TRUE(p.additionalData());
    EXPECT_EQ(field(*p.additionalData(), "targetUrl").stringValue(), "https://portal.example.test/");
    ASSERT_TRUE(p.actionButtons());
    EXPECT_TRUE(p.actionButtons()->empty()) << "the custom layout always has a list";
}

struct LayoutCase {
    const char* name;
    const char* json;
    const char* id;
    const char* body;
    const char* title;
    uint64_t badge;
};

void PrintTo(const LayoutCase& c, std::ostream* os) {
    *os << c.name;
}

class PayloadLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(PayloadLayoutTest, ReadsIdMessageAndBadge) {
    const LayoutCase& c = GetParam();
    auto p = payload(c.json);
    EXPECT_EQ(opt(p.notificationID()), c.id);
    EXPECT_EQ(opt(p.body()), c.body);
    EXPECT_EQ(opt(p.title()), c.title);
    EXPECT_EQ(p.badge(), c.badge);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PayloadLayoutTest,
    ::testing::Values(
        LayoutCase{"OsDataWinsOverCustom",
                   R"({"aps": {"alert": "A"}, "os_data": {"i": "os"}, "custom": {"i": "c"}})", "os", "A",
                   "<none>", 0},
        LayoutCase{"OsDataThatIsNoDictionaryFallsBackToCustom",
                   R"({"aps": {"alert": "A"}, "os_data": "x", "custom": {"i": "c"}})", "c", "A", "<none>", 0},
        LayoutCase{"CustomSilentFormTakesTheMessageFromM",
                   R"({"m": {"title": "MT", "body": "MB"}, "b": 5, "aps": {"sound": "s", "badge": 9},
                       "custom": {"i": "c"}})",
                   "c", "MB", "MT", 5},
        LayoutCase{"AnApsAlertWinsOverM",
                   R"({"m": "ignored", "aps": {"alert": "A", "badge": 1}, "custom": {"i": "c"}})", "c", "A",
                   "<none>", 1},
        LayoutCase{"OsDataSilentFormReadsTheButtonsDictionary",
                   R"({"os_data": {"i": "os", "buttons": {"m": "from buttons", "b": 4}}})", "os",
                   "from buttons", "<none>", 4},
        LayoutCase{"NoApsBadgeIsZero", R"({"aps": {"alert": "A"}, "custom": {"i": "c"}})", "c", "A", "<none>",
                   0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RINotificationPayload, ButtonsWithoutATextAreDroppedAndTheIdDefaultsToTheText) {
    auto p = payload(R"({"aps": {"alert": "A"}, "custom": {"i": "c"},
                         "buttons": [{"n": "only text"}, {"i": "only id"}, {"n": "Open", "i": "open-id"}]})");
    ASSERT_TRUE(p.actionButtons());
    ASSERT_EQ(p.actionButtons()->size(), 2u);
    EXPECT_EQ((*p.actionButtons())[0]["text"].stringValue(), "only text");
    EXPECT_EQ((*p.actionButtons())[0]["id"].stringValue(), "only text");
    EXPECT_EQ((*p.actionButtons())[1]["text"].stringValue(), "Open");
    EXPECT_EQ((*p.actionButtons())[1]["id"].stringValue(), "open-id");
}

TEST(RINotificationPayload, OsDataButtonSourcesInOrderAndNoneWithoutAny) {
    EXPECT_EQ(payload(R"({"aps": {"alert": "A"}, "os_data": {"i": "o", "buttons": [{"n": "x"}]}})")
                  .actionButtons()
                  ->size(),
              1u);
    EXPECT_EQ(
        payload(
            R"({"aps": {"alert": "A"}, "os_data": {"i": "o", "buttons": {"o": [{"n": "x"}, {"n": "y"}]}}})")
            .actionButtons()
            ->size(),
        2u);
    EXPECT_EQ(payload(R"({"aps": {"alert": "A"}, "os_data": {"i": "o"}, "actionbuttons": [{"n": "x"}]})")
                  .actionButtons()
                  ->size(),
              1u);
    EXPECT_FALSE(payload(R"({"aps": {"alert": "A"}, "os_data": {"i": "o"}})").actionButtons());
}

TEST(RINotificationPayload, OsDataAdditionalDataIsEveryOtherTopLevelKey) {
    auto p =
        payload(R"({"aps": {"alert": "A"}, "os_data": {"i": "o"}, "targetUrl": "https://x.test/", "n": 1})");
    ASSERT_TRUE(p.additionalData());
    EXPECT_EQ(p.additionalData()->keys(), (std::vector<std::string>{"targetUrl", "n"}));
}

TEST(RINotificationPayload, ActionSelectedJoinsTheCustomAdditionalData) {
    auto alone = payload(R"({"aps": {"alert": "A"}, "custom": {"i": "c"}, "actionSelected": "b1"})");
    ASSERT_TRUE(alone.additionalData());
    EXPECT_EQ(alone.additionalData()->keys(), std::vector<std::string>{"actionSelected"});

    auto merged =
        payload(R"({"aps": {"alert": "A"}, "custom": {"i": "c", "a": {"k": 1, "actionSelected": "old"}},
                              "actionSelected": "b2"})");
    ASSERT_TRUE(merged.additionalData());
    EXPECT_EQ(field(*merged.additionalData(), "actionSelected").stringValue(), "b2");
    EXPECT_EQ(field(*merged.additionalData(), "k").integerValue(), 1);
}

} // namespace
