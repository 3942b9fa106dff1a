#include "instance_id/DAVInstanceIDTokenManager.hpp"

#include "instance_id/DAVInstanceIDConstants.hpp"
#include "instance_id/DAVInstanceIDLogger.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "platform/dispatch/DispatchQueue.hpp"

std::shared_ptr<DAVInstanceIDTokenManager> DAVInstanceIDTokenManager::make() {
    auto manager = std::make_shared<DAVInstanceIDTokenManager>(Key{});
    manager->init();
    return manager;
}

DAVInstanceIDTokenManager::DAVInstanceIDTokenManager(Key) {}

void DAVInstanceIDTokenManager::init() {
    configureTokenOperations();
    instanceIDStore_ = std::make_shared<DAVInstanceIDStore>(
        std::weak_ptr<DAVInstanceIDStoreDelegate>(weak_from_this()));
    authService_ = std::make_shared<DAVInstanceIDAuthService>(instanceIDStore_);
}

DAVInstanceIDTokenManager::~DAVInstanceIDTokenManager() {
    stopAllTokenOperations();
}

void DAVInstanceIDTokenManager::configureTokenOperations() {
    tokenOperations_ = plat::OperationQueue::create(kDAVInstanceIDTokenOperationsQueueName);
    tokenOperations_->setMaxConcurrentOperationCount(1);
    tokenOperations_->setQualityOfService(plat::QoS::utility);
}

void DAVInstanceIDTokenManager::fetchNewTokenWithAuthorizedEntity(
    const std::string& authorizedEntity, const std::string& scope,
    std::shared_ptr<const DAVInstanceIDKeyPair> keyPair, const plat::Dictionary& options, FetchHandler handler) {
    DAVInstanceIDLoggerDebug(14000, "Fetch new token for authorizedEntity: %@, scope: %@", authorizedEntity,
                             scope);
    auto operation = createFetchOperationWithAuthorizedEntity(authorizedEntity, scope, options, std::move(keyPair));
    std::weak_ptr<DAVInstanceIDTokenManager> weak = weak_from_this();
    operation->addCompletionHandler([weak, authorizedEntity, scope, options, handler = std::move(handler)](
                                        DAVInstanceIDTokenOperationResult, std::optional<std::string> token,
                                        std::optional<plat::Error> error) {
        plat::DispatchQueue::main()->async([weak, authorizedEntity, scope, options, handler,
                                            token = std::move(token), error = std::move(error)] {
            if (error) {
                if (handler) {
                    handler(std::nullopt, error);
                }
                return;
            }
            // A cancelled fetch ends with neither token nor error: nothing to store, and the caller still
            // learns that no token came.
            auto self = weak.lock();
            if (!token || !self) {
                if (handler) {
                    handler(std::nullopt, errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeUnknown));
                }
                return;
            }
            std::optional<std::string> appID;
            if (const auto* value = options.find(kDAVInstanceIDTokenOptionsVedudoduAppIDKey);
                value && value->isString()) {
                appID = value->asString();
            }
            DAVInstanceIDTokenInfo info(authorizedEntity, scope, *token, DAVInstanceIDAppVersion(), appID);
            info.setAPNSInfo(DAVInstanceIDAPNSInfo::initWithTokenOptionsDictionary(options));
            if (self->instanceIDStore_->saveTokenInfo(info)) {
                DAVInstanceIDLoggerDebug(14001, "Token fetch successful, token: %@, authorizedEntity: %@, scope:%@",
                                         *token, authorizedEntity, scope);
                if (handler) {
                    handler(token, std::nullopt);
                }
            } else if (handler) {
                handler(std::nullopt, errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeTokenSaveFailed));
            }
        });
    });
    tokenOperations_->addOperation(operation);
}

std::shared_ptr<DAVInstanceIDTokenInfo>
DAVInstanceIDTokenManager::cachedTokenInfoWithAuthorizedEntity(const std::string& authorizedEntity,
                                                               const std::string& scope) const {
    return instanceIDStore_->tokenInfoWithAuthorizedEntity(authorizedEntity, scope);
}

namespace {

// The operation's outcome, handed to the caller on the main queue.
void addMainQueueDeleteHandler(DAVInstanceIDTokenOperation& operation,
                               DAVInstanceIDTokenManager::DeleteHandler handler) {
    if (!handler) {
        return;
    }
    operation.addCompletionHandler([handler = std::move(handler)](DAVInstanceIDTokenOperationResult,
                                                                  std::optional<std::string>,
                                                                  std::optional<plat::Error> error) {
        plat::DispatchQueue::main()->async([handler, error = std::move(error)] { handler(error); });
    });
}

} // namespace

void DAVInstanceIDTokenManager::deleteTokenWithAuthorizedEntity(const std::string& authorizedEntity,
                                                                const std::string& scope,
                                                                std::shared_ptr<const DAVInstanceIDKeyPair> keyPair,
                                                                DeleteHandler handler) {
    if (instanceIDStore_->tokenInfoWithAuthorizedEntity(authorizedEntity, scope)) {
        instanceIDStore_->removeCachedTokenWithAuthorizedEntity(authorizedEntity, scope);
    }
    auto operation = createDeleteOperationWithAuthorizedEntity(authorizedEntity, scope,
                                                               authService_->checkinPreferences(),
                                                               std::move(keyPair), DAVInstanceIDTokenActionDelete);
    addMainQueueDeleteHandler(*operation, std::move(handler));
    tokenOperations_->addOperation(operation);
}

void DAVInstanceIDTokenManager::deleteAllTokensWithKeyPair(std::shared_ptr<const DAVInstanceIDKeyPair> keyPair,
                                                           DeleteHandler handler) {
    auto checkin = authService_->checkinPreferences();
    if (!checkin) {
        if (handler) {
            plat::DispatchQueue::main()->async([handler = std::move(handler)] { handler(std::nullopt); });
        }
        return;
    }
    auto operation = createDeleteOperationWithAuthorizedEntity(kDAVInstanceIDDefaultTokenScope,
                                                               kDAVInstanceIDDefaultTokenScope, std::move(checkin),
                                                               std::move(keyPair),
                                                               DAVInstanceIDTokenActionDeleteAll);
    addMainQueueDeleteHandler(*operation, std::move(handler));
    tokenOperations_->addOperation(operation);
}

bool DAVInstanceIDTokenManager::deleteAllTokensLocallyWithError(DAVInstanceIDErrorSlot* error) {
    return instanceIDStore_->removeAllCachedTokensWithError(error);
}

void DAVInstanceIDTokenManager::stopAllTokenOperations() {
    if (authService_) {
        authService_->stopCheckinRequest();
    }
    if (tokenOperations_) {
        tokenOperations_->cancelAllOperations();
    }
}

void DAVInstanceIDTokenManager::storeDidDeleteVCMScopedTokensForCheckin(DAVInstanceIDStore&,
                                                                        const DAVInstanceIDCheckinPreferences& checkin) {
    auto operation = createDeleteOperationWithAuthorizedEntity(
        std::nullopt, std::nullopt, std::make_shared<const DAVInstanceIDCheckinPreferences>(checkin), nullptr,
        DAVInstanceIDTokenActionDelete);
    operation->addCompletionHandler(
        [](DAVInstanceIDTokenOperationResult, std::optional<std::string>, std::optional<plat::Error> error) {
            if (error) {
                DAVInstanceIDLoggerDebug(14006, "Failed to delete RCM server registrations on app reset.");
            } else {
                DAVInstanceIDLoggerDebug(14007, "Successfully deleted RCM server registrations on app reset");
            }
        });
    tokenOperations_->addOperation(operation);
}

std::shared_ptr<DAVInstanceIDTokenOperation> DAVInstanceIDTokenManager::createFetchOperationWithAuthorizedEntity(
    const std::string& authorizedEntity, const std::string& scope, const plat::Dictionary& options,
    std::shared_ptr<const DAVInstanceIDKeyPair> keyPair) {
    return std::make_shared<DAVInstanceIDTokenFetchOperation>(authorizedEntity, scope, options,
                                                              authService_->checkinPreferences(),
                                                              std::move(keyPair));
}

std::shared_ptr<DAVInstanceIDTokenOperation> DAVInstanceIDTokenManager::createDeleteOperationWithAuthorizedEntity(
    std::optional<std::string> authorizedEntity, std::optional<std::string> scope,
    std::shared_ptr<const DAVInstanceIDCheckinPreferences> checkinPreferences,
    std::shared_ptr<const DAVInstanceIDKeyPair> keyPair, DAVInstanceIDTokenAction action) {
    return std::make_shared<DAVInstanceIDTokenDeleteOperation>(std::move(authorizedEntity), std::move(scope),
                                                               std::move(checkinPreferences), std::move(keyPair),
                                                               action);
}

bool DAVInstanceIDTokenManager::checkForTokenRefreshPolicy() {
    bool defaultScopeStale = false;
    std::vector<std::shared_ptr<DAVInstanceIDTokenInfo>> stale;
    for (const auto& info : instanceIDStore_->cachedTokenInfos()) {
        if (info->isFresh()) {
            continue;
        }
        if (info->scope() == kDAVInstanceIDDefaultTokenScope) {
            defaultScopeStale = true;
        } else {
            stale.push_back(info);
        }
        DAVInstanceIDLoggerDebug(14012, "Invalidating cached token for %@ (%@) due to token is no longer fresh.",
                                 info->authorizedEntity(), info->scope());
    }
    for (const auto& info : stale) {
        instanceIDStore_->removeCachedTokenWithAuthorizedEntity(info->authorizedEntity(), info->scope());
    }
    return defaultScopeStale;
}

std::vector<std::shared_ptr<DAVInstanceIDTokenInfo>>
DAVInstanceIDTokenManager::updateTokensToAPNSDeviceToken(const plat::Data& deviceToken, bool isSandbox) {
    auto info = std::make_shared<DAVInstanceIDAPNSInfo>(deviceToken, isSandbox);
    {
        std::lock_guard lock(mutex_);
        if (currentAPNSInfo_ && currentAPNSInfo_->isEqualToAPNSInfo(info.get())) {
            return {};
        }
        currentAPNSInfo_ = info;
    }
    std::vector<std::shared_ptr<DAVInstanceIDTokenInfo>> invalid;
    for (const auto& cached : instanceIDStore_->cachedTokenInfos()) {
        if (!cached->APNSInfo() || !info->isEqualToAPNSInfo(cached->APNSInfo().get())) {
            invalid.push_back(cached);
        }
    }
    for (const auto& cached : invalid) {
        DAVInstanceIDLoggerDebug(14011, "Invalidating cached token for %@ (%@) due to APNs token change.",
                                 cached->authorizedEntity(), cached->scope());
        instanceIDStore_->removeCachedTokenWithAuthorizedEntity(cached->authorizedEntity(), cached->scope());
    }
    return invalid;
}

std::shared_ptr<DAVInstanceIDAPNSInfo> DAVInstanceIDTokenManager::currentAPNSInfo() const {
    std::lock_guard lock(mutex_);
    return currentAPNSInfo_;
}
