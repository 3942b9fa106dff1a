// Reading a remote notification's user info in both of the push service's layouts.

#include "RadIrivozSDK/Source/RINotificationPayload.hpp"

#include "RadIrivozSDK/Source/RINotification.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "platform/foundation/Json.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <random>
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

TEST(RINotificationPayload, ButtonListsAndTheLayoutChoice) {
    struct Case {
        const char* json;
        const char* buttons; // the parsed list as JSON, "none" when absent
    };
    const Case cases[] = {
        {R"({"aps":{"alert":"x"},"custom":{"i":"c"},"buttons":[{"n":"A"},{"i":"x"},{"n":"C","i":"c"}]})",
         R"([{"text":"A","id":"A"},{"text":"C","id":"c"}])"},
        {R"({"aps":{"alert":"x"},"custom":{"i":"c"}})", "[]"},
        {R"({"aps":{"alert":"x"},"os_data":{"i":"c"}})", "none"},
        // A string under "os_data" is no os_data layout: the custom layout reads it, buttons and all.
        {R"({"aps":{"alert":"x"},"os_data":"str","custom":{"i":"c"},"buttons":[{"n":"B"}]})",
         R"([{"text":"B","id":"B"}])"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        auto p = payload(c.json);
        if (std::string(c.buttons) == "none") {
            EXPECT_FALSE(p.actionButtons());
            continue;
        }
        ASSERT_TRUE(p.actionButtons());
        EXPECT_EQ(plat::Value(*p.actionButtons()), *plat::JSONSerialization::jsonObject(c.buttons));
    }
    EXPECT_EQ(opt(payload(R"({"aps":{"alert":"x"},"os_data":"str","custom":{"i":"c"}})").notificationID()), "c");
}

TEST(RINotificationPayload, ValuesOfAnotherTypeReadAsAbsentAndNeverThrow) {
    // Every read position holding a value of the wrong type.
    const char* cases[] = {
        R"({"aps":"x","custom":{"i":"c"}})",
        R"({"aps":{"alert":7},"custom":"x"})",
        R"({"aps":{"alert":["a"]},"custom":{"i":1,"a":"x","u":[]}})",
        R"({"aps":{"alert":{"body":1,"title":{}}},"custom":{"i":"c"},"buttons":"x","att":[1]})",
        R"({"aps":{"alert":"x"},"custom":{"i":"c"},"buttons":[1,"n",null,{"n":"ok"}]})",
        R"({"m":5,"o":{"n":"x"},"custom":{"i":"c"}})",
        R"({"os_data":{"i":"o","buttons":"x"}})",
        R"({"os_data":{"i":"o","buttons":{"m":{"body":2},"o":"x"}},"aps":{}})",
        R"({"aps":{"alert":"x"},"os_data":{"i":"o","buttons":5},"actionbuttons":{"n":"x"}})",
    };
    for (const char* json : cases) {
        SCOPED_TRACE(json);
        EXPECT_NO_THROW({
            auto p = payload(json);
            (void)p;
        });
    }
    auto typed = payload(R"({"aps":{"alert":{"body":1,"title":{}}},"custom":{"i":1,"a":"x"},"att":[1]})");
    EXPECT_FALSE(typed.body());
    EXPECT_FALSE(typed.title());
    EXPECT_FALSE(typed.notificationID());
    EXPECT_FALSE(typed.additionalData());
    EXPECT_FALSE(typed.attachments());
    auto mixed = payload(R"({"aps":{"alert":"x"},"custom":{"i":"c"},"buttons":[1,"n",null,{"n":"ok"}]})");
    ASSERT_TRUE(mixed.actionButtons());
    EXPECT_EQ(mixed.actionButtons()->size(), 1u);
}

TEST(RINotificationPayload, CountsComeFromNumbersBooleansAndNumericStringsAndStayInRange) {
    struct Case {
        const char* badge;
        uint64_t expected;
    };
    const Case cases[] = {
        {"3", 3},          {"\"12\"", 12},  {"true", 1},           {"\"x\"", 0},
        {"[1]", 0},        {"-5", 0},         {"4294967297", 2147483647}, {"1e300", 2147483647},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.badge);
        const std::string badge = c.badge;
        EXPECT_EQ(payload(R"({"aps":{"alert":"x","badge":)" + badge + R"(},"custom":{"i":"c"}})").badge(), c.expected);
        EXPECT_EQ(payload(R"({"m":"x","b":)" + badge + R"(,"custom":{"i":"c"}})").badge(), c.expected);
    }
    EXPECT_EQ(payload(R"({"aps":{"alert":"x"},"custom":{"i":"c","badge_inc":"-2"}})").badgeIncrement(), -2);
    EXPECT_EQ(payload(R"({"aps":{"alert":"x"},"custom":{"i":"c","badge_inc":{}}})").badgeIncrement(), 0);
}

// Random payload-shaped values: the push service's keys at every depth, with values of every type.
plat::Value randomPayloadValue(std::mt19937& random, int depth) {
    static const char* const kKeys[] = {"aps",    "alert", "custom", "a",      "os_data", "buttons", "o",
                                        "m",      "i",     "n",      "u",      "badge",   "b",       "att",
                                        "at",     "s",     "title",  "body",   "sound",   "actionbuttons",
                                        "actionSelected",  "content-available", "mutable-content", "badge_inc"};
    switch (depth > 3 ? random() % 5 : random() % 7) {
    case 0:
        return plat::Value();
    case 1:
        return plat::Value(static_cast<int64_t>(random()) - (1LL << 31));
    case 2:
        return plat::Value(random() % 2 == 0);
    case 3:
        return plat::Value(std::to_string(random() % 100));
    case 4:
        return plat::Value(static_cast<double>(random()) * 1e10);
    case 5: {
        plat::Array items;
        for (uint32_t n = random() % 4; n > 0; --n) {
            items.push_back(randomPayloadValue(random, depth + 1));
        }
        return plat::Value(std::move(items));
    }
    default: {
        plat::Dictionary entries;
        for (uint32_t n = random() % 6; n > 0; --n) {
            entries.set(kKeys[random() % std::size(kKeys)], randomPayloadValue(random, depth + 1));
        }
        return plat::Value(std::move(entries));
    }
    }
}

TEST(RINotificationPayload, FuzzedPayloadsParseNormaliseAndStringify) {
    std::mt19937 random(20261211);
    for (int round = 0; round < 3000; ++round) {
        plat::Value value = randomPayloadValue(random, 0);
        if (!value.isDictionary()) {
            continue;
        }
        const plat::Dictionary& userInfo = value.asDictionary();
        SCOPED_TRACE(value.description());
        ASSERT_NO_THROW({
            auto parsed = RINotificationPayload::parseWithApns(userInfo);
            RINotification notification(parsed, RIInFocusDisplayType::RIInFocusDisplayNotification);
            const std::string json = notification.stringify();
            ASSERT_TRUE(plat::JSONSerialization::jsonObject(json).ok()) << json;
            auto normalised = RadIrivozHelper::formatApsPayloadIntoStandard(userInfo, std::string("act"));
            if (normalised) {
                RINotificationPayload again(*normalised);
                (void)again;
            }
            (void)RadIrivozHelper::isRemoteSilentNotification(userInfo);
            (void)RadIrivozHelper::isRadIrivozPayload(userInfo);
        });
    }
}

} // namespace
