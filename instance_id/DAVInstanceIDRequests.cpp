// The token and identity requests of the instance-ID facade, the binding of tokens to the APNs device token,
// and the push environment read from the app's provisioning profile.

#include "instance_id/DAVInstanceID.hpp"
#include "instance_id/DAVInstanceIDConstants.hpp"
#include "instance_id/DAVInstanceIDLogger.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/Once.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/PropertyList.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

namespace rt = plat::rt;

namespace {

constexpr double kDeleteIdentityRefetchDelaySeconds = 0.5;

void answerTokenOnMain(const DAVInstanceID::TokenHandler& handler, std::optional<std::string> token,
                       std::optional<plat::Error> error) {
    plat::DispatchQueue::main()->async(
        [handler, token = std::move(token), error = std::move(error)] { handler(token, error); });
}

std::optional<plat::Error> requestsValidationError(const std::string& authorizedEntity, const std::string& scope,
                                                   const plat::Dictionary* options, bool hasKeyPairStore) {
    if (options) {
        const auto* apnsToken = options->find(kDAVInstanceIDTokenOptionsAPNSKey);
        if (DAVInstanceIDIsMessagingScope(scope) && !apnsToken) {
            return errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeMissingAPNSToken);
        }
        if (DAVInstanceIDIsMessagingScope(scope) && !apnsToken->isData()) {
            return errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeInvalidAPNSToken);
        }
    }
    if (authorizedEntity.empty()) {
        return errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeInvalidAuthorizedEntity);
    }
    if (scope.empty()) {
        return errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeInvalidScope);
    }
    if (!hasKeyPairStore) {
        return errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeMissingKeyPairStore);
    }
    return std::nullopt;
}

plat::Error requestsKeyPairLoadError() {
    return errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeKeyPairLoadFailed);
}

// A check-in answer without credentials and without an error still means there are none to use.
plat::Error requestsCheckinError(const std::optional<plat::Error>& error) {
    return error ? *error : DAVInstanceIDErrorMissingCheckin();
}

} // namespace

void DAVInstanceID::tokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                              const std::optional<plat::Dictionary>& options, TokenHandler handler) {
    if (!handler) {
        DAVInstanceIDLoggerError(3000, "Invalid nil handler.");
        return;
    }
    plat::Dictionary tokenOptions = options.value_or(plat::Dictionary{});
    if (tokenOptions.contains(kDAVInstanceIDTokenOptionsAPNSKey) &&
        !tokenOptions.contains(kDAVInstanceIDTokenOptionsAPNSIsSandboxKey)) {
        tokenOptions.set(kDAVInstanceIDTokenOptionsAPNSIsSandboxKey, plat::Value(isSandboxApp()));
    }
    if (auto invalid = requestsValidationError(authorizedEntity, scope, &tokenOptions, keyPairStore_ != nullptr)) {
        answerTokenOnMain(handler, std::nullopt, std::move(invalid));
        return;
    }
    if (const auto appID = vedudoduAppID()) {
        tokenOptions.set(kDAVInstanceIDTokenOptionsVedudoduAppIDKey, plat::Value(*appID));
    }
    std::weak_ptr<DAVInstanceID> weak = weakSelf();
    fetchCheckinInfoWithHandler([weak, authorizedEntity, scope, tokenOptions, handler](
                                    std::shared_ptr<DAVInstanceIDCheckinPreferences> checkin,
                                    std::optional<plat::Error> error) {
        if (error || !checkin) {
            answerTokenOnMain(handler, std::nullopt, requestsCheckinError(error));
            return;
        }
        auto self = weak.lock();
        if (!self) {
            return;
        }
        // The default token that the refresh policy found stale stays cached only until it is fetched again:
        // answering it from the cache would never refresh it.
        const bool refreshing = self->defaultTokenNeedsRefresh_.load() && scope == kDAVInstanceIDDefaultTokenScope &&
                                self->vcmSenderID() == authorizedEntity;
        if (auto cached = self->tokenManager_->cachedTokenInfoWithAuthorizedEntity(authorizedEntity, scope);
            cached && !refreshing) {
            const auto optionsInfo = DAVInstanceIDAPNSInfo::initWithTokenOptionsDictionary(tokenOptions);
            const auto& recordInfo = cached->APNSInfo();
            if ((!optionsInfo && !recordInfo) || (recordInfo && recordInfo->isEqualToAPNSInfo(optionsInfo.get()))) {
                answerTokenOnMain(handler, cached->token(), std::nullopt);
                return;
            }
        }
        self->asyncLoadKeyPairWithHandler([weak, authorizedEntity, scope, tokenOptions, handler](
                                              std::shared_ptr<DAVInstanceIDKeyPair> keyPair,
                                              std::optional<plat::Error> loadError) {
            auto self = weak.lock();
            if (!keyPair || loadError || !self) {
                handler(std::nullopt, requestsKeyPairLoadError());
                return;
            }
            self->tokenManager_->fetchNewTokenWithAuthorizedEntity(authorizedEntity, scope, keyPair, tokenOptions,
                                                                   handler);
        });
    });
}

void DAVInstanceID::deleteTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                                    DeleteHandler handler) {
    if (!handler) {
        DAVInstanceIDLoggerError(3001, "Invalid nil handler.");
        return;
    }
    std::weak_ptr<DAVInstanceID> weak = weakSelf();
    // Every outcome passes here, on the main queue: a deleted default token is forgotten.
    DeleteHandler wrapped = [weak, authorizedEntity, scope, handler](std::optional<plat::Error> error) {
        plat::DispatchQueue::main()->async([weak, authorizedEntity, scope, handler, error] {
            auto self = weak.lock();
            if (self && !error && self->vcmSenderID() == authorizedEntity &&
                scope == kDAVInstanceIDDefaultTokenScope) {
                self->setDefaultVCMToken(std::nullopt);
            }
            handler(error);
        });
    };
    if (auto invalid = requestsValidationError(authorizedEntity, scope, nullptr, keyPairStore_ != nullptr)) {
        wrapped(std::move(invalid));
        return;
    }
    fetchCheckinInfoWithHandler([weak, authorizedEntity, scope, wrapped](
                                    std::shared_ptr<DAVInstanceIDCheckinPreferences> checkin,
                                    std::optional<plat::Error> error) {
        auto self = weak.lock();
        if (error || !checkin || !self) {
            wrapped(requestsCheckinError(error));
            return;
        }
        self->asyncLoadKeyPairWithHandler([weak, authorizedEntity, scope, wrapped](
                                              std::shared_ptr<DAVInstanceIDKeyPair> keyPair,
                                              std::optional<plat::Error> loadError) {
            auto self = weak.lock();
            if (!keyPair || loadError || !self) {
                wrapped(requestsKeyPairLoadError());
                return;
            }
            self->tokenManager_->deleteTokenWithAuthorizedEntity(authorizedEntity, scope, keyPair, wrapped);
        });
    });
}

void DAVInstanceID::getIDWithHandler(TokenHandler handler) {
    if (!handler) {
        DAVInstanceIDLoggerError(3003, "Invalid nil handler.");
        return;
    }
    if (!keyPairStore_) {
        answerTokenOnMain(handler, std::nullopt,
                          errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeMissingKeyPairStore));
        return;
    }
    // The identity may need a key pair generated: off the main queue. The default-token flags and the
    // handler belong to the main queue.
    std::weak_ptr<DAVInstanceID> weak = weakSelf();
    auto store = keyPairStore_;
    plat::DispatchQueue::global()->async([weak, store, handler] {
        DAVInstanceIDErrorSlot error;
        auto identity = store->appIdentityWithError(&error);
        plat::DispatchQueue::main()->async([weak, handler, identity = std::move(identity), error = std::move(error)] {
            if (auto self = weak.lock(); self && identity) {
                (void)self->token();
            }
            handler(identity, error);
        });
    });
}

void DAVInstanceID::deleteIDWithHandler(DeleteHandler handler) {
    if (!handler) {
        DAVInstanceIDLoggerError(3004, "Invalid nil handler.");
        return;
    }
    if (!keyPairStore_) {
        plat::DispatchQueue::main()->async([handler] {
            handler(errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeMissingKeyPairStore));
        });
        return;
    }
    std::weak_ptr<DAVInstanceID> weak = weakSelf();
    asyncLoadKeyPairWithHandler([weak, handler](std::shared_ptr<DAVInstanceIDKeyPair> keyPair,
                                                std::optional<plat::Error> loadError) {
        auto self = weak.lock();
        if (!keyPair || loadError || !self) {
            handler(requestsKeyPairLoadError());
            return;
        }
        self->tokenManager_->deleteAllTokensWithKeyPair(keyPair, [weak, handler](std::optional<plat::Error> error) {
            auto self = weak.lock();
            if (!error && self) {
                DAVInstanceIDErrorSlot slot;
                self->deleteIdentity(&slot);
                error = std::move(slot);
            }
            handler(error);
        });
    });
}

void DAVInstanceID::instanceIDWithHandler(ResultHandler handler) {
    std::weak_ptr<DAVInstanceID> weak = weakSelf();
    getIDWithHandler([weak, handler](std::optional<std::string> identity, std::optional<plat::Error> error) {
        auto self = weak.lock();
        if (error || !identity || !self) {
            if (handler) {
                handler(std::nullopt,
                        error ? error : errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeUnknown));
            }
            return;
        }
        DAVInstanceIDResult result{*identity, std::nullopt};
        if (auto cached = self->cachedTokenIfAvailable()) {
            result.token = cached;
            if (handler) {
                handler(result, std::nullopt);
            }
            return;
        }
        self->defaultTokenWithHandler([weak, handler, result](std::optional<std::string> token,
                                                              std::optional<plat::Error> error) mutable {
            auto self = weak.lock();
            if (error || !token) {
                DAVInstanceIDLoggerError(3007, "Failed to retrieve the default VCM token after %zd retries",
                                         self ? self->retryCountForDefaultToken() : std::int64_t{0});
                if (handler) {
                    handler(std::nullopt, error);
                }
                return;
            }
            DAVInstanceIDLoggerDebug(3008, "Got default token %@", *token);
            if (self) {
                self->takeDefaultToken(*token);
            }
            result.token = token;
            if (handler) {
                handler(result, std::nullopt);
            }
        });
    });
}

void DAVInstanceID::asyncLoadKeyPairWithHandler(KeyPairHandler handler) {
    auto store = keyPairStore_;
    plat::DispatchQueue::global()->async([store, handler] {
        DAVInstanceIDErrorSlot error;
        auto keyPair = store ? store->loadKeyPairWithError(&error) : nullptr;
        plat::DispatchQueue::main()->async([handler, keyPair, error = std::move(error)] {
            if (keyPair) {
                handler(keyPair, std::nullopt);
            } else if (error) {
                DAVInstanceIDLoggerDebug(3002, "Failed to retreieve keyPair %@", error->description());
                handler(nullptr, error);
            } else {
                handler(nullptr, requestsKeyPairLoadError());
            }
        });
    });
}

bool DAVInstanceID::deleteIdentity(DAVInstanceIDErrorSlot* error) {
    const bool tokensRemoved = tokenManager_->deleteAllTokensLocallyWithError(error);
    setDefaultVCMToken(std::nullopt);
    if (!tokensRemoved) {
        DAVInstanceIDLoggerDebug(2000, "Failed to delete tokens from the cache %@",
                                 error && *error ? (*error)->description() : std::string("(null)"));
        return false;
    }
    DAVInstanceIDErrorSlot keyPairError;
    DAVInstanceIDErrorSlot plistError;
    const bool keyPairDeleted = keyPairStore_->deleteSavedKeyPairWithSubtype("", &keyPairError);
    const bool plistRemoved = keyPairStore_->removeKeyPairCreationTimePlistWithError(&plistError);
    if (!keyPairDeleted || !plistRemoved) {
        const auto& underlying = !keyPairDeleted && keyPairError ? keyPairError : plistError;
        DAVInstanceIDSetError(
            error, plat::Error(kDAVInstanceIDDomain, kDAVInstanceIDErrorCodeUnknown, plat::Dictionary{},
                               underlying ? std::make_shared<const plat::Error>(*underlying) : nullptr));
        return false;
    }
    if (!tokenManager_->authService()->resetCheckin(error)) {
        return false;
    }
    DAVInstanceIDClearError(error);
    if (isVCMAutoInitEnabled()) {
        std::weak_ptr<DAVInstanceID> weak = weakSelf();
        plat::DispatchQueue::main()->asyncAfter(kDeleteIdentityRefetchDelaySeconds, [weak] {
            if (auto self = weak.lock()) {
                self->fetchDefaultToken();
            }
        });
    }
    return true;
}

void DAVInstanceID::notifyIdentityReset() {
    DAVInstanceIDErrorSlot ignored;
    deleteIdentity(&ignored);
}

void DAVInstanceID::notifyAPNSTokenIsSet(const plat::Notification& notification) {
    const auto* object = notification.userInfo.find(kDAVInstanceIDNotificationObjectKey);
    if (!object || !object->isData()) {
        DAVInstanceIDLoggerDebug(2002, "Invalid APNS token type %@",
                                 object ? object->className() : plat::Value().className());
        return;
    }
    const plat::Data& data = object->asData();
    std::int64_t type = 0;
    if (const auto* value = notification.userInfo.find(kDAVInstanceIDAPNSTokenTypeKey)) {
        type = value->integerValue();
    }
    {
        std::lock_guard lock(mutex_);
        if (apnsTokenData_ && *apnsTokenData_ == data) {
            DAVInstanceIDLoggerDebug(3011, "Trying to reset APNS token to the same value. Will return");
            return;
        }
    }
    const bool sandbox = type != 0 ? type == 1 : isSandboxApp();
    {
        std::lock_guard lock(mutex_);
        apnsTokenType_ = type;
        apnsTokenData_ = data;
        APNSTupleString_ = DAVInstanceIDAPNSTokenString(data, sandbox);
    }
    auto records = tokenManager_->updateTokensToAPNSDeviceToken(data, sandbox);
    if (!records.empty()) {
        refetchInvalidatedTokens(std::move(records), sandbox);
    }
}

void DAVInstanceID::refetchInvalidatedTokens(std::vector<std::shared_ptr<DAVInstanceIDTokenInfo>> records,
                                             bool sandbox) {
    std::weak_ptr<DAVInstanceID> weak = weakSelf();
    asyncLoadKeyPairWithHandler([weak, records = std::move(records), sandbox](
                                    std::shared_ptr<DAVInstanceIDKeyPair> keyPair, std::optional<plat::Error>) {
        auto self = weak.lock();
        // A register form without the identity would be refused: the records are already gone from the
        // cache, so the next request for each of them fetches it anew.
        if (!self || !keyPair) {
            return;
        }
        plat::Dictionary options;
        options.set(kDAVInstanceIDTokenOptionsAPNSKey, plat::Value(self->apnsTokenData().value_or(plat::Data{})));
        options.set(kDAVInstanceIDTokenOptionsAPNSIsSandboxKey, plat::Value(sandbox));
        if (const auto appID = self->vedudoduAppID()) {
            options.set(kDAVInstanceIDTokenOptionsVedudoduAppIDKey, plat::Value(*appID));
        }
        const auto defaultToken = self->defaultVCMToken();
        for (const auto& record : records) {
            if (defaultToken && record->token() == *defaultToken) {
                self->fetchDefaultToken();
            } else {
                self->tokenManager_->fetchNewTokenWithAuthorizedEntity(
                    record->authorizedEntity(), record->scope(), keyPair, options,
                    [](std::optional<std::string>, std::optional<plat::Error>) {});
            }
        }
    });
}

// Push environment.

bool DAVInstanceID::isSandboxApp() {
    static plat::OnceFlag once;
    static bool sandbox = false;
    plat::once(once, [] { sandbox = !isProductionApp(); });
    return sandbox;
}

void DAVInstanceID::logAPNSConfigurationError(const std::string& message) {
    if (rt::getClass("DAVMessaging")) {
        DAVInstanceIDLoggerError(3014, "%@", message);
    } else {
        DAVInstanceIDLoggerDebug(3015, "%@", message);
    }
}

bool DAVInstanceID::isProductionApp() {
    if (rt::Class* environment = rt::getClass("DAVAppEnvironmentUtil")) {
        if (rt::respondsTo(*environment, "isSimulator") && rt::msgSend<bool>(*environment, "isSimulator")) {
            logAPNSConfigurationError(
                "Running InstanceID on a simulator doesn't have APNS. Use prod profile by default.");
            return true;
        }
        if (rt::respondsTo(*environment, "isFromAppStore") && rt::msgSend<bool>(*environment, "isFromAppStore")) {
            return true;
        }
    }
    const std::string path = plat::Bundle::main()->bundlePath() + "/" + kDAVInstanceIDProvisioningProfileName;
    auto bytes = plat::readData(path);
    if (!bytes || bytes->empty()) {
        logAPNSConfigurationError(plat::format("Error while reading embedded mobileprovision %@",
                                               bytes ? std::string("(null)") : bytes.error().description()));
        return true;
    }
    // The profile is a signed envelope around an XML property list: everything outside printable ASCII
    // becomes '.', so the plist can be found as text.
    std::string text(bytes->begin(), bytes->end());
    for (char& c : text) {
        if (static_cast<signed char>(c) <= 0) {
            c = '.';
        }
    }
    const std::size_t start = text.find("<plist");
    if (start == std::string::npos) {
        return true;
    }
    const std::size_t end = text.find("</plist>", start);
    const std::string plistText =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start) + "</plist>";
    auto parsed = plat::PropertyListSerialization::propertyList(std::string_view(plistText));
    if (!parsed || !parsed->value.isDictionary()) {
        logAPNSConfigurationError(plat::format("Error while converting assumed plist to dict %@",
                                               parsed ? std::string("(null)") : parsed.error().description()));
        return true;
    }
    const plat::Dictionary& profile = parsed->value.asDictionary();
    if (const auto* devices = profile.find("ProvisionedDevices"); devices && !devices->isNull()) {
        DAVInstanceIDLoggerDebug(3012,
                                 "Provisioning profile has specifically provisioned devices, most likely a Dev profile.");
    }
    const plat::Value* environment = nullptr;
    if (const auto* entitlements = profile.find("Entitlements"); entitlements && entitlements->isDictionary()) {
        environment = entitlements->asDictionary().find("aps-environment");
    }
    DAVInstanceIDLoggerDebug(3013, "%@",
                             plat::format("APNS Environment in profile: %@", plat::Value::description(environment)));
    if (environment && environment->isString() && !environment->asString().empty()) {
        return environment->asString() != "development";
    }
    if (environment && !environment->isNull() && !environment->isString()) {
        // A value of another type is no known environment: production, as for every unreadable profile.
        return true;
    }
    logAPNSConfigurationError(
        "No aps-environment set. If testing on a device APNS is not correctly configured. Please recheck your "
        "provisioning profiles. If testing on a simulator this is fine since APNS doesn't work on the simulator.");
    return true;
}
