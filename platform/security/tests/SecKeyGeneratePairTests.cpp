// Key-pair generation: both halves stored as permanent key items, nothing left behind when a store fails,
// and key faults aimed by application tag.

#include "platform/security/Keychain.hpp"
#include "platform/security/SecKeyGeneratePair.hpp"

#include "platform/foundation/Faults.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

namespace plat {
namespace {

Dictionary generatePairParameters() {
    return Dictionary{
        {kSecAttrKeyType, kSecAttrKeyTypeRSA},
        {kSecAttrKeySizeInBits, 1024},
        {kSecPrivateKeyAttrs, Dictionary{{kSecAttrIsPermanent, true},
                                         {kSecAttrApplicationTag, Value(Data{'p', 'r', 'i', 'v'})},
                                         {kSecAttrLabel, "private half"}}},
        {kSecPublicKeyAttrs, Dictionary{{kSecAttrIsPermanent, true},
                                        {kSecAttrApplicationTag, Value(Data{'p', 'u', 'b'})},
                                        {kSecAttrLabel, "public half"}}},
    };
}

Dictionary keyByTag(const char* tag) {
    return Dictionary{{kSecClass, kSecClassKey}, {kSecAttrApplicationTag, tag}, {kSecReturnRef, true}};
}

class SecKeyGeneratePairTest : public ::testing::Test {
protected:
    test::TempAppHome home;
};

TEST_F(SecKeyGeneratePairTest, StoresBothHalvesAsPermanentKeyItems) {
    const auto pair = SecKeyGeneratePair(generatePairParameters());
    ASSERT_EQ(pair.status, errSecSuccess);
    ASSERT_TRUE(pair.publicKey && pair.privateKey);
    EXPECT_EQ(pair.privateKey->keyClass(), SecKeyClass::privateKey);
    EXPECT_TRUE(*pair.publicKey == *pair.privateKey->copyPublicKey());

    const auto items = sim::Keychain::items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].find(kSecAttrLabel)->asString(), "private half");
    EXPECT_EQ(items[0].find(kSecAttrKeyClass)->asString(), kSecAttrKeyClassPrivate);
    EXPECT_EQ(items[1].find(kSecAttrKeyClass)->asString(), kSecAttrKeyClassPublic);
    EXPECT_TRUE(items[1].find(kSecAttrIsPermanent)->boolValue());

    const auto found = SecItemCopyMatching(keyByTag("pub"));
    ASSERT_EQ(found.refs.size(), 1u);
    EXPECT_TRUE(*found.refs[0] == *pair.publicKey);
}

TEST_F(SecKeyGeneratePairTest, AFailedStoreOfTheSecondHalfLeavesNoItem) {
    sim::Faults::fail("keychain.add", "pub", errSecMissingEntitlement);
    const auto pair = SecKeyGeneratePair(generatePairParameters());
    EXPECT_EQ(pair.status, errSecMissingEntitlement);
    EXPECT_FALSE(pair.privateKey);
    EXPECT_TRUE(sim::Keychain::items().empty());

    // Only the tag the fault names fails: passwords and other keys go on.
    sim::Faults::fail("keychain.copy", "priv", errSecInteractionNotAllowed);
    ASSERT_EQ(SecKeyGeneratePair(generatePairParameters()).status, errSecSuccess);
    EXPECT_EQ(SecItemCopyMatching(keyByTag("pub")).status, errSecSuccess);
    EXPECT_EQ(SecItemCopyMatching(keyByTag("priv")).status, errSecInteractionNotAllowed);
    EXPECT_EQ(SecItemCopyMatching(keyByTag("priv")).status, errSecSuccess);
}

TEST_F(SecKeyGeneratePairTest, OnlyRSAIsGeneratedAndTemporaryPairsAreNotStored) {
    Dictionary ec = generatePairParameters();
    ec.set(kSecAttrKeyType, kSecAttrKeyTypeECSECPrimeRandom);
    EXPECT_EQ(SecKeyGeneratePair(ec).status, errSecParam);
    const auto temporary = SecKeyGeneratePair(
        Dictionary{{kSecAttrKeyType, kSecAttrKeyTypeRSA}, {kSecAttrKeySizeInBits, 1024}});
    ASSERT_EQ(temporary.status, errSecSuccess);
    EXPECT_TRUE(temporary.privateKey);
    EXPECT_TRUE(sim::Keychain::items().empty());
}

} // namespace
} // namespace plat
