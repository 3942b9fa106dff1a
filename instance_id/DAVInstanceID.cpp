#include "instance_id/DAVInstanceID.hpp"

#include "core/DAVErrorObject.hpp"
#include "instance_id/DAVInstanceIDConstants.hpp"
#include "instance_id/DAVInstanceIDLogger.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/NotificationQueue.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <algorithm>

namespace rt = plat::rt;

namespace {

constexpr const char* kMessagingClassName = "DAVMessaging";

// Posted on the main loop's next turn with the queue's default coalescing.
void enqueueInstanceIDNotification(const char* name, std::optional<plat::Value> object) {
    plat::Dictionary userInfo;
    if (object) {
        userInfo.set(kDAVInstanceIDNotificationObjectKey, std::move(*object));
    }
    plat::NotificationQueue::defaultQueue().enqueue(plat::Notification{name, nullptr, std::move(userInfo)},
                                                    plat::PostingStyle::asap);
}

std::optional<plat::Value> optionalTokenValue(const std::optional<std::string>& token) {
    return token ? std::optional<plat::Value>(plat::Value(*token)) : std::nullopt;
}

} // namespace

rt::Class* DAVInstanceID::runtimeClass() {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass("DAVInstanceID");
        rt::replaceMethod(rt::metaclass(c), "instanceID",
                          [](rt::Object&) -> rt::ObjectPtr { return DAVInstanceID::instanceID(); });
        rt::replaceMethod(c, "appInstanceID:",
                          [](DAVInstanceID& self, std::optional<plat::Error>* error) -> std::optional<std::string> {
                              return self.appInstanceID(error);
                          });
        return c;
    }();
    return cls;
}

void DAVInstanceID::load() {
    rt::Class* cls = runtimeClass();
    plat::NotificationCenter::defaultCenter().addObserver(
        cls, std::string(DAVApp::kReadyToConfigureSDKNotification), DAVApp::classObject(),
        [](const plat::Notification& notification) { didReceiveConfigureSDKNotification(notification); });
}

void DAVInstanceID::didReceiveConfigureSDKNotification(const plat::Notification& notification) {
    if (const auto* isDefault = notification.userInfo.find("DAVAppIsDefaultAppKey");
        isDefault && !isDefault->boolValue()) {
        DAVInstanceIDLoggerDebug(1002, "Vedudodu Instance ID only works with the default app.");
        return;
    }
    std::string name;
    if (const auto* value = notification.userInfo.find("DAVAppNameKey"); value && value->isString()) {
        name = value->asString();
    }
    auto app = DAVApp::appNamed(name);
    if (!app) {
        exitWithReason(plat::format("Could not find DAVApp named '%@'", name), nullptr);
    }
    instanceID()->configureInstanceIDWithOptions(app->options(), app);
}

std::shared_ptr<DAVInstanceID> DAVInstanceID::instanceID() {
    static plat::NeverDestroyed<std::shared_ptr<DAVInstanceID>> shared([] {
        auto made = initPrivately();
        made->start();
        return made;
    }());
    return shared.get();
}

plat::Error DAVInstanceID::configureErrorWithReason(const std::string& reason) {
    plat::Dictionary userInfo{
        {plat::NSLocalizedDescriptionKey, plat::Value(plat::format("Configuration failed for service %@.", "InstanceID"))},
        {plat::NSLocalizedFailureReasonErrorKey, plat::Value(reason.empty() ? "Unknown reason" : reason)}};
    return plat::Error(kDAVInstanceIDConfigureErrorDomain, -121, std::move(userInfo));
}

void DAVInstanceID::exitWithReason(const std::string& reason, const std::shared_ptr<DAVApp>& app) {
    if (app) {
        app->sendLogsWithServiceName("InstanceID", DAVInstanceIDLibraryVersion(), configureErrorWithReason(reason));
    }
    throw plat::Exception(kDAVInstanceIDConfigureErrorDomain,
                          plat::format("Could not configure Vedudodu InstanceID. %@", reason));
}

std::shared_ptr<DAVInstanceID> DAVInstanceID::initPrivately() {
    return rt::make<DAVInstanceID>(runtimeClass(), Key{});
}

DAVInstanceID::DAVInstanceID(rt::Class* cls, Key) : rt::Object(cls) {}

DAVInstanceID::~DAVInstanceID() {
    plat::NotificationCenter::defaultCenter().removeObserver(this);
}

std::weak_ptr<DAVInstanceID> DAVInstanceID::weakSelf() {
    return std::static_pointer_cast<DAVInstanceID>(shared_from_this());
}

void DAVInstanceID::start() {
    if (!DAVInstanceIDStore::hasApplicationSupportSubDirectory(kDAVInstanceIDSubDirectoryName)) {
        DAVInstanceIDStore::createApplicationSupportSubDirectory(kDAVInstanceIDSubDirectoryName);
    }
    setupTokenManager();
    setupKeyPairManager();
    setupNotificationListeners();
}

void DAVInstanceID::setupTokenManager() {
    tokenManager_ = DAVInstanceIDTokenManager::make();
}

void DAVInstanceID::setupKeyPairManager() {
    keyPairStore_ = std::make_shared<DAVInstanceIDKeyPairStore>();
    keyPairStore_->setDelegate(std::static_pointer_cast<DAVInstanceID>(shared_from_this()));
    keyPairStore_->invalidateKeyPairsIfNeeded();
}

void DAVInstanceID::setupNotificationListeners() {
    auto& center = plat::NotificationCenter::defaultCenter();
    center.removeObserver(this);
    std::weak_ptr<DAVInstanceID> weak = weakSelf();
    center.addObserver(this, std::string(kDAVInstanceIDIdentityInvalidatedNotification), nullptr,
                       [weak](const plat::Notification&) {
                           if (auto self = weak.lock()) {
                               self->notifyIdentityReset();
                           }
                       });
    center.addObserver(this, std::string(kDAVInstanceIDAPNSTokenNotification), nullptr,
                       [weak](const plat::Notification& notification) {
                           if (auto self = weak.lock()) {
                               self->notifyAPNSTokenIsSet(notification);
                           }
                       });
}

void DAVInstanceID::configureInstanceIDWithOptions(const std::shared_ptr<DAVOptions>& options,
                                                   const std::shared_ptr<DAVApp>& app) {
    const auto senderID = options ? options->RCMSenderID() : std::nullopt;
    if (!senderID || senderID->empty()) {
        DAVInstanceIDLoggerError(1000, "Vedudodu not set up correctly, nil or empty senderID.");
        exitWithReason("RCM_SENDER_ID must not be nil or empty.", app);
    }
    {
        std::lock_guard lock(mutex_);
        vcmSenderID_ = senderID;
        vedudoduAppID_ = app ? app->options()->razozaAppID() : options->razozaAppID();
    }
    didCompleteConfigure();
}

void DAVInstanceID::didCompleteConfigure() {
    if (cachedTokenIfAvailable()) {
        if (tokenManager_->checkForTokenRefreshPolicy()) {
            defaultTokenNeedsRefresh_.store(true);
            fetchDefaultToken();
        }
        setDefaultVCMToken(token());
    } else if (isVCMAutoInitEnabled()) {
        fetchDefaultToken();
        setDefaultVCMToken(token());
    }
    if (isVCMAutoInitEnabled()) {
        tokenManager_->authService()->scheduleCheckin(true);
    }
}

bool DAVInstanceID::isVCMAutoInitEnabled() const {
    rt::Class* messaging = rt::getClass(kMessagingClassName);
    if (!messaging) {
        return false;
    }
    if (!rt::respondsTo(*messaging, "messaging")) {
        return true;
    }
    auto client = rt::msgSend<rt::ObjectPtr>(*messaging, "messaging");
    if (!client || !rt::respondsTo(*client, "isAutoInitEnabled")) {
        return true;
    }
    return rt::msgSend<bool>(*client, "isAutoInitEnabled");
}

std::optional<std::string> DAVInstanceID::token() {
    const auto sender = vcmSenderID();
    if (!sender || sender->empty()) {
        return std::nullopt;
    }
    if (auto cached = cachedTokenIfAvailable()) {
        return cached;
    }
    fetchDefaultToken();
    return std::nullopt;
}

std::optional<std::string> DAVInstanceID::cachedTokenIfAvailable() {
    const auto sender = vcmSenderID();
    if (!sender || !tokenManager_) {
        return std::nullopt;
    }
    auto info = tokenManager_->cachedTokenInfoWithAuthorizedEntity(*sender, kDAVInstanceIDDefaultTokenScope);
    return info ? std::optional<std::string>(info->token()) : std::nullopt;
}

void DAVInstanceID::fetchDefaultToken() {
    // A fetch waiting for its retry is already the fetch this call would start.
    if (isFetchingDefaultToken_.load() || isDefaultTokenFetchScheduled_.load()) {
        return;
    }
    std::weak_ptr<DAVInstanceID> weak = weakSelf();
    defaultTokenWithHandler([weak](std::optional<std::string> token, std::optional<plat::Error> error) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (error || !token) {
            DAVInstanceIDLoggerError(3007, "Failed to retrieve the default VCM token after %zd retries",
                                     self->retryCountForDefaultToken());
            return;
        }
        DAVInstanceIDLoggerDebug(3008, "Got default token %@", *token);
        self->takeDefaultToken(*token);
    });
}

void DAVInstanceID::takeDefaultToken(const std::string& token) {
    const auto old = defaultVCMToken();
    setDefaultVCMToken(token);
    const auto current = defaultVCMToken();
    if (current && !current->empty() && current != old) {
        enqueueInstanceIDNotification(kDAVInstanceIDRefreshTokenNotification, plat::Value(*current));
    }
}

void DAVInstanceID::defaultTokenWithHandler(TokenHandler handler) {
    if (isFetchingDefaultToken_.load() || isDefaultTokenFetchScheduled_.load()) {
        if (handler) {
            std::lock_guard lock(mutex_);
            defaultTokenWaiters_.push_back(std::move(handler));
        }
        return;
    }
    const bool hasMessagingClass = rt::getClass(kMessagingClassName) != nullptr;
    const auto apnsToken = apnsTokenData();
    const std::int64_t apnsType = apnsTokenType();
    plat::Dictionary options;
    if (hasMessagingClass && apnsToken) {
        options.set(kDAVInstanceIDTokenOptionsAPNSKey, plat::Value(*apnsToken));
        options.set(kDAVInstanceIDTokenOptionsAPNSIsSandboxKey,
                    plat::Value(apnsType != 0 ? apnsType == 1 : isSandboxApp()));
    }
    const std::string sender = vcmSenderID().value_or("");
    isFetchingDefaultToken_.store(true);
    std::weak_ptr<DAVInstanceID> weak = weakSelf();
    tokenWithAuthorizedEntity(
        sender, kDAVInstanceIDDefaultTokenScope, options,
        [weak, options, hasMessagingClass, handler = std::move(handler)](std::optional<std::string> token,
                                                                         std::optional<plat::Error> error) {
            if (auto self = weak.lock()) {
                self->defaultTokenCompletedWithToken(std::move(token), std::move(error), options, hasMessagingClass,
                                                     handler);
            }
        });
}

void DAVInstanceID::defaultTokenCompletedWithToken(std::optional<std::string> token,
                                                   std::optional<plat::Error> error, const plat::Dictionary& options,
                                                   bool hadMessagingClass, TokenHandler handler) {
    isFetchingDefaultToken_.store(false);
    std::weak_ptr<DAVInstanceID> weak = weakSelf();
    if (error || !token) {
        if (!error) {
            error = errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeUnknown);
        }
        DAVInstanceIDLoggerError(3009, "Failed to fetch default token %@", error->description());
        enqueueInstanceIDNotification(kDAVInstanceIDDefaultTokenFailNotification,
                                      DAVErrorObject::valueWithError(*error));
        std::int64_t count = 0;
        {
            std::lock_guard lock(mutex_);
            retryCountForDefaultToken_ = std::min(retryCountForDefaultToken_ + 1, maxRetryCountForDefaultToken());
            count = retryCountForDefaultToken_;
        }
        if (count < maxRetryCountForDefaultToken()) {
            isDefaultTokenFetchScheduled_.store(true);
            plat::DispatchQueue::main()->asyncAfter(
                static_cast<double>(retryIntervalToFetchDefaultToken()), [weak, handler] {
                    if (auto self = weak.lock()) {
                        self->isDefaultTokenFetchScheduled_.store(false);
                        self->defaultTokenWithHandler(handler);
                    }
                });
            return;
        }
        if (handler) {
            handler(std::nullopt, error);
        }
        answerDefaultTokenWaiters(std::nullopt, error);
        return;
    }
    std::optional<std::string> tuple;
    const auto* apnsToken = options.find(kDAVInstanceIDTokenOptionsAPNSKey);
    if (apnsToken && apnsToken->isData()) {
        const auto* sandbox = options.find(kDAVInstanceIDTokenOptionsAPNSIsSandboxKey);
        tuple = DAVInstanceIDAPNSTokenString(apnsToken->asData(), sandbox && sandbox->boolValue());
    }
    const auto current = APNSTupleString();
    if ((tuple || current) && current != tuple && hadMessagingClass) {
        isDefaultTokenFetchScheduled_.store(true);
        plat::DispatchQueue::main()->async([weak, handler] {
            if (auto self = weak.lock()) {
                self->isDefaultTokenFetchScheduled_.store(false);
                self->defaultTokenWithHandler(handler);
            }
        });
        DAVInstanceIDLoggerDebug(3016, "Received APNS token while fetching default token. Refetching default token.");
        return;
    }
    defaultTokenNeedsRefresh_.store(false);
    DAVInstanceIDLoggerInfo(3010, "Successfully fetched default token.");
    if (handler) {
        handler(token, std::nullopt);
    }
    answerDefaultTokenWaiters(token, std::nullopt);
}

void DAVInstanceID::answerDefaultTokenWaiters(const std::optional<std::string>& token,
                                              const std::optional<plat::Error>& error) {
    std::vector<TokenHandler> waiters;
    {
        std::lock_guard lock(mutex_);
        waiters.swap(defaultTokenWaiters_);
    }
    for (auto& waiter : waiters) {
        waiter(token, error);
    }
}

std::int64_t DAVInstanceID::retryIntervalToFetchDefaultToken() const {
    const std::int64_t n = retryCountForDefaultToken();
    if (n >= maxRetryCountForDefaultToken()) {
        return maxRetryIntervalForDefaultTokenInSeconds();
    }
    const std::int64_t power = static_cast<std::int64_t>(std::int32_t{1} << n);
    return std::min(minIntervalForDefaultTokenRetry() * n + power, maxRetryIntervalForDefaultTokenInSeconds());
}

void DAVInstanceID::setDefaultVCMToken(std::optional<std::string> token) {
    {
        std::lock_guard lock(mutex_);
        if (token && defaultVCMToken_ && *token == *defaultVCMToken_) {
            return;
        }
        defaultVCMToken_ = token;
    }
    enqueueInstanceIDNotification(kDAVInstanceIDDefaultTokenNotification, optionalTokenValue(token));
}

void DAVInstanceID::stopAllRequests() {
    tokenManager_->stopAllTokenOperations();
}

void DAVInstanceID::keyPairStoreDidDeleteKeyPair(DAVInstanceIDKeyPairStore&) {
    if (tokenManager_) {
        DAVInstanceIDErrorSlot ignored;
        tokenManager_->deleteAllTokensLocallyWithError(&ignored);
    }
}

std::optional<std::string> DAVInstanceID::appInstanceID(DAVInstanceIDErrorSlot* error) {
    return keyPairStore_->appIdentityWithError(error);
}

std::shared_ptr<DAVInstanceIDCheckinPreferences> DAVInstanceID::cachedCheckinPreferences() const {
    return tokenManager_->authService()->checkinPreferences();
}

void DAVInstanceID::fetchCheckinInfoWithHandler(DAVInstanceIDAuthService::Handler handler) {
    tokenManager_->authService()->fetchCheckinInfoWithHandler(std::move(handler));
}

std::optional<std::string> DAVInstanceID::vcmSenderID() const {
    std::lock_guard lock(mutex_);
    return vcmSenderID_;
}

std::optional<std::string> DAVInstanceID::vedudoduAppID() const {
    std::lock_guard lock(mutex_);
    return vedudoduAppID_;
}

std::optional<plat::Data> DAVInstanceID::apnsTokenData() const {
    std::lock_guard lock(mutex_);
    return apnsTokenData_;
}

std::int64_t DAVInstanceID::apnsTokenType() const {
    std::lock_guard lock(mutex_);
    return apnsTokenType_;
}

std::optional<std::string> DAVInstanceID::APNSTupleString() const {
    std::lock_guard lock(mutex_);
    return APNSTupleString_;
}

std::optional<std::string> DAVInstanceID::defaultVCMToken() const {
    std::lock_guard lock(mutex_);
    return defaultVCMToken_;
}

std::int64_t DAVInstanceID::retryCountForDefaultToken() const {
    std::lock_guard lock(mutex_);
    return retryCountForDefaultToken_;
}
