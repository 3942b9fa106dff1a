#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/Locale.hpp"
#include "platform/foundation/Mime.hpp"
#include "platform/foundation/ProcessInfo.hpp"

#include <gtest/gtest.h>

#include <set>
#include <unistd.h>

using namespace plat;

namespace {

TEST(ProcessInfoTest, ArgumentsAndEnvironmentCanBeInjected) {
    auto& info = ProcessInfo::processInfo();
    EXPECT_FALSE(info.arguments().empty()); // the real command line by default
    sim::Process::setArguments({"portal-app", "--home", "/h"});
    EXPECT_EQ(info.arguments(), (std::vector<std::string>{"portal-app", "--home", "/h"}));

    ::setenv("PLAT_TEST_REAL", "real", 1);
    EXPECT_EQ(info.environmentValue("PLAT_TEST_REAL"), "real");
    sim::Process::setEnvironment("PLAT_TEST_REAL", std::nullopt);
    sim::Process::setEnvironment("PLAT_TEST_ONLY_OVERLAY", "o");
    EXPECT_EQ(info.environmentValue("PLAT_TEST_REAL"), std::nullopt);
    auto env = info.environment();
    EXPECT_EQ(env.count("PLAT_TEST_REAL"), 0u);
    EXPECT_EQ(env.at("PLAT_TEST_ONLY_OVERLAY"), "o");
    sim::Process::clearEnvironmentOverlay();
    EXPECT_EQ(info.environmentValue("PLAT_TEST_REAL"), "real");
}

TEST(ProcessInfoTest, IdentityAndMachineFacts) {
    auto& info = ProcessInfo::processInfo();
    EXPECT_EQ(info.processIdentifier(), ::getpid());
    info.setProcessName("portal-app");
    EXPECT_EQ(info.processName(), "portal-app");
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i)
        seen.insert(info.globallyUniqueString());
    EXPECT_EQ(seen.size(), 20u);
    EXPECT_NE(seen.begin()->find("-" + std::to_string(::getpid()) + "-"), std::string::npos);
    EXPECT_GE(info.processorCount(), 1u);
    EXPECT_GT(info.physicalMemory(), 0u);
    double before = info.systemUptime();
    Virtual::advanceBy(5);
    EXPECT_DOUBLE_EQ(info.systemUptime(), before + 5);
}

TEST(ProcessInfoTest, OperatingSystemVersionDefaultsTo124AndIsConfigurable) {
    auto& info = ProcessInfo::processInfo();
    EXPECT_EQ(info.operatingSystemVersion(), (OperatingSystemVersion{12, 4, 0}));
    EXPECT_TRUE(info.isOperatingSystemAtLeast({10, 0, 0}));
    EXPECT_TRUE(info.isOperatingSystemAtLeast({12, 4, 0}));
    EXPECT_FALSE(info.isOperatingSystemAtLeast({12, 4, 1}));
    sim::Process::setOperatingSystemVersion(*OperatingSystemVersion::parse("9.3.5"));
    EXPECT_FALSE(info.isOperatingSystemAtLeast({10, 0, 0}));
    EXPECT_EQ(info.operatingSystemVersionString(), "Version 9.3.5");
    EXPECT_EQ(OperatingSystemVersion::parse("10"), (OperatingSystemVersion{10, 0, 0}));
    for (const char* bad : {"", "1.", ".1", "1.2.3.4", "a.b", "1.-2"})
        EXPECT_FALSE(OperatingSystemVersion::parse(bad)) << bad;
}

TEST(ProcessInfoTest, ActivitiesAreRecorded) {
    auto& info = ProcessInfo::processInfo();
    auto token = info.beginActivity(0x00FFFFFF, "upload");
    info.endActivity(token);
    auto activities = sim::Process::activities();
    ASSERT_EQ(activities.size(), 1u);
    EXPECT_EQ(activities[0].options, 0x00FFFFFFu);
    EXPECT_EQ(activities[0].reason, "upload");
    EXPECT_TRUE(activities[0].ended);
}

TEST(LocaleTest, PreferredLanguagesFromTheEnvironment) {
    struct Case {
        std::optional<std::string> language, lcAll, lang;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, "de_DE.UTF-8", {"de-DE"}},
        {std::nullopt, "fr_CA.UTF-8@euro", "de_DE.UTF-8", {"fr-CA"}},
        {"pt_BR:en", std::nullopt, "pt_BR.UTF-8", {"pt-BR", "en"}},
        {"pt_BR:en", std::nullopt, "C", {"en-US"}}, // LANGUAGE does not apply under the C locale
        {std::nullopt, std::nullopt, std::nullopt, {"en-US"}},
        {std::nullopt, std::nullopt, "POSIX", {"en-US"}},
    };
    for (const auto& c : cases) {
        sim::Process::setEnvironment("LANGUAGE", c.language);
        sim::Process::setEnvironment("LC_ALL", c.lcAll);
        sim::Process::setEnvironment("LANG", c.lang);
        EXPECT_EQ(Locale::preferredLanguages(), c.expected) << c.lang.value_or("-");
    }
    sim::LocaleSettings::setPreferredLanguages({"ja-JP"});
    EXPECT_EQ(Locale::preferredLanguages(), std::vector<std::string>{"ja-JP"});
}

TEST(LocaleTest, CurrentLocaleAndItsParts) {
    sim::Process::setEnvironment("LC_ALL", std::nullopt);
    sim::Process::setEnvironment("LANG", "de_DE.UTF-8");
    Locale de = Locale::current();
    EXPECT_EQ(de.identifier(), "de_DE");
    EXPECT_EQ(de.languageCode(), "de");
    EXPECT_EQ(de.countryCode(), "DE");
    EXPECT_EQ(de.currencyCode(), "EUR");
    sim::Process::setEnvironment("LANG", "C");
    EXPECT_EQ(Locale::current().identifier(), "en_US_POSIX");
    sim::Process::setEnvironment("LANG", std::nullopt);
    EXPECT_EQ(Locale::current().identifier(), "en_US");
    EXPECT_EQ(Locale("zh_Hans_CN").countryCode(), "CN");
    EXPECT_EQ(Locale("en").countryCode(), std::nullopt);
    EXPECT_EQ(Locale("en").currencyCode(), std::nullopt);
    sim::LocaleSettings::setCurrentIdentifier("ja_JP");
    EXPECT_EQ(Locale::current().currencyCode(), "JPY");
}

TEST(MimeTest, BothDirections) {
    const std::pair<const char*, const char*> table[] = {
        {"json", "application/json"},
        {"png", "image/png"},
        {"JPG", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},
        {"txt", "text/plain"},
        {"html", "text/html"},
        {"xml", "application/xml"},
        {"pdf", "application/pdf"},
        {"zip", "application/zip"},
        {"mp4", "video/mp4"},
        {"mp3", "audio/mpeg"},
        {"wav", "audio/vnd.wave"},
        {"m4a", "audio/x-m4a"},
        {"aiff", "audio/aiff"},
        {"xyz", "application/octet-stream"},
        {"", "application/octet-stream"},
    };
    for (const auto& [ext, type] : table)
        EXPECT_EQ(Mime::typeForExtension(ext), type) << ext;
    EXPECT_EQ(Mime::extensionForType("image/jpeg"), "jpeg");
    EXPECT_EQ(Mime::extensionForType("Application/JSON; charset=utf-8"), "json");
    EXPECT_EQ(Mime::extensionForType("audio/x-wav"), "wav");
    EXPECT_EQ(Mime::extensionForType("application/octet-stream"), std::nullopt);
}

} // namespace
