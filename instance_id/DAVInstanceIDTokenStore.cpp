#include "instance_id/DAVInstanceIDTokenStore.hpp"

#include "instance_id/DAVInstanceIDLogger.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "platform/security/SecBase.hpp"

namespace {

std::string tokenStoreErrorText(const DAVInstanceIDErrorSlot& error) {
    return error ? error->description() : std::string("(null)");
}

} // namespace

DAVInstanceIDTokenStore::DAVInstanceIDTokenStore(std::unique_ptr<DAVInstanceIDAuthKeychain> keychain)
    : keychain_(std::move(keychain)) {}

std::unique_ptr<DAVInstanceIDTokenStore> DAVInstanceIDTokenStore::defaultStore() {
    return std::make_unique<DAVInstanceIDTokenStore>(
        std::make_unique<DAVInstanceIDAuthKeychain>(kDAVInstanceIDTokenKeychainGeneric));
}

std::string DAVInstanceIDTokenStore::serviceKeyForAuthorizedEntity(const std::string& authorizedEntity,
                                                                   const std::string& scope) {
    return authorizedEntity + ":" + scope;
}

std::shared_ptr<DAVInstanceIDTokenInfo>
DAVInstanceIDTokenStore::tokenInfoFromKeychainItem(const DAVInstanceIDAuthKeychainItem& item) {
    if (item.data.empty()) {
        return nullptr;
    }
    auto info = DAVInstanceIDTokenInfo::unarchive(item.data);
    if (!info) {
        DAVInstanceIDLoggerDebug(
            15015, "Unable to parse token info from Keychain item; item was in an invalid format");
    }
    return info;
}

std::shared_ptr<DAVInstanceIDTokenInfo>
DAVInstanceIDTokenStore::tokenInfoWithAuthorizedEntity(const std::string& authorizedEntity,
                                                       const std::string& scope) const {
    DAVInstanceIDErrorSlot error;
    const auto item = keychain_->itemForService(serviceKeyForAuthorizedEntity(authorizedEntity, scope),
                                                DAVInstanceIDAppIdentifier(), &error);
    if (item) {
        return tokenInfoFromKeychainItem(*item);
    }
    if (error && error->code != plat::errSecItemNotFound) {
        DAVInstanceIDLoggerInfo(15000, "Couldn't retrieve token from Keychain: %@",
                                tokenStoreErrorText(error));
    }
    return nullptr;
}

std::vector<std::shared_ptr<DAVInstanceIDTokenInfo>> DAVInstanceIDTokenStore::cachedTokenInfos() const {
    DAVInstanceIDErrorSlot error;
    const auto items = keychain_->itemsMatchingService(kDAVInstanceIDKeychainWildcardIdentifier,
                                                       DAVInstanceIDAppIdentifier(), &error);
    if (error) {
        DAVInstanceIDLoggerWarning(15014, "Couldn't retrieve cached tokens from Keychain: %@",
                                   tokenStoreErrorText(error));
    }
    std::vector<std::shared_ptr<DAVInstanceIDTokenInfo>> infos;
    for (const auto& item : items) {
        if (auto info = tokenInfoFromKeychainItem(item)) {
            infos.push_back(std::move(info));
        }
    }
    return infos;
}

bool DAVInstanceIDTokenStore::saveTokenInfo(DAVInstanceIDTokenInfo& tokenInfo) const {
    tokenInfo.setCacheTime(plat::Date::now());
    DAVInstanceIDErrorSlot error;
    const auto archive = tokenInfo.archivedData();
    bool saved = false;
    if (archive) {
        saved = keychain_->setData(
            *archive, serviceKeyForAuthorizedEntity(tokenInfo.authorizedEntity(), tokenInfo.scope()),
            std::nullopt, DAVInstanceIDAppIdentifier(), &error);
    }
    if (!saved) {
        DAVInstanceIDLoggerError(15006, "Error unable to save token info to keychain %@",
                                 tokenStoreErrorText(error));
    } else {
        DAVInstanceIDLoggerInfo(15007, "Cached new token info for authorizedEntity: %@, scope: %@",
                                tokenInfo.authorizedEntity(), tokenInfo.scope());
    }
    return saved;
}

bool DAVInstanceIDTokenStore::removeTokenWithAuthorizedEntity(const std::string& authorizedEntity,
                                                              const std::string& scope,
                                                              DAVInstanceIDErrorSlot* error) const {
    DAVInstanceIDErrorSlot local;
    if (keychain_->removeItemsMatchingService(serviceKeyForAuthorizedEntity(authorizedEntity, scope),
                                              DAVInstanceIDAppIdentifier(), &local)) {
        DAVInstanceIDLoggerInfo(15009,
                                "Successfully removed token from keychain for auth entity: %@ scope: %@",
                                authorizedEntity, scope);
        DAVInstanceIDClearError(error);
        return true;
    }
    DAVInstanceIDLoggerError(15008, "Error failed to delete token from Keychain %@",
                             tokenStoreErrorText(local));
    if (local) {
        DAVInstanceIDSetError(error, *local);
    }
    return false;
}

bool DAVInstanceIDTokenStore::removeAllTokensWithError(DAVInstanceIDErrorSlot* error) const {
    DAVInstanceIDErrorSlot local;
    if (keychain_->removeItemsMatchingService(kDAVInstanceIDKeychainWildcardIdentifier,
                                              DAVInstanceIDAppIdentifier(), &local)) {
        DAVInstanceIDLoggerInfo(15013, "Successfully removed all IID tokens");
        DAVInstanceIDClearError(error);
        return true;
    }
    DAVInstanceIDLoggerError(15012, "Error failed to remove all tokens from keychain %@",
                             tokenStoreErrorText(local));
    if (local) {
        DAVInstanceIDSetError(error, *local);
    }
    return false;
}
