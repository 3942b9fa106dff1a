#include "platform/security/Keychain.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Faults.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace plat {
namespace {

Data bytes(std::string_view s) {
    return Data(s.begin(), s.end());
}

Dictionary password(const char* service, const char* account) {
    return Dictionary{
        {kSecClass, kSecClassGenericPassword}, {kSecAttrService, service}, {kSecAttrAccount, account}};
}

Dictionary with(Dictionary d, std::initializer_list<Dictionary::Entry> extra) {
    for (const auto& [k, v] : extra) {
        d.set(k, v);
    }
    return d;
}

class KeychainTest : public ::testing::Test {
protected:
    test::TempAppHome home;
};

TEST_F(KeychainTest, AddFindUpdateDeleteGenericPasswords) {
    ASSERT_EQ(SecItemAdd(
                  with(password("svc", "alice"), {{kSecValueData, bytes("one")},
                                                  {kSecAttrAccessible, kSecAttrAccessibleAfterFirstUnlock}})),
              errSecSuccess);
    ASSERT_EQ(SecItemAdd(with(password("svc", "bob"), {{kSecValueData, bytes("two")}})), errSecSuccess);
    EXPECT_EQ(SecItemAdd(with(password("svc", "alice"), {{kSecValueData, bytes("again")}})),
              errSecDuplicateItem);

    auto found = SecItemCopyMatching(with(password("svc", "alice"), {{kSecReturnData, true}}));
    ASSERT_EQ(found.status, errSecSuccess);
    EXPECT_EQ(found.result->asData(), bytes("one"));

    auto all = SecItemCopyMatching(Dictionary{{kSecClass, kSecClassGenericPassword},
                                              {kSecAttrService, "svc"},
                                              {kSecMatchLimit, kSecMatchLimitAll},
                                              {kSecReturnAttributes, true}});
    ASSERT_EQ(all.status, errSecSuccess);
    ASSERT_EQ(all.result->asArray().size(), 2u);
    const auto& first = all.result->asArray()[0].asDictionary();
    EXPECT_EQ(first.find(kSecAttrAccount)->asString(), "alice");
    EXPECT_TRUE(first.find(kSecAttrModificationDate)->isDate());
    EXPECT_FALSE(first.contains(kSecValueData));

    const double before = first.find(kSecAttrModificationDate)->asDate().timeIntervalSince1970();
    Virtual::advanceBy(5);
    ASSERT_EQ(SecItemUpdate(password("svc", "alice"), Dictionary{{kSecValueData, bytes("new")}}),
              errSecSuccess);
    found = SecItemCopyMatching(
        with(password("svc", "alice"), {{kSecReturnData, true}, {kSecReturnAttributes, true}}));
    EXPECT_EQ(found.result->asDictionary().find(kSecValueData)->asData(), bytes("new"));
    EXPECT_EQ(found.result->asDictionary().find(kSecAttrModificationDate)->asDate().timeIntervalSince1970(),
              before + 5);
    EXPECT_EQ(SecItemUpdate(password("svc", "bob"), Dictionary{{kSecAttrAccount, "alice"}}),
              errSecDuplicateItem);
    EXPECT_EQ(SecItemUpdate(password("svc", "carol"), Dictionary{{kSecValueData, bytes("x")}}),
              errSecItemNotFound);

    EXPECT_EQ(SecItemDelete(Dictionary{{kSecClass, kSecClassGenericPassword}, {kSecAttrService, "svc"}}),
              errSecSuccess);
    EXPECT_EQ(SecItemCopyMatching(password("svc", "alice")).status, errSecItemNotFound);
    EXPECT_EQ(SecItemDelete(password("svc", "alice")), errSecItemNotFound);
}

TEST_F(KeychainTest, RefusesBadInput) {
    EXPECT_EQ(SecItemAdd(Dictionary{{kSecAttrService, "svc"}}), errSecParam);
    EXPECT_EQ(SecItemAdd(Dictionary{{kSecClass, "nope"}}), errSecParam);
    EXPECT_EQ(SecItemAdd(with(password("s", "a"), {{kSecValueData, "not data"}})), errSecParam);
    EXPECT_EQ(SecItemAdd(with(password("s", "a"), {{kSecAttrGeneric, Value()}})), errSecParam);
    EXPECT_EQ(SecItemAdd(password("s", "a"), SecKey::generateRSA(1024)), errSecParam);
    EXPECT_EQ(SecItemCopyMatching(Dictionary{}).status, errSecParam);
    EXPECT_EQ(SecItemUpdate(password("s", "a"), Dictionary{{kSecClass, kSecClassKey}}), errSecParam);
    EXPECT_TRUE(sim::Keychain::items().empty());
}

TEST_F(KeychainTest, KeysComeBackAsReferences) {
    const auto priv = SecKey::generateRSA(1024);
    const auto pub = priv->copyPublicKey();
    const Data tag = bytes("com.example.keypair");
    const auto keyQuery = [&](const char* keyClass) {
        return Dictionary{{kSecClass, kSecClassKey},
                          {kSecAttrApplicationTag, tag},
                          {kSecAttrKeyType, kSecAttrKeyTypeRSA},
                          {kSecAttrKeyClass, keyClass}};
    };
    ASSERT_EQ(SecItemAdd(Dictionary{{kSecClass, kSecClassKey}, {kSecAttrApplicationTag, tag}}, priv),
              errSecSuccess);
    ASSERT_EQ(SecItemAdd(Dictionary{{kSecClass, kSecClassKey}, {kSecAttrApplicationTag, tag}}, pub),
              errSecSuccess);
    EXPECT_EQ(SecItemAdd(keyQuery(kSecAttrKeyClassPublic), pub), errSecDuplicateItem);

    auto found = SecItemCopyMatching(with(keyQuery(kSecAttrKeyClassPrivate), {{kSecReturnRef, true}}));
    ASSERT_EQ(found.status, errSecSuccess);
    ASSERT_EQ(found.refs.size(), 1u);
    ASSERT_TRUE(found.refs[0]);
    EXPECT_EQ(*found.refs[0], *priv);
    EXPECT_FALSE(found.result);

    // A tag given as text names the same bytes.
    found = SecItemCopyMatching(Dictionary{{kSecClass, kSecClassKey},
                                           {kSecAttrApplicationTag, "com.example.keypair"},
                                           {kSecAttrKeyClass, kSecAttrKeyClassPublic},
                                           {kSecReturnData, true}});
    ASSERT_EQ(found.status, errSecSuccess);
    EXPECT_EQ(found.result->asData(), *pub->copyExternalRepresentation());
}

TEST_F(KeychainTest, SurvivesReinstallIsPrivateAndAtomic) {
    ASSERT_EQ(SecItemAdd(with(password("svc", "a"), {{kSecValueData, bytes("secret")}})), errSecSuccess);
    struct stat st {};
    ASSERT_EQ(::stat(sim::Keychain::path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(sim::Keychain::path(), home.deviceFolder() + "/keychain.plist");

    // Deleting the app home is a reinstall; the keychain lives beside it.
    std::filesystem::remove_all(home.home());
    EXPECT_EQ(SecItemCopyMatching(password("svc", "a")).status, errSecSuccess);

    sim::Keychain::wipe();
    EXPECT_EQ(SecItemCopyMatching(password("svc", "a")).status, errSecItemNotFound);
}

TEST_F(KeychainTest, ADamagedFileIsNeverOverwritten) {
    ASSERT_EQ(SecItemAdd(password("svc", "a")), errSecSuccess);
    std::ofstream(sim::Keychain::path(), std::ios::trunc) << "garbage";
    EXPECT_EQ(SecItemAdd(password("svc", "b")), errSecInteractionNotAllowed);
    EXPECT_EQ(SecItemCopyMatching(password("svc", "a")).status, errSecInteractionNotAllowed);
    std::ifstream in(sim::Keychain::path());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "garbage");
}

// Another process (an extension) may write the file between two calls of this one, even within one tick of
// the file clock and at the same size: what a call reads is always the file's present content.
TEST_F(KeychainTest, ReadsSeeWhatAnotherWriterLeftInTheFile) {
    ASSERT_EQ(SecItemAdd(with(password("svc", "a"), {{kSecValueData, bytes("one")}})), errSecSuccess);
    std::ifstream first(sim::Keychain::path(), std::ios::binary);
    const std::string withOne(std::istreambuf_iterator<char>(first), {});

    ASSERT_EQ(SecItemUpdate(password("svc", "a"), Dictionary{{kSecValueData, bytes("two")}}), errSecSuccess);
    auto read = [] {
        const auto found = SecItemCopyMatching(with(password("svc", "a"), {{kSecReturnData, true}}));
        return found.result ? std::string(found.result->asData().begin(), found.result->asData().end()) : "";
    };
    EXPECT_EQ(read(), "two");

    std::ofstream(sim::Keychain::path(), std::ios::binary | std::ios::trunc) << withOne;
    EXPECT_EQ(read(), "one");
    // A change of this process starts from the file as it now is.
    ASSERT_EQ(SecItemAdd(password("svc", "b")), errSecSuccess);
    EXPECT_EQ(read(), "one");
    EXPECT_EQ(sim::Keychain::items().size(), 2u);
}

TEST_F(KeychainTest, FaultsFailEachOperationWithTheGivenStatus) {
    ASSERT_EQ(SecItemAdd(password("svc", "a")), errSecSuccess);
    const std::pair<const char*, std::function<OSStatus()>> ops[] = {
        {"keychain.add", [] { return SecItemAdd(password("svc", "b")); }},
        {"keychain.copy", [] { return SecItemCopyMatching(password("svc", "a")).status; }},
        {"keychain.update",
         [] {
             return SecItemUpdate(password("svc", "a"), Dictionary{{kSecAttrGeneric, 1}});
         }},
        {"keychain.delete", [] { return SecItemDelete(password("svc", "a")); }},
    };
    for (const auto& [op, call] : ops) {
        sim::Faults::fail(op, "svc", errSecMissingEntitlement);
        EXPECT_EQ(call(), errSecMissingEntitlement) << op;
    }
    EXPECT_EQ(sim::Keychain::items().size(), 1u);
    EXPECT_EQ(SecItemDelete(password("svc", "a")), errSecSuccess);
}

} // namespace
} // namespace plat
