// The generic-password wrapper: match-any values, argument checks, delete-then-add writes and the records
// of found items.

#include "instance_id/DAVInstanceIDAuthKeychain.hpp"
#include "instance_id/tests/InstanceIDTestSupport.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/security/Keychain.hpp"

namespace {

plat::Data authBytes(std::string_view s) {
    return plat::Data(s.begin(), s.end());
}

class DAVInstanceIDAuthKeychainTest : public iid_test::InstanceIDDeviceTest {
protected:
    DAVInstanceIDAuthKeychain keychain{"com.razoza.iid"};
    DAVInstanceIDAuthKeychain tokens{"com.razoza.iid.tokens"};

    void put(const DAVInstanceIDAuthKeychain& k, const char* service, const char* account, const char* value) {
        ASSERT_TRUE(k.setData(authBytes(value), service, std::nullopt, account, nullptr));
    }
    std::vector<std::string> values(const std::vector<DAVInstanceIDAuthKeychainItem>& items) {
        std::vector<std::string> out;
        for (const auto& item : items) {
            out.emplace_back(item.data.begin(), item.data.end());
        }
        return out;
    }
};

TEST_F(DAVInstanceIDAuthKeychainTest, QueriesLeaveOutMatchAnyAndEmptyValues) {
    using Q = plat::Dictionary;
    EXPECT_EQ(DAVInstanceIDAuthKeychain::keychainQueryForService("s", "a", "g"),
              (Q{{plat::kSecClass, plat::kSecClassGenericPassword},
                 {plat::kSecAttrGeneric, "g"},
                 {plat::kSecAttrAccount, "a"},
                 {plat::kSecAttrService, "s"}}));
    EXPECT_EQ(DAVInstanceIDAuthKeychain::keychainQueryForService("*", "", "*"),
              (Q{{plat::kSecClass, plat::kSecClassGenericPassword}}));
    EXPECT_EQ(keychain.keychainQueryForService("*", "a"),
              (Q{{plat::kSecClass, plat::kSecClassGenericPassword},
                 {plat::kSecAttrGeneric, "com.razoza.iid"},
                 {plat::kSecAttrAccount, "a"}}));
}

TEST_F(DAVInstanceIDAuthKeychainTest, FindWriteAndDeleteByServiceAndAccount) {
    put(keychain, "svc1", "acct", "one");
    put(keychain, "svc2", "acct", "two");
    put(keychain, "svc1", "other", "three");
    put(tokens, "svc1", "acct2", "foreign");

    DAVInstanceIDErrorSlot error;
    EXPECT_EQ(values(keychain.itemsMatchingService("*", "acct", &error)), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(values(keychain.itemsMatchingService("svc1", "*", &error)),
              (std::vector<std::string>{"one", "three"}));
    EXPECT_FALSE(error);
    // Nothing found: empty and no error.
    EXPECT_TRUE(keychain.itemsMatchingService("svc1", "acct2", &error).empty());
    EXPECT_FALSE(keychain.itemForService("none", "none", &error));
    EXPECT_FALSE(error);

    // A write replaces the item and stamps its modification date.
    plat::Virtual::advanceBy(100);
    put(keychain, "svc1", "acct", "uno");
    const auto item = keychain.itemForService("svc1", "acct", &error);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->service, "svc1");
    EXPECT_EQ(item->account, "acct");
    EXPECT_EQ(item->data, authBytes("uno"));
    ASSERT_TRUE(item->modificationDate);
    EXPECT_DOUBLE_EQ(item->modificationDate->timeIntervalSince1970(), plat::Clock::now());
    const auto stored = plat::sim::Keychain::items();
    ASSERT_EQ(stored.size(), 4u);
    EXPECT_EQ(stored.back().find(plat::kSecAttrAccessible)->asString(), plat::kSecAttrAccessibleAlwaysThisDeviceOnly);
    ASSERT_TRUE(keychain.setData(authBytes("x"), "svc9", std::string(plat::kSecAttrAccessibleAfterFirstUnlock),
                                 "acct", nullptr));
    EXPECT_EQ(plat::sim::Keychain::items().back().find(plat::kSecAttrAccessible)->asString(),
              plat::kSecAttrAccessibleAfterFirstUnlock);

    // Deleting what is not there succeeds without an error.
    EXPECT_TRUE(keychain.removeItemsMatchingService("gone", "gone", &error));
    EXPECT_FALSE(error);
    // Removing all touches only this wrapper's family.
    EXPECT_TRUE(keychain.removeAllItemsWithError(&error));
    EXPECT_EQ(values(tokens.itemsMatchingService("*", "*", &error)), (std::vector<std::string>{"foreign"}));
}

TEST_F(DAVInstanceIDAuthKeychainTest, EmptyArgumentsFailWithParamError) {
    put(keychain, "svc", "acct", "kept");
    struct Case {
        const char* name;
        std::function<bool(DAVInstanceIDErrorSlot*)> call;
    };
    const Case cases[] = {
        {"find empty service", [&](auto* e) { return !keychain.itemsMatchingService("", "acct", e).empty(); }},
        {"find empty account", [&](auto* e) { return !keychain.itemsMatchingService("svc", "", e).empty(); }},
        {"write empty account", [&](auto* e) { return keychain.setData(authBytes("v"), "svc", std::nullopt, "", e); }},
        {"delete empty service", [&](auto* e) { return keychain.removeItemsMatchingService("", "acct", e); }},
        {"write empty data", [&](auto* e) { return keychain.setData({}, "svc", std::nullopt, "acct", e); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DAVInstanceIDErrorSlot error;
        EXPECT_FALSE(c.call(&error));
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->is("com.razoza.iid", -1301));
    }
    // Writing empty data removed the existing item before failing.
    EXPECT_TRUE(plat::sim::Keychain::items().empty());
}

TEST_F(DAVInstanceIDAuthKeychainTest, AFailedAddAfterTheDeleteLosesTheOldItem) {
    put(keychain, "svc", "acct", "old");
    plat::sim::Faults::fail("keychain.add", "svc", plat::errSecMissingEntitlement);
    DAVInstanceIDErrorSlot error;
    EXPECT_FALSE(keychain.setData(authBytes("new"), "svc", std::nullopt, "acct", &error));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is("com.razoza.iid", plat::errSecMissingEntitlement));
    EXPECT_TRUE(plat::sim::Keychain::items().empty());

    put(keychain, "svc", "acct", "again");
    plat::sim::Faults::fail("keychain.delete", "svc", plat::errSecInteractionNotAllowed);
    EXPECT_FALSE(keychain.removeItemsMatchingService("svc", "acct", &error));
    EXPECT_TRUE(error->is("com.razoza.iid", plat::errSecInteractionNotAllowed));
    EXPECT_TRUE(keychain.removeItemsMatchingService("svc", "acct", nullptr)); // the fault fired once
}

} // namespace
