#include "instance_id/DAVInstanceIDCheckinStore.hpp"

#include "instance_id/DAVInstanceIDLogger.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "platform/security/SecBase.hpp"

namespace {

std::string describeCheckinError(const DAVInstanceIDErrorSlot& error) {
    return error ? error->description() : std::string();
}

std::string plistString(const plat::Dictionary& dict, const char* key) {
    const plat::Value* value = dict.find(key);
    return value && value->isString() ? value->asString() : std::string();
}

// The older plist layout that still held the credentials had exactly this many entries.
constexpr std::size_t kOldLayoutPlistEntryCount = 6;

} // namespace

DAVInstanceIDCheckinStore::DAVInstanceIDCheckinStore(const std::string& checkinFileName,
                                                     const std::string& applicationSupportSubDirectory)
    : DAVInstanceIDCheckinStore(
          std::make_unique<DAVInstanceIDBackupExcludedPlist>(checkinFileName, applicationSupportSubDirectory),
          std::make_unique<DAVInstanceIDAuthKeychain>(kDAVInstanceIDCheckinKeychainGeneric)) {}

DAVInstanceIDCheckinStore::DAVInstanceIDCheckinStore(std::unique_ptr<DAVInstanceIDBackupExcludedPlist> plist,
                                                     std::unique_ptr<DAVInstanceIDAuthKeychain> keychain)
    : plist_(std::move(plist)), keychain_(std::move(keychain)) {}

const std::string& DAVInstanceIDCheckinStore::bundleIdentifierForKeychainAccount() {
    static const std::string identifier = DAVInstanceIDAppIdentifier();
    return identifier;
}

bool DAVInstanceIDCheckinStore::hasCheckinPlist() const {
    return plist_->doesFileExist();
}

bool DAVInstanceIDCheckinStore::saveCheckinPreferences(const DAVInstanceIDCheckinPreferences& preferences,
                                                       DAVInstanceIDErrorSlot* error) {
    const auto keychainContent = preferences.checkinKeychainContent();
    const plat::Dictionary plistContents = preferences.checkinPlistContents();
    if (!keychainContent || keychainContent->empty()) {
        DAVInstanceIDLoggerDebug(8000, "Failed to get checkin keychain content from memory.");
        return false;
    }
    if (plistContents.empty()) {
        DAVInstanceIDLoggerDebug(8001, "Failed to get checkin plist contents from memory.");
        return false;
    }
    const bool writesCredentials = !preferences.hasPreCachedAuthCredentials();
    if (writesCredentials) {
        const plat::Data data(keychainContent->begin(), keychainContent->end());
        if (!keychain_->setData(data, kDAVInstanceIDCheckinKeychainService, std::nullopt,
                                bundleIdentifierForKeychainAccount(), error)) {
            DAVInstanceIDLoggerDebug(8002, "Failed to save checkin auth credentials to Keychain %@",
                                     error ? describeCheckinError(*error) : std::string());
            return false;
        }
    }
    if (plist_->writeDictionary(plistContents, error)) {
        return true;
    }
    // Credentials this save did not write were stored by an earlier, successful save: deleting them would
    // make the device check in as a new one and orphan its registrations.
    if (!writesCredentials) {
        return false;
    }
    DAVInstanceIDLoggerDebug(8003, "Failed to save checkin plist contents.Will delete auth credentials");
    DAVInstanceIDErrorSlot removeError;
    if (!keychain_->removeItemsMatchingService(kDAVInstanceIDCheckinKeychainService,
                                               bundleIdentifierForKeychainAccount(), &removeError)) {
        DAVInstanceIDLoggerDebug(8004, "Failed to remove checkin auth credentials from Keychain %@.",
                                 describeCheckinError(removeError));
    }
    return false;
}

bool DAVInstanceIDCheckinStore::removeCheckinPreferencesWithError(DAVInstanceIDErrorSlot* error) {
    if (keychain_->removeItemsMatchingService(kDAVInstanceIDCheckinKeychainService,
                                              bundleIdentifierForKeychainAccount(), error)) {
        return plist_->deleteFile(error);
    }
    if (error) {
        DAVInstanceIDLoggerError(8005, "Failed to remove checkin auth credentials from Keychain %@",
                                 describeCheckinError(*error));
    }
    return false;
}

std::shared_ptr<DAVInstanceIDCheckinPreferences> DAVInstanceIDCheckinStore::cachedCheckinPreferences() {
    (void)migrateCheckinItemIfNeeded();

    DAVInstanceIDErrorSlot error;
    const auto item = keychain_->itemForService(kDAVInstanceIDCheckinKeychainService,
                                                bundleIdentifierForKeychainAccount(), &error);
    if (error) {
        if (error->code != plat::errSecItemNotFound) {
            DAVInstanceIDLoggerError(8006, "Failed to read checkin auth credentials from keychain %@",
                                     error->description());
        }
        return nullptr;
    }
    std::shared_ptr<DAVInstanceIDCheckinPreferences> preferences;
    if (item) {
        preferences = DAVInstanceIDCheckinPreferences::preferencesFromKeychainContents(
            std::string(item->data.begin(), item->data.end()));
    }
    const plat::Dictionary contents = plist_->contentAsDictionary().value_or(plat::Dictionary{});
    const std::string oldDeviceID = plistString(contents, kDAVInstanceIDCheckinOldDeviceIDKey);
    const std::string oldSecret = plistString(contents, kDAVInstanceIDCheckinOldSecretTokenKey);
    const bool hasOldCredentials = !oldDeviceID.empty() && !oldSecret.empty();
    if (!preferences) {
        if (!hasOldCredentials) {
            return nullptr;
        }
        preferences = std::make_shared<DAVInstanceIDCheckinPreferences>(oldDeviceID, oldSecret);
    } else if (contents.size() == kOldLayoutPlistEntryCount && hasOldCredentials) {
        preferences = std::make_shared<DAVInstanceIDCheckinPreferences>(oldDeviceID, oldSecret);
    }
    preferences->updateWithCheckinPlistContents(contents);
    return preferences;
}

bool DAVInstanceIDCheckinStore::migrateCheckinItemIfNeeded() {
    DAVInstanceIDErrorSlot error;
    const auto old = keychain_->itemForService(kDAVInstanceIDLegacyCheckinKeychainService,
                                               kDAVInstanceIDLegacyCheckinKeychainAccount, &error);
    if (!old) {
        return false;
    }
    // The older item goes only once its credentials are safely stored under the new name.
    if (keychain_->setData(old->data, kDAVInstanceIDCheckinKeychainService, std::nullopt,
                           bundleIdentifierForKeychainAccount(), &error)) {
        (void)keychain_->removeItemsMatchingService(kDAVInstanceIDLegacyCheckinKeychainService,
                                                    kDAVInstanceIDLegacyCheckinKeychainAccount, &error);
    }
    if (error) {
        DAVInstanceIDLoggerDebug(8008, "Unable to migrate checkin. Error: %@", error->description());
        return false;
    }
    DAVInstanceIDLoggerDebug(8007, "Migrated checkin to new Keychain service/account");
    return true;
}
