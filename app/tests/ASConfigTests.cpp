#include "app/ASConfigService.hpp"
#include "app/Strings.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

constexpr const char* kReadError = "\"ASConfigService :: readConfigFile :: dictionary error\"\n";

class ASConfigTest : public ::testing::Test {
protected:
    // A main bundle holding Config.json with `contents`, or none when `contents` is empty.
    void makeBundle(std::optional<std::string> contents) {
        bundle_.emplace(home_.root() + "/Portal.app",
                        plat::Dictionary{{"CFBundleIdentifier", "test.portal"}});
        if (contents)
            bundle_->add("Config.json", *contents);
        bundle_->makeMain();
    }
    std::string configPath() const { return bundle_->path() + "/Config.json"; }

    plat::test::TempAppHome home_;
    std::optional<plat::test::FixtureBundle> bundle_;
};

struct FileCase {
    const char* name;
    const char* contents;
    std::optional<std::string> baseURL;
    bool push;
    std::optional<std::string> homeHost;
    bool printsError;
};

void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

class ASConfigFileTest : public ASConfigTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(ASConfigFileTest, ParsesFileIntoSettings) {
    const FileCase& c = GetParam();
    makeBundle(std::string(c.contents));

    plat::sim::ConsoleCapture console;
    ASConfigService& service = ASConfigService::shared();

    ASSERT_NE(service.config(), nullptr);
    EXPECT_EQ(service.baseURL() ? std::optional(service.baseURL()->absoluteString()) : std::nullopt,
              c.baseURL);
    EXPECT_EQ(service.pushNotificationsEnabled(), std::optional(c.push))
        << "a parsed file never leaves it unset";
    EXPECT_EQ(service.baseUrlHomeHost(), c.homeHost);
    EXPECT_EQ(console.out(), c.printsError ? kReadError : "");
}

const FileCase kFileCases[] = {
    {"complete",
     R"({"base_url":"https://portal.example.test/rest","push_notifications_enabled":"true",)"
     R"("base_url_home_host":"portal.example.test"})",
     "https://portal.example.test/rest", true, "portal.example.test", false},
    {"unknown_keys_ignored", R"({"base_url":"https://a.example.test","theme":"dark"})",
     "https://a.example.test", false, std::nullopt, false},
    // One non-string member anywhere voids the whole file, not just that member.
    {"bool_value_voids_file", R"({"push_notifications_enabled":true})", std::nullopt, false, std::nullopt,
     false},
    {"number_beside_good_values_voids_file",
     R"({"base_url":"https://portal.example.test","base_url_home_host":"portal.example.test","retries":3})",
     std::nullopt, false, std::nullopt, false},
    {"null_value_voids_file", R"({"base_url":"https://portal.example.test","base_url_home_host":null})",
     std::nullopt, false, std::nullopt, false},
    {"array_top_level", R"(["https://portal.example.test"])", std::nullopt, false, std::nullopt, false},
    // The reader takes no bare fragments, so a lone string is a read error rather than another shape.
    {"string_top_level", R"("https://portal.example.test")", std::nullopt, false, std::nullopt, true},
    {"empty_object", "{}", std::nullopt, false, std::nullopt, false},
    {"not_json", "base_url=https://portal.example.test", std::nullopt, false, std::nullopt, true},
    {"truncated_json", R"({"base_url":"https://portal.exa)", std::nullopt, false, std::nullopt, true},
    {"empty_file", "", std::nullopt, false, std::nullopt, true},
    // Only the exact text "true" switches push on.
    {"push_upper_case", R"({"push_notifications_enabled":"TRUE"})", std::nullopt, false, std::nullopt, false},
    {"push_one", R"({"push_notifications_enabled":"1"})", std::nullopt, false, std::nullopt, false},
    {"push_padded", R"({"push_notifications_enabled":" true"})", std::nullopt, false, std::nullopt, false},
    {"push_false", R"({"push_notifications_enabled":"false"})", std::nullopt, false, std::nullopt, false},
    {"base_url_empty", R"({"base_url":""})", std::nullopt, false, std::nullopt, false},
    {"base_url_invalid", R"({"base_url":"https://portal example.test"})", std::nullopt, false, std::nullopt,
     false},
    // An empty home host is kept as text: the navigation policy tells it apart from none.
    {"home_host_empty", R"({"base_url_home_host":""})", std::nullopt, false, "", false},
};

INSTANTIATE_TEST_SUITE_P(Files, ASConfigFileTest, ::testing::ValuesIn(kFileCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ASConfigTest, MissingFileGivesDefaultsSilently) {
    makeBundle(std::nullopt);
    plat::sim::ConsoleCapture console;

    EXPECT_TRUE(ASConfigService::readConfigFile().empty());
    ASConfigService& service = ASConfigService::shared();
    EXPECT_FALSE(service.baseURL());
    EXPECT_EQ(service.pushNotificationsEnabled(), std::optional(false));
    EXPECT_FALSE(service.baseUrlHomeHost());
    EXPECT_EQ(console.out(), "");
}

TEST_F(ASConfigTest, NoMainBundleGivesDefaultsSilently) {
    plat::sim::ConsoleCapture console;
    EXPECT_TRUE(ASConfigService::readConfigFile().empty());
    EXPECT_EQ(console.out(), "");
}

TEST_F(ASConfigTest, UnreadableFilePrintsOnceAndGivesDefaults) {
    makeBundle(std::string(R"({"base_url":"https://portal.example.test"})"));
    plat::sim::Faults::fail("file.open", "Config.json", EACCES);
    plat::sim::ConsoleCapture console;

    ASConfigService& service = ASConfigService::shared();
    EXPECT_FALSE(service.baseURL());
    EXPECT_EQ(console.out(), kReadError);
}

TEST_F(ASConfigTest, ReadConfigFileReturnsTheMembers) {
    makeBundle(std::string(R"({"base_url":"https://portal.example.test","extra":"x"})"));
    EXPECT_EQ(ASConfigService::readConfigFile(),
              (ASConfigDictionary{{"base_url", "https://portal.example.test"}, {"extra", "x"}}));
}

TEST_F(ASConfigTest, SharedReadsTheFileOnlyOnce) {
    makeBundle(std::string(R"({"base_url":"https://portal.example.test"})"));
    ASConfigService& first = ASConfigService::shared();

    ASSERT_TRUE(plat::writeData(configPath(), plat::Data{'{', '}'}));
    ASConfigService& second = ASConfigService::shared();

    EXPECT_EQ(&first, &second);
    EXPECT_EQ(first.config(), second.config());
    ASSERT_TRUE(second.baseURL());
    EXPECT_EQ(second.baseURL()->absoluteString(), "https://portal.example.test");
}

TEST_F(ASConfigTest, BaseURLSetterReplacesTheFileValueForLaterReaders) {
    makeBundle(std::string(
        R"({"base_url":"https://portal.example.test","base_url_home_host":"portal.example.test"})"));
    ASConfigService& service = ASConfigService::shared();

    service.setBaseURL(plat::URL::parse("https://link.example.test/page"));
    EXPECT_EQ(ASConfigService::shared().config()->baseURL()->absoluteString(),
              "https://link.example.test/page");
    EXPECT_EQ(service.baseUrlHomeHost(), std::optional<std::string>("portal.example.test"));

    service.setBaseURL(std::nullopt);
    EXPECT_FALSE(ASConfigService::shared().baseURL());
}

TEST(ASConfigParserTest, ReadsEachKeyOnItsOwn) {
    ASConfigParser parser;
    auto only = [&](std::string key, std::string value) {
        return parser.parse(ASConfigDictionary{{std::move(key), std::move(value)}});
    };

    auto base = only("base_url", "https://portal.example.test");
    ASSERT_TRUE(base->baseURL());
    EXPECT_EQ(base->baseURL()->absoluteString(), "https://portal.example.test");
    EXPECT_EQ(base->pushNotificationsEnabled(), std::optional(false));
    EXPECT_FALSE(base->baseUrlHomeHost());

    auto push = only("push_notifications_enabled", "true");
    EXPECT_FALSE(push->baseURL());
    EXPECT_EQ(push->pushNotificationsEnabled(), std::optional(true));

    auto home = only("base_url_home_host", "portal.example.test");
    EXPECT_FALSE(home->baseURL());
    EXPECT_EQ(home->baseUrlHomeHost(), std::optional<std::string>("portal.example.test"));

    // Keys match exactly, with case.
    auto upper = only("BASE_URL", "https://portal.example.test");
    EXPECT_FALSE(upper->baseURL());
}

TEST(ASConfigParserTest, EachParseGivesANewModel) {
    ASConfigParser parser;
    ASConfigDictionary dictionary{{"base_url", "https://portal.example.test"}};
    auto a = parser.parse(dictionary);
    auto b = parser.parse(dictionary);
    ASSERT_NE(a, b);
    a->setBaseURL(std::nullopt);
    EXPECT_TRUE(b->baseURL());
}

} // namespace
