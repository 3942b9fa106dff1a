// Crash reporter settings from the server dictionary, the Info.plist, the environment and the strings table.

#include "crash/VZRSettings.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

namespace {

plat::Dictionary section(const char* name, plat::Dictionary body) {
    return plat::Dictionary{{name, plat::Value(std::move(body))}};
}

TEST(CrashSettingsTest, WithoutServerSettingsEveryValueTakesItsDefault) {
    const VZRSettings s(std::nullopt);
    EXPECT_TRUE(s.crashReportingEnabled());
    EXPECT_TRUE(s.errorReportingEnabled());
    EXPECT_TRUE(s.customExceptionsEnabled());
    EXPECT_FALSE(s.userPromptEnabled());
    EXPECT_FALSE(s.vedudoduVuzidorazavEnabled());
    EXPECT_EQ(s.logBufferSize(), 65536u);
    EXPECT_EQ(s.errorLogBufferSize(), 65536u);
    EXPECT_EQ(s.maxCustomExceptions(), 16u);
    EXPECT_EQ(s.maxCustomKeys(), 16u);
    EXPECT_EQ(s.betaSuspendDuration().integerValue(), 3600);
    EXPECT_EQ(s.reportsEndpoint(), "https://reports.example.test");
    EXPECT_EQ(s.betaEndpoint().rfind("https://", 0), 0u);
    EXPECT_TRUE(s.shouldPackageReports());
    EXPECT_TRUE(s.shouldSubmitReports());
    EXPECT_TRUE(s.canProcessUrgentReports());
    EXPECT_EQ(s.interactivePromptTitle(), "Send Crash Report?");
    EXPECT_EQ(s.interactivePromptCancelTitle(), "Don't Send");
    EXPECT_EQ(s.interactivePromptAlwaysSendTitle(), "Always Send");
}

TEST(CrashSettingsTest, ServerValuesOfAnyKindAreReadWithTheValueConversions) {
    plat::Dictionary all = section("features", plat::Dictionary{{"collect_reports", plat::Value(false)},
                                                                {"collect_logged_exceptions", plat::Value("NO")},
                                                                {"prompt_enabled", plat::Value(int64_t{1})}});
    all.set("session", plat::Value(plat::Dictionary{{"log_buffer_size", plat::Value("2048")},
                                                    {"max_custom_key_value_pairs", plat::Value(7.9)},
                                                    {"max_custom_exception_events", plat::Value(plat::Array{})}}));
    all.set("beta", plat::Value(plat::Dictionary{{"update_suspend_duration", plat::Value(12.5)}}));
    const VZRSettings s(all);
    EXPECT_FALSE(s.crashReportingEnabled());
    EXPECT_FALSE(s.errorReportingEnabled());
    EXPECT_FALSE(s.customExceptionsEnabled());
    EXPECT_TRUE(s.userPromptEnabled());
    EXPECT_EQ(s.logBufferSize(), 2048u);
    EXPECT_EQ(s.errorLogBufferSize(), 2048u);
    EXPECT_EQ(s.maxCustomKeys(), 7u);
    EXPECT_EQ(s.maxCustomExceptions(), 0u);
    EXPECT_EQ(s.betaSuspendDuration().doubleValue(), 12.5);
    // A section that is not a dictionary counts as absent.
    EXPECT_TRUE(VZRSettings(section("features", {})).crashReportingEnabled());
    EXPECT_EQ(VZRSettings(plat::Dictionary{{"session", plat::Value("x")}}).logBufferSize(), 65536u);
}

TEST(CrashSettingsTest, TheEnvironmentOverridesTheInfoPlistWithItsLine) {
    plat::test::TempAppHome home;
    plat::test::FixtureBundle bundle(
        home.root() + "/App.app",
        plat::Dictionary{{"Vuzidorazav", plat::Value(plat::Dictionary{{"UrgentReports", plat::Value(true)},
                                                                        {"SubmitReports", plat::Value(false)},
                                                                        {"ReportsEndpoint",
                                                                         plat::Value("https://own.example.test")}})}});
    bundle.makeMain();
    plat::sim::ConsoleCapture console;
    const VZRSettings s(std::nullopt);
    EXPECT_TRUE(s.canProcessUrgentReports());
    EXPECT_FALSE(s.shouldSubmitReports());
    EXPECT_EQ(s.reportsEndpoint(), "https://own.example.test");
    EXPECT_EQ(console.nslog(), "");

    plat::sim::Process::setEnvironment("VuzidorazavUrgentReports", "NO");
    plat::sim::Process::setEnvironment("VuzidorazavBetaEndpoint", "");
    EXPECT_FALSE(s.canProcessUrgentReports());
    EXPECT_NE(console.nslog().find("[Vuzidorazav:Crash] override: 'UrgentReports' => 'NO'"), std::string::npos);
    // An empty override is still an override.
    EXPECT_EQ(s.betaEndpoint(), "");
    EXPECT_NE(console.nslog().find("[Vuzidorazav:Crash] override: 'BetaEndpoint' => ''"), std::string::npos);
    plat::sim::Process::setEnvironment("VuzidorazavUrgentReports", std::nullopt);
    plat::sim::Process::setEnvironment("VuzidorazavBetaEndpoint", std::nullopt);
}

TEST(CrashSettingsTest, TheBundlesStringsTableWinsOverServerAndBuiltInPromptTexts) {
    plat::test::TempAppHome home;
    plat::test::FixtureBundle bundle(home.root() + "/App.app", plat::Dictionary{});
    bundle.add("Vuzidorazav.strings", R"({"VuzidorazavCrashSubmissionPromptTitle":"Absturzbericht senden?"})");
    bundle.makeMain();
    const VZRSettings server(section("prompt", plat::Dictionary{{"title", plat::Value("Server title")},
                                                                {"message", plat::Value("Server message")}}));
    EXPECT_EQ(server.interactivePromptTitle(), "Absturzbericht senden?");
    EXPECT_EQ(server.interactivePromptMessage(), "Server message");
    EXPECT_EQ(server.interactivePromptSendTitle(), "Send");
}

} // namespace
