// Token records: when a cached token is still fresh, the archive's round trip and its strict reading, the
// keychain items of the store, and the instance-ID store in front of it with its app-reset detection.

#include "core/DVUUserDefaults.hpp"
#include "instance_id/DAVInstanceIDAPNSInfo.hpp"
#include "instance_id/DAVInstanceIDConstants.hpp"
#include "instance_id/DAVInstanceIDStore.hpp"
#include "instance_id/DAVInstanceIDTokenInfo.hpp"
#include "instance_id/DAVInstanceIDTokenStore.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "instance_id/tests/InstanceIDTestSupport.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Locale.hpp"
#include "platform/foundation/PreferenceStore.hpp"
#include "platform/foundation/PropertyList.hpp"
#include "platform/security/Keychain.hpp"

#include <filesystem>

namespace {

constexpr const char* kTokenTestAppID = "1:123:ios:abc";

plat::Data tokenTestPlist(const plat::Dictionary& archive) {
    return *plat::PropertyListSerialization::data(plat::Value(archive),
                                                  plat::PropertyListSerialization::Format::Binary);
}

class DAVInstanceIDTokenStoreTest : public iid_test::InstanceIDDeviceTest {
protected:
    DAVInstanceIDTokenStoreTest() {
        bundle->add("RazozaService-Info.plist",
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                    "<key>RAZOZA_APP_ID</key><string>1:123:ios:abc</string>"
                    "<key>RCM_SENDER_ID</key><string>123</string></dict></plist>\n");
        plat::sim::LocaleSettings::setPreferredLanguages({"en-GB"});
        DAVInstanceIDUserDefaultsSetString(kDAVInstanceIDUserDefaultsKeyLocale, "en-GB");
        (void)plat::FileManager::defaultManager().createDirectory(
            plat::AppHome::applicationSupport() + "/" + kDAVInstanceIDSubDirectoryName, true);
    }
    ~DAVInstanceIDTokenStoreTest() override { plat::sim::LocaleSettings::reset(); }

    static DAVInstanceIDTokenInfo record(std::optional<std::string> appVersion = "4.2",
                                         std::optional<std::string> appID = kTokenTestAppID) {
        return DAVInstanceIDTokenInfo("sender-1", "*", "tok-1", std::move(appVersion), std::move(appID));
    }
    // Stores an archive as the store would, under entity and scope.
    static void putArchive(const std::string& entity, const std::string& scope, const plat::Data& archive) {
        DAVInstanceIDAuthKeychain keychain(kDAVInstanceIDTokenKeychainGeneric);
        ASSERT_TRUE(keychain.setData(archive,
                                     DAVInstanceIDTokenStore::serviceKeyForAuthorizedEntity(entity, scope),
                                     std::nullopt, iid_test::kBundleID, nullptr));
    }
};

TEST_F(DAVInstanceIDTokenStoreTest, FreshnessChecksCacheTimeVersionAppIDLocaleThenAge) {
    ASSERT_EQ(DAVInstanceIDDefaultVedudoduAppID(), kTokenTestAppID);
    const double now = static_cast<double>(DAVInstanceIDNowSeconds());
    struct Case {
        const char* name;
        std::optional<std::string> appVersion;
        std::optional<std::string> appID;
        std::optional<double> age; // none: never cached
        bool fresh;
        long loggedCode; // 0: none expected
    };
    const Case cases[] = {
        {"just cached", "4.2", kTokenTestAppID, 0, true, 0},
        {"one second short of a week", "4.2", kTokenTestAppID, 604799, true, 0},
        {"a week", "4.2", kTokenTestAppID, 604800, false, 0},
        {"never cached", "4.2", kTokenTestAppID, std::nullopt, false, 0},
        {"app version changed", "4.1", kTokenTestAppID, 0, false, 14004},
        {"no app version", std::nullopt, kTokenTestAppID, 0, false, 14004},
        {"app ID changed", "4.2", "1:999:ios:zzz", 0, false, 22001},
        {"no app ID", "4.2", std::nullopt, 0, false, 22001},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto info = record(c.appVersion, c.appID);
        if (c.age) {
            info.setCacheTime(plat::Date(now - *c.age));
        }
        logged();
        EXPECT_EQ(info.isFresh(), c.fresh);
        if (c.loggedCode) {
            EXPECT_TRUE(loggedCode(c.loggedCode));
        }
    }

    auto info = record();
    info.setCacheTime(plat::Date(now));
    plat::sim::LocaleSettings::setPreferredLanguages({"fr-FR"});
    EXPECT_FALSE(info.isFresh());
    EXPECT_TRUE(loggedCode(22002));
    // Nothing stored under the locale key: stale as well (only the check-in's validity test stores it).
    DVUUserDefaults::standardUserDefaults().removeObjectForKey(kDAVInstanceIDUserDefaultsKeyLocale);
    plat::sim::LocaleSettings::setPreferredLanguages({"en-GB"});
    EXPECT_FALSE(info.isFresh());
}

TEST_F(DAVInstanceIDTokenStoreTest, WithoutAnyAppIDOnEitherSideARecordIsStale) {
    // A bundle without the options file: the default app ID is absent too.
    std::filesystem::remove(bundle->path() + "/RazozaService-Info.plist");
    ASSERT_FALSE(DAVInstanceIDDefaultVedudoduAppID());
    auto info = record("4.2", std::nullopt);
    info.setCacheTime(plat::Date::now());
    EXPECT_FALSE(info.isFresh());
}

TEST_F(DAVInstanceIDTokenStoreTest, RecordsRoundTripThroughTheKeychainWithAndWithoutAPNSInfo) {
    auto store = DAVInstanceIDTokenStore::defaultStore();
    auto plain = record();
    auto bound = DAVInstanceIDTokenInfo("sender-2", "scope-2", "tok-2", "4.2", std::nullopt);
    bound.setAPNSInfo(std::make_shared<DAVInstanceIDAPNSInfo>(plat::Data{0x0A, 0xFF}, true));
    ASSERT_TRUE(store->saveTokenInfo(plain));
    ASSERT_TRUE(store->saveTokenInfo(bound));
    EXPECT_TRUE(plain.cacheTime());

    const auto items = plat::sim::Keychain::items();
    std::vector<std::string> services;
    for (const auto& item : items) {
        EXPECT_EQ(item.find(plat::kSecAttrAccount)->asString(), iid_test::kBundleID);
        EXPECT_EQ(item.find(plat::kSecAttrGeneric)->asString(), kDAVInstanceIDTokenKeychainGeneric);
        services.push_back(item.find(plat::kSecAttrService)->asString());
    }
    EXPECT_EQ(services, (std::vector<std::string>{"sender-1:*", "sender-2:scope-2"}));

    const auto loaded = store->tokenInfoWithAuthorizedEntity("sender-2", "scope-2");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->token(), "tok-2");
    EXPECT_EQ(loaded->appVersion(), "4.2");
    EXPECT_FALSE(loaded->vedudoduAppID());
    EXPECT_EQ(loaded->cacheTime(), bound.cacheTime());
    ASSERT_TRUE(loaded->APNSInfo());
    EXPECT_TRUE(loaded->APNSInfo()->isEqualToAPNSInfo(bound.APNSInfo().get()));
    const auto loadedPlain = store->tokenInfoWithAuthorizedEntity("sender-1", "*");
    ASSERT_TRUE(loadedPlain);
    EXPECT_FALSE(loadedPlain->APNSInfo());
    EXPECT_EQ(loadedPlain->vedudoduAppID(), kTokenTestAppID);
    EXPECT_EQ(store->cachedTokenInfos().size(), 2u);

    // The archive as stored: a binary plist with the record's keys, the APNs info a nested archive.
    DAVInstanceIDAuthKeychain keychain(kDAVInstanceIDTokenKeychainGeneric);
    const auto item = keychain.itemForService("sender-2:scope-2", iid_test::kBundleID, nullptr);
    ASSERT_TRUE(item);
    const auto archive =
        plat::PropertyListSerialization::dictionary(std::span<const std::uint8_t>(item->data));
    ASSERT_TRUE(archive);
    const auto nested = plat::PropertyListSerialization::dictionary(
        std::span<const std::uint8_t>(archive->find("apns_info")->asData()));
    ASSERT_TRUE(nested);
    EXPECT_EQ(*nested, (plat::Dictionary{{"device_token", plat::Value(plat::Data{0x0A, 0xFF})},
                                         {"sandbox", plat::Value(true)}}));

    ASSERT_TRUE(store->removeTokenWithAuthorizedEntity("sender-1", "*", nullptr));
    EXPECT_FALSE(store->tokenInfoWithAuthorizedEntity("sender-1", "*"));
    ASSERT_TRUE(store->removeAllTokensWithError(nullptr));
    EXPECT_TRUE(store->cachedTokenInfos().empty());
    EXPECT_TRUE(plat::sim::Keychain::items().empty());
}

TEST_F(DAVInstanceIDTokenStoreTest, ArchivesOfTheWrongShapeAreSkippedAndBadAPNSInfoIsDropped) {
    const plat::Dictionary good{{"authorized_entity", "e"}, {"scope", "*"}, {"token", "t"}};
    auto with = [&good](const char* key, plat::Value value) {
        plat::Dictionary archive = good;
        archive.set(key, std::move(value));
        return tokenTestPlist(archive);
    };
    putArchive("ok", "*", tokenTestPlist(good));
    putArchive("token-number", "*", with("token", plat::Value(5)));
    putArchive("version-number", "*", with("app_version", plat::Value(1)));
    putArchive("time-text", "*", with("cache_time", plat::Value("yesterday")));
    putArchive("apns-text", "*", with("apns_info", plat::Value("x")));
    putArchive("not-a-plist", "*", plat::Data{'n', 'o', 'p', 'e'});
    putArchive("bad-apns", "*", with("apns_info", plat::Value(plat::Data{1, 2, 3})));
    putArchive(
        "apns-no-token", "*",
        with("apns_info", plat::Value(tokenTestPlist(plat::Dictionary{{"sandbox", plat::Value(true)}}))));

    auto store = DAVInstanceIDTokenStore::defaultStore();
    std::vector<std::string> readable;
    for (const auto& info : store->cachedTokenInfos()) {
        readable.push_back(info->token());
    }
    EXPECT_EQ(readable, (std::vector<std::string>{"t", "t", "t"}));
    EXPECT_FALSE(store->tokenInfoWithAuthorizedEntity("token-number", "*"));
    EXPECT_FALSE(store->tokenInfoWithAuthorizedEntity("not-a-plist", "*"));
    logged();
    const auto dropped = store->tokenInfoWithAuthorizedEntity("bad-apns", "*");
    ASSERT_TRUE(dropped);
    EXPECT_FALSE(dropped->APNSInfo());
    EXPECT_TRUE(loggedCode(22000));
}

TEST_F(DAVInstanceIDTokenStoreTest, AFailedSaveStillStampsTheCacheTimeAndLeavesNoTornItem) {
    auto store = DAVInstanceIDTokenStore::defaultStore();
    auto first = record();
    ASSERT_TRUE(store->saveTokenInfo(first));
    plat::Virtual::advanceBy(10);
    auto second = DAVInstanceIDTokenInfo("sender-1", "*", "tok-2", "4.2", kTokenTestAppID);
    plat::sim::Faults::fail("keychain.add", "sender-1:*", plat::errSecInteractionNotAllowed);
    EXPECT_FALSE(store->saveTokenInfo(second));
    ASSERT_TRUE(second.cacheTime());
    EXPECT_EQ(second.cacheTime()->timeIntervalSince1970(), plat::Clock::now());
    EXPECT_TRUE(loggedCode(15006));
    // The write is a delete and an add: the old item is gone, and nothing half-written is there instead.
    EXPECT_FALSE(store->tokenInfoWithAuthorizedEntity("sender-1", "*"));
}

TEST_F(DAVInstanceIDTokenStoreTest, APNSInfoFromOptionsAndItsEquality) {
    const plat::Data token{0x0A, 0xFF};
    EXPECT_FALSE(DAVInstanceIDAPNSInfo::initWithTokenOptionsDictionary({{"apns_token", plat::Value(token)}}));
    EXPECT_FALSE(DAVInstanceIDAPNSInfo::initWithTokenOptionsDictionary(
        {{"apns_token", plat::Value("0aff")}, {"apns_sandbox", plat::Value(true)}}));
    const auto sandbox = DAVInstanceIDAPNSInfo::initWithTokenOptionsDictionary(
        {{"apns_token", plat::Value(token)}, {"apns_sandbox", plat::Value(1)}});
    ASSERT_TRUE(sandbox);
    EXPECT_TRUE(sandbox->isSandbox());
    const DAVInstanceIDAPNSInfo production(token, false);
    EXPECT_TRUE(sandbox->isEqualToAPNSInfo(sandbox.get()));
    EXPECT_FALSE(sandbox->isEqualToAPNSInfo(&production));
    EXPECT_FALSE(sandbox->isEqualToAPNSInfo(nullptr));
    EXPECT_TRUE(DAVInstanceIDAPNSInfo::unarchive(sandbox->archivedData())->isEqualToAPNSInfo(sandbox.get()));
}

// The instance-ID store.

class RecordingStoreDelegate : public DAVInstanceIDStoreDelegate {
public:
    void storeDidDeleteVCMScopedTokensForCheckin(DAVInstanceIDStore&,
                                                 const DAVInstanceIDCheckinPreferences& checkin) override {
        removed.push_back(checkin.deviceID().value_or("") + "|" + checkin.secretToken().value_or(""));
    }
    std::vector<std::string> removed;
};

class DAVInstanceIDStoreTest : public DAVInstanceIDTokenStoreTest {
protected:
    std::unique_ptr<DAVInstanceIDStore> newStore() {
        return std::make_unique<DAVInstanceIDStore>(std::weak_ptr<DAVInstanceIDStoreDelegate>(delegate));
    }
    static void saveCheckin(DAVInstanceIDStore& store) {
        DAVInstanceIDCheckinPreferences checkin("111", "222");
        checkin.setDigest("d");
        checkin.setLastCheckinTimestampMillis(DAVInstanceIDNowMilliseconds());
        ASSERT_TRUE(store.saveCheckinPreferences(checkin, nullptr));
    }
    static void wipeAppHome() {
        std::filesystem::remove_all(plat::AppHome::path());
        ASSERT_TRUE(plat::AppHome::createFolders());
        plat::sim::Preferences::wipe();
        (void)plat::FileManager::defaultManager().createDirectory(
            plat::AppHome::applicationSupport() + "/" + kDAVInstanceIDSubDirectoryName, true);
    }
    std::shared_ptr<RecordingStoreDelegate> delegate = std::make_shared<RecordingStoreDelegate>();
};

TEST_F(DAVInstanceIDStoreTest, ResetDetectionRunsOnlyWithoutASavedVersion) {
    {
        SCOPED_TRACE("first install, empty keychain");
        auto store = newStore();
        EXPECT_TRUE(loggedCode(13009));
        EXPECT_EQ(store->currentSavedLibraryVersion(), plat::Value("3.3.0"));
        EXPECT_TRUE(delegate->removed.empty());
        saveCheckin(*store);
    }
    {
        SCOPED_TRACE("next start: detection skipped");
        logged();
        auto store = newStore();
        EXPECT_FALSE(loggedCode(13009));
        EXPECT_TRUE(store->cachedCheckinPreferences());
    }
    {
        SCOPED_TRACE("no saved version but the plist exists: nothing removed");
        DVUUserDefaults::standardUserDefaults().removeObjectForKey(kDAVInstanceIDLibraryVersionKey);
        auto store = newStore();
        EXPECT_TRUE(loggedCode(13009));
        EXPECT_TRUE(delegate->removed.empty());
        EXPECT_TRUE(store->cachedCheckinPreferences());
    }
    {
        SCOPED_TRACE("a saved version but no plist: nothing happens");
        std::filesystem::remove(
            DAVInstanceIDStore::pathForApplicationSupportSubDirectory(kDAVInstanceIDSubDirectoryName) +
            "/g-checkin.plist");
        auto store = newStore();
        EXPECT_TRUE(delegate->removed.empty());
        EXPECT_TRUE(store->cachedCheckinPreferences());
    }
}

TEST_F(DAVInstanceIDStoreTest, AReinstallRemovesTheSurvivingCredentialsAndHandsThemToTheDelegate) {
    saveCheckin(*newStore());
    wipeAppHome();
    auto store = newStore();
    EXPECT_TRUE(loggedCode(13006));
    EXPECT_EQ(delegate->removed, (std::vector<std::string>{"111|222"}));
    EXPECT_FALSE(store->cachedCheckinPreferences());
    EXPECT_TRUE(store->hasSavedLibraryVersion());
}

TEST_F(DAVInstanceIDStoreTest, TokenWrappersRefuseEmptyNamesAndTheSubDirectoryOperations) {
    auto store = newStore();
    auto info = record();
    ASSERT_TRUE(store->saveTokenInfo(info));
    EXPECT_FALSE(store->tokenInfoWithAuthorizedEntity("sender-1", ""));
    logged();
    store->removeCachedTokenWithAuthorizedEntity("sender-1", "");
    EXPECT_TRUE(loggedCode(13012));
    EXPECT_TRUE(store->tokenInfoWithAuthorizedEntity("sender-1", "*"));
    store->removeCachedTokenWithAuthorizedEntity("sender-1", "*");
    EXPECT_FALSE(store->tokenInfoWithAuthorizedEntity("sender-1", "*"));

    EXPECT_TRUE(DAVInstanceIDStore::createApplicationSupportSubDirectory("Sub/Dir"));
    EXPECT_TRUE(DAVInstanceIDStore::hasApplicationSupportSubDirectory("Sub/Dir"));
    EXPECT_TRUE(DAVInstanceIDStore::removeApplicationSupportSubDirectory("Sub/Dir", nullptr));
    EXPECT_FALSE(DAVInstanceIDStore::hasApplicationSupportSubDirectory("Sub/Dir"));
    EXPECT_TRUE(DAVInstanceIDStore::removeApplicationSupportSubDirectory("Sub/Dir", nullptr));
    ASSERT_TRUE(
        plat::writeData(DAVInstanceIDStore::pathForApplicationSupportSubDirectory("AFile"), plat::Data{1}));
    EXPECT_FALSE(DAVInstanceIDStore::createApplicationSupportSubDirectory("AFile"));
    EXPECT_TRUE(loggedCode(13001));
}

} // namespace
