// The logger's line form, the error values and the shared helpers over the simulated device.

#include "instance_id/DAVInstanceIDConstants.hpp"
#include "instance_id/DAVInstanceIDErrors.hpp"
#include "instance_id/DAVInstanceIDLogger.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "instance_id/tests/InstanceIDTestSupport.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/Locale.hpp"
#include "core/DVUUserDefaults.hpp"

namespace {

class DAVInstanceIDUtilitiesTest : public iid_test::InstanceIDDeviceTest {};

TEST_F(DAVInstanceIDUtilitiesTest, LoggerWritesCodeServiceAndMessageAtEachLevel) {
    EXPECT_EQ(DAVInstanceIDLogger::formatMessageCode(9000), "I-IID009000");
    EXPECT_EQ(DAVInstanceIDLogger::formatMessageCode(20000), "I-IID020000");
    auto& logger = DAVInstanceIDSharedLogger();
    EXPECT_EQ(&logger, &DAVInstanceIDSharedLogger());
    logger.logFuncError("someFunction", 9001, "Error removing keypair status: %d", -25300);
    logger.logFuncWarning("someFunction", 9003, "w");
    logger.logFuncNotice("someFunction", 1, "n");
    logger.logFuncInfo("someFunction", 2, "i");
    logger.logFuncDebug("someFunction", 3, "d %@", std::string("x"));
    const auto lines = logged();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[0].find("[Vedudodu/InstanceID][I-IID009001] Error removing keypair status: -25300"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[4].find("[I-IID000003] d x"), std::string::npos);
    for (const auto& line : lines) {
        EXPECT_EQ(line.find("someFunction"), std::string::npos) << line;
    }
    const auto records = log.records();
    ASSERT_EQ(records.size(), 0u); // cleared by logged()

    // Below the logger's level nothing is written.
    DAVLoggerChangeLevel(5);
    logger.logFuncDebug("f", 3, "hidden");
    logger.logFuncInfo("f", 3, "hidden");
    EXPECT_TRUE(logged().empty());
}

TEST_F(DAVInstanceIDUtilitiesTest, ErrorsCarryTheClientDomainAndCode) {
    const plat::Error missing = DAVInstanceIDErrorMissingCheckin();
    EXPECT_EQ(missing.domain, "com.vedudodu.iid");
    EXPECT_EQ(instanceIDErrorCode(missing), 501);
    ASSERT_TRUE(missing.userInfoValue("msg"));
    EXPECT_EQ(missing.userInfoValue("msg")->asString(), "Missing device credentials. Retry later.");
    const plat::Error plain = errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeMissingKeyPair);
    EXPECT_TRUE(plain.is("com.vedudodu.iid", 2001));
    EXPECT_TRUE(plain.userInfo.empty());
}

TEST_F(DAVInstanceIDUtilitiesTest, AppFactsVersionsAndTime) {
    EXPECT_EQ(DAVInstanceIDAppIdentifier(), iid_test::kBundleID);
    EXPECT_EQ(DAVInstanceIDAppVersion(), "4.2");
    EXPECT_EQ(DAVInstanceIDLibraryVersion(), "3.3.0");
    EXPECT_EQ(DAVInstanceIDRegisterURL(), "https://iid.example.test/iid/register");
    EXPECT_FALSE(DAVInstanceIDMessagingClientVersion());
    ASSERT_TRUE(DAVInstanceIDDeviceModel());
    EXPECT_FALSE(DAVInstanceIDDeviceModel()->empty());
    EXPECT_FALSE(DAVInstanceIDSystemVersion().empty());
    EXPECT_FALSE(DAVInstanceIDDefaultVedudoduAppID()); // the bundle has no options file

    plat::Virtual::advanceBy(0.75);
    const double now = plat::Clock::now();
    EXPECT_EQ(DAVInstanceIDNowSeconds(), static_cast<std::int64_t>(now));
    EXPECT_EQ(DAVInstanceIDNowMilliseconds(), static_cast<std::int64_t>(now) * 1000);
    EXPECT_EQ(DAVInstanceIDNowMilliseconds() % 1000, 0);
}

TEST_F(DAVInstanceIDUtilitiesTest, AnEmptyBundleIdentifierIsLoggedEachTimeAndGivesTheEmptyString) {
    bundle.emplace(home.root() + "/NoID.app", plat::Dictionary{});
    bundle->makeMain();
    logged();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(DAVInstanceIDAppIdentifier(), "");
        EXPECT_TRUE(loggedCode(18000));
    }
    EXPECT_EQ(DAVInstanceIDAppVersion(), "");
}

TEST_F(DAVInstanceIDUtilitiesTest, LocaleComesFromPreferredLanguagesAndChangesAgainstTheStoredOne) {
    plat::sim::LocaleSettings::setPreferredLanguages({"de-DE", "en"});
    EXPECT_EQ(DAVInstanceIDCurrentLocale(), "de-DE");
    EXPECT_TRUE(DAVInstanceIDLocaleDidChange()); // nothing stored
    auto& defaults = DVUUserDefaults::standardUserDefaults();
    // A stored value of another kind is no locale: it counts as a change, never as text.
    defaults.setObject(plat::Value(std::int64_t{7}), kDAVInstanceIDUserDefaultsKeyLocale);
    EXPECT_TRUE(DAVInstanceIDLocaleDidChange());
    defaults.setObject(plat::Value("de-DE"), kDAVInstanceIDUserDefaultsKeyLocale);
    EXPECT_FALSE(DAVInstanceIDLocaleDidChange());
    plat::sim::LocaleSettings::setPreferredLanguages({"fr-FR"});
    EXPECT_TRUE(DAVInstanceIDLocaleDidChange());
    // The check only reads the stored locale.
    EXPECT_EQ(defaults.objectForKey(kDAVInstanceIDUserDefaultsKeyLocale), plat::Value("de-DE"));
    plat::sim::LocaleSettings::reset();
}

TEST_F(DAVInstanceIDUtilitiesTest, TextFormsOfScopesBytesTokensAndDigests) {
    for (const char* scope : {"vcm", "VCM", "vCm"}) {
        EXPECT_TRUE(DAVInstanceIDIsMessagingScope(scope)) << scope;
    }
    for (const char* scope : {"*", "vcm ", "vc", "vcmx", ""}) {
        EXPECT_FALSE(DAVInstanceIDIsMessagingScope(scope)) << scope;
    }
    const plat::Data token{0x00, 0xab, 0x10, 0xff};
    EXPECT_EQ(DAVInstanceIDHexString(token), "00ab10ff");
    EXPECT_EQ(DAVInstanceIDAPNSTokenString(token, true), "s_00ab10ff");
    EXPECT_EQ(DAVInstanceIDAPNSTokenString(token, false), "p_00ab10ff");
    EXPECT_FALSE(DAVInstanceIDAPNSTokenString(std::nullopt, true));
    EXPECT_EQ(DAVInstanceIDHexString(DAVInstanceIDSHA1(plat::Data{'a', 'b', 'c'})),
              "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST_F(DAVInstanceIDUtilitiesTest, FormEncodingKeepsTheOrderAndEscapesWhatTheServerWouldMisread) {
    EXPECT_EQ(DAVInstanceIDFormEncode({}), "");
    EXPECT_EQ(DAVInstanceIDFormEncode({{"sender", "123"}, {"X-scope", "*"}, {"app", "com.example.portal"},
                                       {"X-subtype", "a/b:c"}}),
              "sender=123&X-scope=*&app=com.example.portal&X-subtype=a/b:c");
    // "+" would read as a space, "&" and "=" would split the form, a space is not allowed raw.
    EXPECT_EQ(DAVInstanceIDFormEncode({{"k+y", "a+b&c=d e"}}), "k%2By=a%2Bb%26c%3Dd%20e");
}

} // namespace
