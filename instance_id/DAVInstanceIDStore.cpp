#include "instance_id/DAVInstanceIDStore.hpp"

#include "core/DVUUserDefaults.hpp"
#include "instance_id/DAVInstanceIDConstants.hpp"
#include "instance_id/DAVInstanceIDLogger.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "platform/foundation/FileManager.hpp"

DAVInstanceIDStore::DAVInstanceIDStore(std::weak_ptr<DAVInstanceIDStoreDelegate> delegate)
    : DAVInstanceIDStore(std::make_unique<DAVInstanceIDCheckinStore>(kDAVInstanceIDCheckinFileName,
                                                                     kDAVInstanceIDSubDirectoryName),
                         DAVInstanceIDTokenStore::defaultStore(), std::move(delegate)) {}

DAVInstanceIDStore::DAVInstanceIDStore(std::unique_ptr<DAVInstanceIDCheckinStore> checkinStore,
                                       std::unique_ptr<DAVInstanceIDTokenStore> tokenStore,
                                       std::weak_ptr<DAVInstanceIDStoreDelegate> delegate)
    : delegate_(std::move(delegate)), checkinStore_(std::move(checkinStore)),
      tokenStore_(std::move(tokenStore)) {
    resetCredentialsIfNeeded();
    saveLibraryVersion();
}

std::string DAVInstanceIDStore::pathForApplicationSupportSubDirectory(const std::string& subDirectoryName) {
    const auto urls = plat::FileManager::defaultManager().urls(plat::SearchPathDirectory::ApplicationSupport,
                                                               plat::UserDomainMask);
    const std::string base = urls.empty() ? std::string() : urls.back();
    return base + "/" + subDirectoryName;
}

bool DAVInstanceIDStore::hasApplicationSupportSubDirectory(const std::string& subDirectoryName) {
    bool isDirectory = false;
    return plat::FileManager::defaultManager().fileExists(
               pathForApplicationSupportSubDirectory(subDirectoryName), &isDirectory) &&
           isDirectory;
}

bool DAVInstanceIDStore::createApplicationSupportSubDirectory(const std::string& subDirectoryName) {
    const std::string path = pathForApplicationSupportSubDirectory(subDirectoryName);
    auto& files = plat::FileManager::defaultManager();
    bool isDirectory = false;
    if (files.fileExists(path, &isDirectory)) {
        if (isDirectory) {
            return true;
        }
        DAVInstanceIDLoggerError(13001, "Found file instead of directory at %@", path);
        return false;
    }
    if (auto created = files.createDirectory(path, true); !created) {
        DAVInstanceIDLoggerError(13000, "Cannot create directory %@, error: %@", path,
                                 created.error().description());
        return false;
    }
    return true;
}

bool DAVInstanceIDStore::removeApplicationSupportSubDirectory(const std::string& subDirectoryName,
                                                              DAVInstanceIDErrorSlot* error) {
    if (!hasApplicationSupportSubDirectory(subDirectoryName)) {
        return true;
    }
    auto removed = plat::FileManager::defaultManager().removeItem(
        pathForApplicationSupportSubDirectory(subDirectoryName));
    if (!removed) {
        DAVInstanceIDSetError(error, removed.error());
        return false;
    }
    return true;
}

void DAVInstanceIDStore::resetCredentialsIfNeeded() {
    if (hasSavedLibraryVersion()) {
        return;
    }
    std::shared_ptr<DAVInstanceIDCheckinPreferences> preferences;
    if (!checkinStore_->hasCheckinPlist()) {
        preferences = checkinStore_->cachedCheckinPreferences();
        DAVInstanceIDErrorSlot error;
        if (checkinStore_->removeCheckinPreferencesWithError(&error)) {
            DAVInstanceIDLoggerDebug(13002, "Removed cached checkin preferences from Keychain.");
        } else {
            DAVInstanceIDLoggerError(13003, "Couldn't remove cached checkin preferences. Error: %@",
                                     error ? error->description() : std::string("(null)"));
        }
    }
    if (preferences && !preferences->deviceID().value_or("").empty() &&
        !preferences->secretToken().value_or("").empty()) {
        DAVInstanceIDLoggerDebug(13006, "App reset detected. Will delete server registrations.");
        if (auto delegate = delegate_.lock()) {
            delegate->storeDidDeleteVCMScopedTokensForCheckin(*this, *preferences);
        }
    } else {
        DAVInstanceIDLoggerDebug(13009,
                                 "App reset detected but no valid checkin auth preferences found. Will not "
                                 "delete server registrations.");
    }
}

void DAVInstanceIDStore::saveLibraryVersion() {
    DVUUserDefaults::standardUserDefaults().setObject(plat::Value(DAVInstanceIDLibraryVersion()),
                                                      kDAVInstanceIDLibraryVersionKey);
    DAVInstanceIDLoggerInfo(13010, "InstanceID library version %@", DAVInstanceIDLibraryVersion());
}

std::optional<plat::Value> DAVInstanceIDStore::currentSavedLibraryVersion() const {
    return DVUUserDefaults::standardUserDefaults().objectForKey(kDAVInstanceIDLibraryVersionKey);
}

bool DAVInstanceIDStore::hasSavedLibraryVersion() const {
    return currentSavedLibraryVersion().has_value();
}

std::shared_ptr<DAVInstanceIDTokenInfo>
DAVInstanceIDStore::tokenInfoWithAuthorizedEntity(const std::string& authorizedEntity,
                                                  const std::string& scope) const {
    if (authorizedEntity.empty() || scope.empty()) {
        return nullptr;
    }
    return tokenStore_->tokenInfoWithAuthorizedEntity(authorizedEntity, scope);
}

std::vector<std::shared_ptr<DAVInstanceIDTokenInfo>> DAVInstanceIDStore::cachedTokenInfos() const {
    return tokenStore_->cachedTokenInfos();
}

bool DAVInstanceIDStore::saveTokenInfo(DAVInstanceIDTokenInfo& tokenInfo) const {
    return tokenStore_->saveTokenInfo(tokenInfo);
}

void DAVInstanceIDStore::removeCachedTokenWithAuthorizedEntity(const std::string& authorizedEntity,
                                                               const std::string& scope) const {
    if (authorizedEntity.empty() || scope.empty()) {
        DAVInstanceIDLoggerError(13012, "Will not delete token with invalid entity: %@, scope: %@",
                                 authorizedEntity, scope);
        return;
    }
    DAVInstanceIDErrorSlot ignored;
    tokenStore_->removeTokenWithAuthorizedEntity(authorizedEntity, scope, &ignored);
}

bool DAVInstanceIDStore::removeAllCachedTokensWithError(DAVInstanceIDErrorSlot* error) const {
    return tokenStore_->removeAllTokensWithError(error);
}

bool DAVInstanceIDStore::saveCheckinPreferences(const DAVInstanceIDCheckinPreferences& preferences,
                                                DAVInstanceIDErrorSlot* error) {
    return checkinStore_->saveCheckinPreferences(preferences, error);
}

std::shared_ptr<DAVInstanceIDCheckinPreferences> DAVInstanceIDStore::cachedCheckinPreferences() {
    return checkinStore_->cachedCheckinPreferences();
}

bool DAVInstanceIDStore::removeCheckinPreferences(DAVInstanceIDErrorSlot* error) {
    return checkinStore_->removeCheckinPreferencesWithError(error);
}
