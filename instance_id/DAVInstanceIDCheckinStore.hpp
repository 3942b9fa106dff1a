#pragma once
// Persists the device's check-in: the credentials in one keychain item, the rest in the backup-excluded
// "g-checkin" plist; moves credentials from the older keychain location and accepts them from the older
// plist layout.

#include "instance_id/DAVInstanceIDAuthKeychain.hpp"
#include "instance_id/DAVInstanceIDBackupExcludedPlist.hpp"
#include "instance_id/DAVInstanceIDCheckinPreferences.hpp"
#include "instance_id/DAVInstanceIDErrors.hpp"

#include <memory>
#include <string>

inline constexpr const char* kDAVInstanceIDCheckinKeychainGeneric = "com.razoza.iid";
inline constexpr const char* kDAVInstanceIDCheckinKeychainService = "com.razoza.iid.checkin";
inline constexpr const char* kDAVInstanceIDLegacyCheckinKeychainService = "com.razoza.iid.checkin-service";
inline constexpr const char* kDAVInstanceIDLegacyCheckinKeychainAccount = "com.razoza.iid.checkin-account";

class DAVInstanceIDCheckinStore {
public:
    DAVInstanceIDCheckinStore(const std::string& checkinFileName, const std::string& applicationSupportSubDirectory);
    DAVInstanceIDCheckinStore(std::unique_ptr<DAVInstanceIDBackupExcludedPlist> plist,
                              std::unique_ptr<DAVInstanceIDAuthKeychain> keychain);

    // The app's bundle identifier, the account of the check-in item; taken once per process.
    static const std::string& bundleIdentifierForKeychainAccount();

    bool hasCheckinPlist() const;
    bool saveCheckinPreferences(const DAVInstanceIDCheckinPreferences& preferences, DAVInstanceIDErrorSlot* error);
    bool removeCheckinPreferencesWithError(DAVInstanceIDErrorSlot* error);
    // None on keychain errors and without credentials.
    std::shared_ptr<DAVInstanceIDCheckinPreferences> cachedCheckinPreferences();
    bool migrateCheckinItemIfNeeded();

private:
    std::unique_ptr<DAVInstanceIDBackupExcludedPlist> plist_;
    std::unique_ptr<DAVInstanceIDAuthKeychain> keychain_;
};
