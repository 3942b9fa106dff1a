// The key pair and its store: tags, identity, generation with its creation time, lookups and deletions,
// migration from the legacy tags, reinstalls and a keychain without entitlements.

#include "instance_id/DAVInstanceIDConstants.hpp"
#include "instance_id/DAVInstanceIDKeyPair.hpp"
#include "instance_id/DAVInstanceIDKeyPairStore.hpp"
#include "instance_id/tests/InstanceIDTestSupport.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/PropertyList.hpp"
#include "platform/security/Keychain.hpp"
#include "platform/security/SecKeyGeneratePair.hpp"

#include <cerrno>

namespace {

const std::string kPublicTag = "com.razoza.iid.keypair.public-com.example.portal";
const std::string kPrivateTag = "com.razoza.iid.keypair.private-com.example.portal";

struct RecordingKeyPairDelegate : DAVInstanceIDKeyPairStoreDelegate {
    int deletions = 0;
    void keyPairStoreDidDeleteKeyPair(DAVInstanceIDKeyPairStore&) override { ++deletions; }
};

class DAVInstanceIDKeyPairStoreTest : public iid_test::InstanceIDDeviceTest {
protected:
    DAVInstanceIDKeyPairStoreTest() {
        EXPECT_TRUE(plat::FileManager::defaultManager().createDirectory(subDirectory(), true));
    }
    std::string subDirectory() const {
        return plat::AppHome::applicationSupport() + "/" + kDAVInstanceIDSubDirectoryName;
    }
    std::string creationTimePlistPath() const { return subDirectory() + "/com.razoza.iid-keypair.plist"; }
    std::optional<plat::Dictionary> creationTimes() {
        auto data = plat::readData(creationTimePlistPath());
        if (!data) {
            return std::nullopt;
        }
        auto dict = plat::PropertyListSerialization::dictionary(std::span<const std::uint8_t>(*data));
        return dict ? std::optional<plat::Dictionary>(*dict) : std::nullopt;
    }
    std::vector<std::string> storedTags() {
        std::vector<std::string> tags;
        for (const auto& item : plat::sim::Keychain::items()) {
            if (const auto* tag = item.find(plat::kSecAttrApplicationTag)) {
                tags.emplace_back(tag->asData().begin(), tag->asData().end());
            }
        }
        return tags;
    }
    // A pair stored under the given tags as an older client left it: plain permanent key items.
    void storeKeyPair(const std::string& privateTag, const std::string& publicTag) {
        const auto result = plat::SecKeyGeneratePair(plat::Dictionary{
            {plat::kSecAttrKeyType, plat::kSecAttrKeyTypeRSA},
            {plat::kSecAttrKeySizeInBits, 1024},
            {plat::kSecPrivateKeyAttrs,
             plat::Dictionary{{plat::kSecAttrIsPermanent, true},
                              {plat::kSecAttrApplicationTag, plat::Data(privateTag.begin(), privateTag.end())}}},
            {plat::kSecPublicKeyAttrs,
             plat::Dictionary{{plat::kSecAttrIsPermanent, true},
                              {plat::kSecAttrApplicationTag, plat::Data(publicTag.begin(), publicTag.end())}}}});
        ASSERT_EQ(result.status, plat::errSecSuccess);
    }
    std::string identityOfStoredKey(const std::string& publicTag) {
        const auto data = DAVInstanceIDKeyPair::keyDataWithTag(publicTag);
        EXPECT_TRUE(data);
        DAVInstanceIDKeyPair pair(nullptr, plat::SecKey::generateRSA(1024), data.value_or(plat::Data{}), {});
        return DAVInstanceIDKeyPair::appIdentityWithKeyPair(pair).value_or("");
    }
};

TEST_F(DAVInstanceIDKeyPairStoreTest, TagsAndNames) {
    EXPECT_EQ(DAVInstanceIDKeyPairStore::publicTagWithSubtype(""), kPublicTag);
    EXPECT_EQ(DAVInstanceIDKeyPairStore::publicTagWithSubtype("any"), kPublicTag);
    EXPECT_EQ(DAVInstanceIDKeyPairStore::privateTagWithSubtype("any"), kPrivateTag);
    EXPECT_EQ(DAVInstanceIDKeyPairStore::legacyPublicTagWithSubtype(""), "com.razoza.iid-|P|");
    EXPECT_EQ(DAVInstanceIDKeyPairStore::legacyPrivateTagWithSubtype("x"), "com.razoza.iid-x|K|");
    EXPECT_EQ(DAVInstanceIDKeyPairStore::creationTimeKeyWithSubtype(""), "|S|cre");
    EXPECT_EQ(DAVInstanceIDKeyPairStore::keyStoreFileName(), "com.razoza.iid-keypair");
    EXPECT_EQ(DAVInstanceIDKeyPair::queryDictWithTag("t", true, false),
              (plat::Dictionary{{plat::kSecClass, plat::kSecClassKey},
                                {plat::kSecAttrApplicationTag, plat::Data{'t'}},
                                {plat::kSecAttrKeyType, plat::kSecAttrKeyTypeRSA},
                                {plat::kSecReturnRef, true}}));
}

TEST_F(DAVInstanceIDKeyPairStoreTest, IdentityIsTheMarkedHeadOfTheDigestOfThePublicKey) {
    const auto key = plat::SecKey::generateRSA(1024);
    EXPECT_EQ(DAVInstanceIDKeyPair::appIdentityWithKeyPair(DAVInstanceIDKeyPair(key, key, {'a', 'b', 'c'}, {})),
              "eZk-NkcGgWo");
    logged();
    EXPECT_FALSE(DAVInstanceIDKeyPair::appIdentityWithKeyPair(DAVInstanceIDKeyPair(key, nullptr, {'a'}, {})));
    EXPECT_TRUE(loggedCode(9002));
    EXPECT_FALSE(DAVInstanceIDKeyPair(key, nullptr, {}, {}).isValid());
}

TEST_F(DAVInstanceIDKeyPairStoreTest, AGeneratedPairIsStoredWithItsCreationTimeAndFoundAgain) {
    plat::Virtual::advanceBy(12.5);
    DAVInstanceIDKeyPairStore store;
    EXPECT_FALSE(store.hasCachedKeyPairs());
    DAVInstanceIDErrorSlot error;
    const auto identity = store.appIdentityWithError(&error);
    ASSERT_TRUE(identity) << error->description();
    EXPECT_FALSE(error);
    ASSERT_EQ(identity->size(), 11u);
    EXPECT_NE(std::string("cdef").find(identity->front()), std::string::npos) << *identity;
    EXPECT_EQ(identity->find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    EXPECT_EQ(store.loadKeyPairWithError(&error), store.loadKeyPairWithError(&error));

    const auto items = plat::sim::Keychain::items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(storedTags(), (std::vector<std::string>{kPrivateTag, kPublicTag}));
    EXPECT_EQ(items[0].find(plat::kSecAttrLabel)->asString(), "Vedudodu InstanceID Key Pair Private Key");
    EXPECT_EQ(items[1].find(plat::kSecAttrLabel)->asString(), "Vedudodu InstanceID Key Pair Public Key");
    for (const auto& item : items) {
        EXPECT_EQ(item.find(plat::kSecAttrAccessible)->asString(), plat::kSecAttrAccessibleAlwaysThisDeviceOnly);
    }
    const auto times = creationTimes();
    ASSERT_TRUE(times);
    EXPECT_EQ(*times, (plat::Dictionary{{"|S|cre", static_cast<std::int64_t>(plat::Clock::now())}}));
    EXPECT_EQ(*identity, identityOfStoredKey(kPublicTag));

    // Another store over the same keychain and files, as at the next launch.
    DAVInstanceIDKeyPairStore next;
    EXPECT_TRUE(next.hasCachedKeyPairs());
    next.invalidateKeyPairsIfNeeded();
    EXPECT_EQ(next.appIdentityWithError(&error), identity);
    EXPECT_EQ(plat::sim::Keychain::items().size(), 2u);
}

TEST_F(DAVInstanceIDKeyPairStoreTest, AReinstallThatKeptTheKeychainGetsANewIdentity) {
    std::string first;
    {
        DAVInstanceIDKeyPairStore store;
        first = store.appIdentityWithError(nullptr).value_or("");
        ASSERT_FALSE(first.empty());
    }
    ASSERT_TRUE(plat::FileManager::defaultManager().removeItem(creationTimePlistPath()));
    DAVInstanceIDKeyPairStore store;
    auto delegate = std::make_shared<RecordingKeyPairDelegate>();
    store.setDelegate(delegate);
    store.invalidateKeyPairsIfNeeded();
    EXPECT_TRUE(plat::sim::Keychain::items().empty());
    EXPECT_EQ(delegate->deletions, 1);
    const auto second = store.appIdentityWithError(nullptr);
    ASSERT_TRUE(second);
    EXPECT_NE(*second, first);
    EXPECT_EQ(plat::sim::Keychain::items().size(), 2u);
}

TEST_F(DAVInstanceIDKeyPairStoreTest, APairWithoutCreationTimeIsReplaced) {
    storeKeyPair(kPrivateTag, kPublicTag);
    const std::string old = identityOfStoredKey(kPublicTag);
    DAVInstanceIDKeyPairStore store;
    auto delegate = std::make_shared<RecordingKeyPairDelegate>();
    store.setDelegate(delegate);
    DAVInstanceIDErrorSlot error;
    EXPECT_FALSE(store.validCachedKeyPairWithSubtype("", &error));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(kDAVInstanceIDDomain, 2005));
    EXPECT_TRUE(plat::sim::Keychain::items().empty());
    EXPECT_EQ(delegate->deletions, 1);

    storeKeyPair(kPrivateTag, kPublicTag);
    const auto identity = store.appIdentityWithError(&error);
    ASSERT_TRUE(identity);
    EXPECT_NE(*identity, old);
    EXPECT_TRUE(creationTimes()->contains("|S|cre"));
}

TEST_F(DAVInstanceIDKeyPairStoreTest, LookupsAndDeletions) {
    DAVInstanceIDErrorSlot error;
    EXPECT_FALSE(DAVInstanceIDKeyPair::keyPairForPrivateKeyTag("", kPublicTag, &error));
    EXPECT_TRUE(error->is(kDAVInstanceIDDomain, 2002));
    logged();
    EXPECT_FALSE(DAVInstanceIDKeyPair::keyPairForPrivateKeyTag(kPrivateTag, kPublicTag, &error));
    EXPECT_TRUE(error->is(kDAVInstanceIDDomain, 2001));
    EXPECT_TRUE(loggedCode(9000));
    EXPECT_FALSE(DAVInstanceIDKeyPair::keyDataWithTag(""));

    // Key data the keychain cannot turn into a key counts as missing.
    storeKeyPair(kPrivateTag, kPublicTag);
    const plat::Dictionary publicQuery = DAVInstanceIDKeyPair::queryDictWithTag(kPublicTag, false, false);
    ASSERT_EQ(plat::SecItemUpdate(publicQuery, plat::Dictionary{{plat::kSecValueData, plat::Data{1, 2, 3}}}),
              plat::errSecSuccess);
    EXPECT_FALSE(DAVInstanceIDKeyPair::keyPairForPrivateKeyTag(kPrivateTag, kPublicTag, &error));
    EXPECT_TRUE(error->is(kDAVInstanceIDDomain, 2001));

    // Deleting fails only when both halves fail with something other than not-found.
    plat::sim::Faults::fail("keychain.delete", kPrivateTag, plat::errSecInteractionNotAllowed);
    EXPECT_TRUE(DAVInstanceIDKeyPair::deleteKeyPairWithPrivateTag(kPrivateTag, kPublicTag, &error));
    EXPECT_EQ(storedTags(), (std::vector<std::string>{kPrivateTag}));
    plat::sim::Faults::fail("keychain.delete", "com.razoza.iid.keypair", plat::errSecInteractionNotAllowed, 2);
    error.reset();
    EXPECT_FALSE(DAVInstanceIDKeyPair::deleteKeyPairWithPrivateTag(kPrivateTag, kPublicTag, &error));
    EXPECT_TRUE(error->is(kDAVInstanceIDDomain, 2001));
    EXPECT_TRUE(loggedCode(9001));
    EXPECT_TRUE(DAVInstanceIDKeyPair::deleteKeyPairWithPrivateTag(kPrivateTag, kPublicTag, &error));
    EXPECT_TRUE(DAVInstanceIDKeyPair::deleteKeyPairWithPrivateTag(kPrivateTag, kPublicTag, &error));
    EXPECT_TRUE(plat::sim::Keychain::items().empty());
}

TEST_F(DAVInstanceIDKeyPairStoreTest, AFailedCreationTimeWriteLeavesNoKeyBehind) {
    plat::sim::Faults::fail("file.write", "com.razoza.iid-keypair", ENOSPC);
    DAVInstanceIDKeyPairStore store;
    logged();
    DAVInstanceIDErrorSlot error;
    EXPECT_FALSE(store.loadKeyPairWithError(&error));
    EXPECT_TRUE(loggedCode(10004));
    EXPECT_TRUE(plat::sim::Keychain::items().empty());
    EXPECT_FALSE(creationTimes());
    EXPECT_FALSE(store.appIdentityWithError(&error) == std::nullopt); // the next attempt succeeds
}

TEST_F(DAVInstanceIDKeyPairStoreTest, MissingEntitlementsStopLoadsAfterThreeFailures) {
    plat::sim::Faults::fail("keychain.add", "com.razoza.iid.keypair", plat::errSecMissingEntitlement, 3);
    DAVInstanceIDKeyPairStore store;
    for (int i = 1; i <= 3; ++i) {
        DAVInstanceIDErrorSlot error;
        EXPECT_FALSE(store.loadKeyPairWithError(&error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, plat::errSecMissingEntitlement);
        EXPECT_EQ(store.keychainEntitlementsErrorCount(), i);
    }
    logged();
    DAVInstanceIDErrorSlot error;
    EXPECT_FALSE(store.loadKeyPairWithError(&error));
    EXPECT_TRUE(loggedCode(10002));
    EXPECT_EQ(plat::sim::Faults::firedCount("keychain.add"), 3);
    EXPECT_TRUE(plat::sim::Keychain::items().empty());
    EXPECT_FALSE(store.appIdentityWithError(&error));
    EXPECT_TRUE(loggedCode(10009));
}

TEST_F(DAVInstanceIDKeyPairStoreTest, LegacyPairsMigrateWithTheirCreationTimeAndAreReplacedWithout) {
    storeKeyPair("com.razoza.iid-|K|", "com.razoza.iid-|P|");
    const std::string legacyIdentity = identityOfStoredKey("com.razoza.iid-|P|");
    {
        DAVInstanceIDKeyPairStore store;
        DAVInstanceIDBackupExcludedPlist plist("com.razoza.iid-keypair", kDAVInstanceIDSubDirectoryName);
        ASSERT_TRUE(plist.writeDictionary({{"|S|cre", std::int64_t{1000}}}, nullptr));
        logged();
        EXPECT_EQ(store.appIdentityWithError(nullptr), legacyIdentity);
        EXPECT_TRUE(loggedCode(9005));
        EXPECT_EQ(storedTags().size(), 4u); // the legacy keys stay
        EXPECT_TRUE(DAVInstanceIDKeyPair::hasMigratedKeyPairWithLegacyPublicKeyTag("com.razoza.iid-|P|", kPublicTag));
    }
    ASSERT_TRUE(plat::FileManager::defaultManager().removeItem(creationTimePlistPath()));
    for (const auto& tag : {kPrivateTag, kPublicTag}) {
        ASSERT_EQ(plat::SecItemDelete(DAVInstanceIDKeyPair::queryDictWithTag(tag, false, false)), plat::errSecSuccess);
    }
    // Without a creation time the migrated pair counts as stale: both generations go and a new pair comes.
    DAVInstanceIDKeyPairStore store;
    const auto identity = store.appIdentityWithError(nullptr);
    ASSERT_TRUE(identity);
    EXPECT_NE(*identity, legacyIdentity);
    EXPECT_EQ(storedTags(), (std::vector<std::string>{kPrivateTag, kPublicTag}));
}

TEST_F(DAVInstanceIDKeyPairStoreTest, KeychainReadFailuresNeitherEmptyTheIdentityNorGoUncounted) {
    // A keychain that cannot be read right after generation changes nothing: the pair's bytes are the keys'
    // own export, never read back.
    plat::sim::Faults::fail("keychain.copy", kPublicTag, plat::errSecInteractionNotAllowed);
    // The look-up of the legacy pair meets a missing entitlement, which the store counts.
    plat::sim::Faults::fail("keychain.copy", "com.razoza.iid-|", plat::errSecMissingEntitlement);
    DAVInstanceIDKeyPairStore store;
    const auto identity = store.appIdentityWithError(nullptr);
    ASSERT_TRUE(identity);
    EXPECT_EQ(plat::sim::Faults::firedCount("keychain.copy"), 1);
    plat::sim::Faults::reset();
    EXPECT_EQ(*identity, identityOfStoredKey(kPublicTag));
    EXPECT_EQ(store.keychainEntitlementsErrorCount(), 1);
}

} // namespace
