#pragma once
// Token records in the keychain, one item per authorized entity and scope, under the app identifier.

#include "instance_id/DAVInstanceIDAuthKeychain.hpp"
#include "instance_id/DAVInstanceIDTokenInfo.hpp"

#include <memory>
#include <string>
#include <vector>

inline constexpr const char* kDAVInstanceIDTokenKeychainGeneric = "com.razoza.iid-tokens";

class DAVInstanceIDTokenStore {
public:
    explicit DAVInstanceIDTokenStore(std::unique_ptr<DAVInstanceIDAuthKeychain> keychain);
    static std::unique_ptr<DAVInstanceIDTokenStore> defaultStore();

    static std::string serviceKeyForAuthorizedEntity(const std::string& authorizedEntity,
                                                     const std::string& scope);
    static std::shared_ptr<DAVInstanceIDTokenInfo>
    tokenInfoFromKeychainItem(const DAVInstanceIDAuthKeychainItem& item);

    // None for a missing record and for one that cannot be read.
    std::shared_ptr<DAVInstanceIDTokenInfo> tokenInfoWithAuthorizedEntity(const std::string& authorizedEntity,
                                                                          const std::string& scope) const;
    // Records that cannot be read are left out.
    std::vector<std::shared_ptr<DAVInstanceIDTokenInfo>> cachedTokenInfos() const;
    // Stamps the record's cache time, also when the write then fails.
    bool saveTokenInfo(DAVInstanceIDTokenInfo& tokenInfo) const;
    bool removeTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                         DAVInstanceIDErrorSlot* error) const;
    bool removeAllTokensWithError(DAVInstanceIDErrorSlot* error) const;

private:
    std::unique_ptr<DAVInstanceIDAuthKeychain> keychain_;
};
