// Check-in records and their store: the keychain content, validity in virtual time, save, load with the
// older layouts, migration, removal and a reinstall that keeps the keychain.

#include "core/DVUUserDefaults.hpp"
#include "instance_id/DAVInstanceIDCheckinPreferences.hpp"
#include "instance_id/DAVInstanceIDCheckinStore.hpp"
#include "instance_id/DAVInstanceIDConstants.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "instance_id/tests/InstanceIDTestSupport.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Locale.hpp"
#include "platform/foundation/PreferenceStore.hpp"
#include "platform/security/Keychain.hpp"

#include <cerrno>

namespace {

class DAVInstanceIDCheckinStoreTest : public iid_test::InstanceIDDeviceTest {
protected:
    DAVInstanceIDCheckinStoreTest() {
        makeSubDirectory();
        plat::sim::LocaleSettings::setPreferredLanguages({"en-GB"});
    }
    ~DAVInstanceIDCheckinStoreTest() override { plat::sim::LocaleSettings::reset(); }

    static void makeSubDirectory() {
        ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(
            plat::AppHome::applicationSupport() + "/" + kDAVInstanceIDSubDirectoryName, true));
    }
    std::unique_ptr<DAVInstanceIDCheckinStore> newStore() {
        return std::make_unique<DAVInstanceIDCheckinStore>(kDAVInstanceIDCheckinFileName,
                                                           kDAVInstanceIDSubDirectoryName);
    }
    DAVInstanceIDCheckinPreferences checkin(const char* deviceID, const char* secret) {
        DAVInstanceIDCheckinPreferences preferences(deviceID, secret);
        preferences.setDigest("digest-1");
        preferences.setVersionInfo("version-1");
        preferences.setGServicesData(plat::Dictionary{{"gcm_secure", "1"}});
        preferences.setLastCheckinTimestampMillis(DAVInstanceIDNowMillisForTest());
        return preferences;
    }
    static std::int64_t DAVInstanceIDNowMillisForTest() {
        return static_cast<std::int64_t>(plat::Clock::now()) * 1000;
    }
    void putCheckinItem(const char* service, const char* account, std::string_view content) {
        DAVInstanceIDAuthKeychain keychain(kDAVInstanceIDCheckinKeychainGeneric);
        ASSERT_TRUE(keychain.setData(plat::Data(content.begin(), content.end()), service, std::nullopt, account,
                                     nullptr));
    }
    void writeCheckinPlist(const plat::Dictionary& contents) {
        DAVInstanceIDBackupExcludedPlist plist(kDAVInstanceIDCheckinFileName, kDAVInstanceIDSubDirectoryName);
        ASSERT_TRUE(plist.writeDictionary(contents, nullptr));
    }
    std::vector<std::string> checkinItems() {
        std::vector<std::string> out;
        for (const auto& item : plat::sim::Keychain::items()) {
            const auto& data = item.find(plat::kSecValueData)->asData();
            out.push_back(item.find(plat::kSecAttrService)->asString() + "/" +
                          item.find(plat::kSecAttrAccount)->asString() + "=" +
                          std::string(data.begin(), data.end()));
        }
        return out;
    }
};

TEST_F(DAVInstanceIDCheckinStoreTest, KeychainContentIsExactlyTwoNonEmptyParts) {
    struct Case {
        const char* content;
        std::optional<std::string> deviceID, secret;
        bool record;
    };
    const Case cases[] = {
        {"123|456", "123", "456", true},   {"123", std::nullopt, std::nullopt, false},
        {"1|2|3", std::nullopt, std::nullopt, false}, {"|456", "", "456", false},
        {"123|", "123", "", false},        {"", std::nullopt, std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        EXPECT_EQ(DAVInstanceIDCheckinPreferences::checkinDeviceIDFromKeychainContent(c.content), c.deviceID);
        EXPECT_EQ(DAVInstanceIDCheckinPreferences::checkinSecretFromKeychainContent(c.content), c.secret);
        const auto record = DAVInstanceIDCheckinPreferences::preferencesFromKeychainContents(c.content);
        EXPECT_EQ(record != nullptr, c.record);
        if (record) {
            EXPECT_EQ(record->checkinKeychainContent(), c.content);
        }
    }
    EXPECT_FALSE(DAVInstanceIDCheckinPreferences::checkinKeychainContent("1|2", 2));
    EXPECT_FALSE(DAVInstanceIDCheckinPreferences::checkinKeychainContent("1|2", -1));
}

TEST_F(DAVInstanceIDCheckinStoreTest, PlistContentsAndTheirUpdateTakeOnlyValuesOfTheRightType) {
    DAVInstanceIDCheckinPreferences bare("1", "2");
    EXPECT_EQ(bare.checkinPlistContents(),
              (plat::Dictionary{{kDAVInstanceIDCheckinLastCheckinTimestampKey, std::int64_t{0}},
                                {kDAVInstanceIDCheckinGServicesDataKey, plat::Dictionary{}}}));

    DAVInstanceIDCheckinPreferences preferences("1", "2");
    preferences.updateWithCheckinPlistContents({{kDAVInstanceIDCheckinDigestKey, "d"},
                                                {kDAVInstanceIDCheckinVersionInfoKey, "v"},
                                                {kDAVInstanceIDCheckinDeviceDataVersionKey, "dv"},
                                                {kDAVInstanceIDCheckinLastCheckinTimestampKey, std::int64_t{77}},
                                                {kDAVInstanceIDCheckinGServicesDataKey, plat::Dictionary{{"a", "b"}}},
                                                {kDAVInstanceIDCheckinOldDeviceIDKey, "9"}});
    EXPECT_EQ(preferences.deviceID(), "1");
    EXPECT_EQ(preferences.checkinPlistContents(),
              (plat::Dictionary{{kDAVInstanceIDCheckinDigestKey, "d"},
                                {kDAVInstanceIDCheckinVersionInfoKey, "v"},
                                {kDAVInstanceIDCheckinDeviceDataVersionKey, "dv"},
                                {kDAVInstanceIDCheckinLastCheckinTimestampKey, std::int64_t{77}},
                                {kDAVInstanceIDCheckinGServicesDataKey, plat::Dictionary{{"a", "b"}}}}));

    preferences.updateWithCheckinPlistContents({{kDAVInstanceIDCheckinDigestKey, 5},
                                                {kDAVInstanceIDCheckinLastCheckinTimestampKey, "77"},
                                                {kDAVInstanceIDCheckinGServicesDataKey, "x"}});
    EXPECT_EQ(preferences.digest(), "d");
    EXPECT_EQ(preferences.lastCheckinTimestampMillis(), 0);
    EXPECT_EQ(preferences.gServicesData(), plat::Dictionary{});

    preferences.setHasPreCachedAuthCredentials(true);
    preferences.reset();
    EXPECT_FALSE(preferences.hasCheckinInfo());
    EXPECT_FALSE(preferences.digest());
    EXPECT_EQ(preferences.lastCheckinTimestampMillis(), 0);
    EXPECT_TRUE(preferences.hasPreCachedAuthCredentials());
}

TEST_F(DAVInstanceIDCheckinStoreTest, ValidityFollowsAgeAndLocale) {
    plat::Virtual::advanceBy(400 * 86400.0);
    auto& defaults = DVUUserDefaults::standardUserDefaults();
    DAVInstanceIDCheckinPreferences preferences = checkin("1", "2");
    preferences.setLastCheckinTimestampMillis(DAVInstanceIDNowMillisForTest() - 365 * 86400 * std::int64_t{1000});
    // No stored locale yet: valid whatever its age, and the locale is stored.
    EXPECT_TRUE(preferences.hasValidCheckinInfo());
    EXPECT_EQ(DAVInstanceIDUserDefaultsString(kDAVInstanceIDUserDefaultsKeyLocale), "en-GB");
    EXPECT_FALSE(preferences.hasValidCheckinInfo());

    struct Case {
        std::int64_t ageSeconds;
        bool valid;
    };
    for (const Case c : {Case{0, true}, Case{604799, true}, Case{604800, false}, Case{604801, false}}) {
        preferences.setLastCheckinTimestampMillis(DAVInstanceIDNowMillisForTest() - c.ageSeconds * 1000);
        EXPECT_EQ(preferences.hasValidCheckinInfo(), c.valid) << c.ageSeconds;
    }
    // Time moving on ages a fresh check-in past the limit.
    preferences.setLastCheckinTimestampMillis(DAVInstanceIDNowMillisForTest());
    plat::Virtual::advanceBy(604799.5);
    EXPECT_TRUE(preferences.hasValidCheckinInfo());
    plat::Virtual::advanceBy(0.5);
    EXPECT_FALSE(preferences.hasValidCheckinInfo());

    // A changed locale answers NO once, then the age decides again.
    preferences.setLastCheckinTimestampMillis(DAVInstanceIDNowMillisForTest());
    plat::sim::LocaleSettings::setPreferredLanguages({"de-DE"});
    EXPECT_FALSE(preferences.hasValidCheckinInfo());
    EXPECT_EQ(DAVInstanceIDUserDefaultsString(kDAVInstanceIDUserDefaultsKeyLocale), "de-DE");
    EXPECT_TRUE(preferences.hasValidCheckinInfo());

    // Without credentials nothing is valid; with no locale stored it is stored and the answer is NO.
    defaults.removeObjectForKey(kDAVInstanceIDUserDefaultsKeyLocale);
    DAVInstanceIDCheckinPreferences empty("1", "");
    EXPECT_FALSE(empty.hasValidCheckinInfo());
    EXPECT_EQ(DAVInstanceIDUserDefaultsString(kDAVInstanceIDUserDefaultsKeyLocale), "de-DE");
    EXPECT_FALSE(empty.hasValidCheckinInfo());
}

TEST_F(DAVInstanceIDCheckinStoreTest, SaveAndLoadRoundTrip) {
    auto store = newStore();
    EXPECT_FALSE(store->cachedCheckinPreferences());
    EXPECT_FALSE(store->hasCheckinPlist());
    DAVInstanceIDErrorSlot error;
    ASSERT_TRUE(store->saveCheckinPreferences(checkin("111", "222"), &error));
    EXPECT_TRUE(store->hasCheckinPlist());
    EXPECT_EQ(checkinItems(), (std::vector<std::string>{"com.razoza.iid.checkin/com.example.portal=111|222"}));
    const auto items = plat::sim::Keychain::items();
    EXPECT_EQ(items[0].find(plat::kSecAttrGeneric)->asString(), "com.razoza.iid");
    EXPECT_EQ(items[0].find(plat::kSecAttrAccessible)->asString(), plat::kSecAttrAccessibleAlwaysThisDeviceOnly);

    const auto loaded = newStore()->cachedCheckinPreferences();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->deviceID(), "111");
    EXPECT_EQ(loaded->secretToken(), "222");
    EXPECT_EQ(loaded->digest(), "digest-1");
    EXPECT_EQ(loaded->versionInfo(), "version-1");
    EXPECT_EQ(loaded->gServicesData(), (plat::Dictionary{{"gcm_secure", "1"}}));
    EXPECT_EQ(loaded->lastCheckinTimestampMillis(), DAVInstanceIDNowMillisForTest());
    EXPECT_FALSE(loaded->hasPreCachedAuthCredentials());

    // A record without a secret has no keychain content and is not saved.
    logged();
    EXPECT_FALSE(store->saveCheckinPreferences(DAVInstanceIDCheckinPreferences("333", ""), &error));
    EXPECT_TRUE(loggedCode(8000));

    EXPECT_TRUE(store->removeCheckinPreferencesWithError(&error));
    EXPECT_TRUE(checkinItems().empty());
    EXPECT_FALSE(store->hasCheckinPlist());
    EXPECT_FALSE(store->cachedCheckinPreferences());
    EXPECT_TRUE(store->removeCheckinPreferencesWithError(&error)); // nothing left counts as removed
}

TEST_F(DAVInstanceIDCheckinStoreTest, AFailedPlistWriteRemovesOnlyCredentialsThisSaveWrote) {
    auto store = newStore();
    DAVInstanceIDErrorSlot error;
    plat::sim::Faults::fail("file.write", kDAVInstanceIDCheckinFileName, ENOSPC);
    logged();
    EXPECT_FALSE(store->saveCheckinPreferences(checkin("111", "222"), &error));
    EXPECT_TRUE(loggedCode(8003));
    EXPECT_TRUE(checkinItems().empty());

    ASSERT_TRUE(store->saveCheckinPreferences(checkin("111", "222"), &error));
    auto again = checkin("111", "222");
    again.setHasPreCachedAuthCredentials(true);
    again.setDigest("digest-2");
    plat::sim::Faults::fail("file.xattr", kDAVInstanceIDCheckinFileName, EIO);
    EXPECT_FALSE(store->saveCheckinPreferences(again, &error));
    EXPECT_EQ(checkinItems(), (std::vector<std::string>{"com.razoza.iid.checkin/com.example.portal=111|222"}));

    // A failed keychain write stops the save before the plist.
    plat::sim::Faults::fail("keychain.add", kDAVInstanceIDCheckinKeychainService, plat::errSecInteractionNotAllowed);
    EXPECT_FALSE(store->saveCheckinPreferences(checkin("444", "555"), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, plat::errSecInteractionNotAllowed);
    EXPECT_TRUE(loggedCode(8002));
}

TEST_F(DAVInstanceIDCheckinStoreTest, LoadAcceptsTheOlderPlistLayout) {
    const plat::Dictionary five{{kDAVInstanceIDCheckinOldDeviceIDKey, "old-id"},
                                {kDAVInstanceIDCheckinOldSecretTokenKey, "old-secret"},
                                {kDAVInstanceIDCheckinDigestKey, "d"},
                                {kDAVInstanceIDCheckinLastCheckinTimestampKey, std::int64_t{5}},
                                {kDAVInstanceIDCheckinGServicesDataKey, plat::Dictionary{{"k", "v"}}}};
    plat::Dictionary six = five;
    six.set(kDAVInstanceIDCheckinVersionInfoKey, "v");
    plat::Dictionary seven = six;
    seven.set(kDAVInstanceIDCheckinDeviceDataVersionKey, "dv");

    // Without a keychain item the plist's credentials make the record.
    writeCheckinPlist(five);
    auto fromPlist = newStore()->cachedCheckinPreferences();
    ASSERT_TRUE(fromPlist);
    EXPECT_EQ(fromPlist->deviceID(), "old-id");
    EXPECT_EQ(fromPlist->digest(), "d");
    EXPECT_EQ(fromPlist->gServicesData(), (plat::Dictionary{{"k", "v"}}));

    putCheckinItem(kDAVInstanceIDCheckinKeychainService, iid_test::kBundleID, "kc-id|kc-secret");
    struct Case {
        const plat::Dictionary* plist;
        const char* deviceID;
    };
    for (const Case c : {Case{&five, "kc-id"}, Case{&six, "old-id"}, Case{&seven, "kc-id"}}) {
        writeCheckinPlist(*c.plist);
        const auto loaded = newStore()->cachedCheckinPreferences();
        ASSERT_TRUE(loaded);
        EXPECT_EQ(loaded->deviceID(), c.deviceID) << c.plist->size();
        EXPECT_EQ(loaded->lastCheckinTimestampMillis(), 5);
    }

    // Malformed keychain content counts as missing; without plist credentials there is no record.
    putCheckinItem(kDAVInstanceIDCheckinKeychainService, iid_test::kBundleID, "a|b|c");
    writeCheckinPlist({{kDAVInstanceIDCheckinDigestKey, "d"}});
    EXPECT_FALSE(newStore()->cachedCheckinPreferences());
}

TEST_F(DAVInstanceIDCheckinStoreTest, CredentialsMoveFromTheOlderKeychainItem) {
    putCheckinItem(kDAVInstanceIDLegacyCheckinKeychainService, kDAVInstanceIDLegacyCheckinKeychainAccount, "7|8");
    auto store = newStore();
    // The write under the new name fails: the older item must stay so nothing is lost.
    plat::sim::Faults::fail("keychain.add", kDAVInstanceIDCheckinKeychainService, plat::errSecInteractionNotAllowed);
    logged();
    EXPECT_FALSE(store->migrateCheckinItemIfNeeded());
    EXPECT_TRUE(loggedCode(8008));
    EXPECT_EQ(checkinItems(),
              (std::vector<std::string>{"com.razoza.iid.checkin-service/com.razoza.iid.checkin-account=7|8"}));

    const auto loaded = store->cachedCheckinPreferences();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->deviceID(), "7");
    EXPECT_EQ(loaded->secretToken(), "8");
    EXPECT_TRUE(loggedCode(8007));
    EXPECT_EQ(checkinItems(), (std::vector<std::string>{"com.razoza.iid.checkin/com.example.portal=7|8"}));
    EXPECT_FALSE(store->migrateCheckinItemIfNeeded());
}

TEST_F(DAVInstanceIDCheckinStoreTest, AFailedKeychainRemovalKeepsThePlistAndReportsTheStatus) {
    ASSERT_TRUE(newStore()->saveCheckinPreferences(checkin("1", "2"), nullptr));
    auto store = newStore();
    plat::sim::Faults::fail("keychain.delete", kDAVInstanceIDCheckinKeychainService,
                            plat::errSecInteractionNotAllowed);
    logged();
    DAVInstanceIDErrorSlot error;
    EXPECT_FALSE(store->removeCheckinPreferencesWithError(&error));
    EXPECT_TRUE(loggedCode(8005));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, plat::errSecInteractionNotAllowed);
    EXPECT_TRUE(store->hasCheckinPlist());
    EXPECT_EQ(checkinItems().size(), 1u);
}

TEST_F(DAVInstanceIDCheckinStoreTest, AReinstallFindsTheCredentialsInTheKeychainWithoutThePlist) {
    ASSERT_TRUE(newStore()->saveCheckinPreferences(checkin("111", "222"), nullptr));
    EXPECT_TRUE(checkin("111", "222").hasValidCheckinInfo()); // stores the locale

    std::filesystem::remove_all(plat::AppHome::path());
    ASSERT_TRUE(plat::AppHome::createFolders());
    plat::sim::Preferences::wipe();
    makeSubDirectory();

    auto store = newStore();
    EXPECT_FALSE(store->hasCheckinPlist());
    EXPECT_FALSE(DVUUserDefaults::standardUserDefaults().objectForKey(kDAVInstanceIDUserDefaultsKeyLocale));
    const auto loaded = store->cachedCheckinPreferences();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->deviceID(), "111");
    EXPECT_EQ(loaded->secretToken(), "222");
    EXPECT_EQ(loaded->lastCheckinTimestampMillis(), 0);
    EXPECT_FALSE(loaded->digest());
}

} // namespace
