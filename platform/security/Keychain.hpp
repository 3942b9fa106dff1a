#pragma once
// Keychain items (generic passwords and keys) through the device's SecItem calls, kept in
// <device>/keychain.plist (0600) beside the app home, so that a reinstall keeps them.

#include "platform/foundation/Value.hpp"
#include "platform/security/SecBase.hpp"
#include "platform/security/SecKey.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plat {

// Keys and values of queries and attributes, with the device's texts.
inline constexpr const char* kSecClass = "class";
inline constexpr const char* kSecClassGenericPassword = "genp";
inline constexpr const char* kSecClassKey = "keys";
inline constexpr const char* kSecAttrService = "svce";
inline constexpr const char* kSecAttrAccount = "acct";
inline constexpr const char* kSecAttrGeneric = "gena";
inline constexpr const char* kSecAttrAccessible = "pdmn";
inline constexpr const char* kSecAttrAccessGroup = "agrp";
inline constexpr const char* kSecAttrCreationDate = "cdat";
inline constexpr const char* kSecAttrModificationDate = "mdat";
inline constexpr const char* kSecAttrKeyType = "type";
inline constexpr const char* kSecAttrKeyTypeRSA = "42";
inline constexpr const char* kSecAttrKeyTypeECSECPrimeRandom = "73";
inline constexpr const char* kSecAttrKeyClass = "kcls";
inline constexpr const char* kSecAttrKeyClassPublic = "0";
inline constexpr const char* kSecAttrKeyClassPrivate = "1";
inline constexpr const char* kSecAttrApplicationTag = "atag";
inline constexpr const char* kSecAttrLabel = "labl";
inline constexpr const char* kSecAttrIsPermanent = "perm";
inline constexpr const char* kSecValueData = "v_Data";
inline constexpr const char* kSecValueRef = "v_Ref";
inline constexpr const char* kSecReturnData = "r_Data";
inline constexpr const char* kSecReturnAttributes = "r_Attributes";
inline constexpr const char* kSecReturnRef = "r_Ref";
inline constexpr const char* kSecMatchLimit = "m_Limit";
inline constexpr const char* kSecMatchLimitOne = "m_LimitOne";
inline constexpr const char* kSecMatchLimitAll = "m_LimitAll";
// Accessibility values are kept as given and change nothing here.
inline constexpr const char* kSecAttrAccessibleWhenUnlocked = "ak";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlock = "ck";
inline constexpr const char* kSecAttrAccessibleAlways = "dk";
inline constexpr const char* kSecAttrAccessibleWhenUnlockedThisDeviceOnly = "aku";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly = "cku";
inline constexpr const char* kSecAttrAccessibleAlwaysThisDeviceOnly = "dku";

struct SecItemResult {
    OSStatus status = errSecSuccess;
    // Data, an attributes dictionary, or an array of them with kSecMatchLimitAll; none when nothing
    // but references was asked for.
    std::optional<Value> result;
    // With kSecReturnRef: the key of each matched key item, in the order of the matches.
    std::vector<std::shared_ptr<SecKey>> refs;
};

// Every attribute of the query must match; results in the order items were added.
// errSecItemNotFound when nothing matches, errSecParam without a supported class.
SecItemResult SecItemCopyMatching(const Dictionary& query);
// `valueRef` stands for kSecValueRef: a key stored as its DER form. errSecDuplicateItem when an item
// with the same primary key exists (generic password: service, account, access group; key:
// application tag, key type, key class).
OSStatus SecItemAdd(const Dictionary& attributes, const std::shared_ptr<SecKey>& valueRef = nullptr);
// Changes every matching item; errSecDuplicateItem (nothing changed) when that would make two items alike.
OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributesToUpdate);
// Removes every matching item.
OSStatus SecItemDelete(const Dictionary& query);

namespace sim {
class Keychain {
public:
    // Forgets every item, as erasing the device would.
    static void wipe();
    // The stored items, as dictionaries of their attributes and data.
    static std::vector<Dictionary> items();
    static std::string path();
};
} // namespace sim

} // namespace plat
