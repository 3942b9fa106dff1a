#include "instance_id/DAVInstanceIDTokenOperation.hpp"

#include "instance_id/DAVInstanceIDErrors.hpp"
#include "instance_id/DAVInstanceIDLogger.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/String.hpp"
#include "platform/net/URL.hpp"

#include <algorithm>

namespace {

constexpr std::int64_t kTokenOperationMissingCheckinCode = 6;
constexpr double kTokenOperationTimeoutSeconds = 60;

} // namespace

DAVInstanceIDTokenOperation::DAVInstanceIDTokenOperation(
    DAVInstanceIDTokenAction action, std::optional<std::string> authorizedEntity,
    std::optional<std::string> scope, plat::Dictionary options,
    std::shared_ptr<const DAVInstanceIDCheckinPreferences> checkinPreferences,
    std::shared_ptr<const DAVInstanceIDKeyPair> keyPair)
    : action_(action), authorizedEntity_(std::move(authorizedEntity)), scope_(std::move(scope)),
      options_(std::move(options)), checkinPreferences_(std::move(checkinPreferences)),
      keyPair_(std::move(keyPair)) {}

DAVInstanceIDTokenOperation::~DAVInstanceIDTokenOperation() {
    std::lock_guard lock(mutex_);
    completionHandlers_.clear();
}

std::shared_ptr<plat::URLSession> DAVInstanceIDTokenOperation::sharedURLSession() {
    static plat::NeverDestroyed<std::shared_ptr<plat::URLSession>> session([] {
        auto configuration = plat::URLSessionConfiguration::defaultConfiguration();
        configuration.timeoutIntervalForResource = kTokenOperationTimeoutSeconds;
        auto made = plat::URLSession::make(configuration);
        made->setSessionDescription(kDAVInstanceIDTokensSessionDescription);
        return made;
    }());
    return session.get();
}

std::string
DAVInstanceIDTokenOperation::HTTPAuthHeaderFromCheckin(const DAVInstanceIDCheckinPreferences& checkin) {
    return "AidLogin " + checkin.deviceID().value_or("") + ":" + checkin.secretToken().value_or("");
}

plat::URLRequest DAVInstanceIDTokenOperation::requestWithAuthHeader(const std::string& authHeader) {
    plat::URLRequest request(plat::URL::parse(DAVInstanceIDRegisterURL()));
    request.setValue(authHeader, "Authorization");
    request.setValue(DAVInstanceIDAppIdentifier(), "app");
    request.setHTTPMethod("POST");
    return request;
}

std::vector<DAVInstanceIDURLQueryItem>
DAVInstanceIDTokenOperation::standardQueryItemsWithDeviceID(const std::optional<std::string>& deviceID,
                                                            const std::optional<std::string>& scope) {
    std::vector<DAVInstanceIDURLQueryItem> items;
    items.push_back({"X-osv", DAVInstanceIDSystemVersion()});
    if (deviceID) {
        items.push_back({"device", *deviceID});
    }
    if (scope) {
        items.push_back({"X-scope", *scope});
    }
    items.push_back({"plat", "2"});
    items.push_back({"app", DAVInstanceIDAppIdentifier()});
    items.push_back({"app_ver", DAVInstanceIDAppVersion()});
    if (const auto version = DAVInstanceIDMessagingClientVersion()) {
        items.push_back({"X-cliv", "fiid-" + *version});
    }
    return items;
}

std::vector<DAVInstanceIDURLQueryItem>
DAVInstanceIDTokenOperation::queryItemsWithKeyPair(const DAVInstanceIDKeyPair& keyPair) const {
    return {{"appid", DAVInstanceIDKeyPair::appIdentityWithKeyPair(keyPair).value_or("")}};
}

void DAVInstanceIDTokenOperation::addCompletionHandler(CompletionHandler handler) {
    std::lock_guard lock(mutex_);
    completionHandlers_.push_back(std::move(handler));
}

void DAVInstanceIDTokenOperation::setTestBlock(TestBlock block) {
    std::lock_guard lock(mutex_);
    testBlock_ = std::move(block);
}

void DAVInstanceIDTokenOperation::setExecuting(bool executing) {
    willChangeValueForKey("isExecuting");
    executing_.store(executing);
    didChangeValueForKey("isExecuting");
}

void DAVInstanceIDTokenOperation::setFinished(bool finished) {
    willChangeValueForKey("isFinished");
    finished_.store(finished);
    didChangeValueForKey("isFinished");
}

void DAVInstanceIDTokenOperation::start() {
    if (isCancelled()) {
        finishWithResult(DAVInstanceIDTokenOperationCancelled, std::nullopt, std::nullopt);
        return;
    }
    if (checkinPreferences_ && checkinPreferences_->hasCheckinInfo()) {
        setExecuting(true);
        performTokenOperation();
        return;
    }
    finishWithResult(DAVInstanceIDTokenOperationFailed, std::nullopt,
                     errorWithDAVInstanceIDErrorCode(kTokenOperationMissingCheckinCode));
}

void DAVInstanceIDTokenOperation::cancel() {
    plat::Operation::cancel();
    std::shared_ptr<plat::URLSessionDataTask> task;
    {
        std::lock_guard lock(mutex_);
        task = dataTask_;
    }
    if (task) {
        task->cancel();
    }
    finishWithResult(DAVInstanceIDTokenOperationCancelled, std::nullopt, std::nullopt);
}

void DAVInstanceIDTokenOperation::finishWithResult(DAVInstanceIDTokenOperationResult result,
                                                   std::optional<std::string> token,
                                                   std::optional<plat::Error> error) {
    std::vector<CompletionHandler> handlers;
    {
        // A reply and a cancel may race to end the operation: the first one wins, the other does nothing.
        std::lock_guard lock(mutex_);
        if (finishing_ || finished_.load()) {
            return;
        }
        finishing_ = true;
        dataTask_.reset();
        handlers.swap(completionHandlers_);
    }
    result_.store(result);
    for (auto& handler : handlers) {
        if (handler) {
            handler(result, token, error);
        }
    }
    setExecuting(false);
    setFinished(true);
}

void DAVInstanceIDTokenOperation::handleResponseWithData(std::optional<plat::Data>,
                                                         std::shared_ptr<const plat::HTTPURLResponse>,
                                                         std::optional<plat::Error>) {}

void DAVInstanceIDTokenOperation::sendRequestWithQueryItems(
    plat::URLRequest request, const std::vector<DAVInstanceIDURLQueryItem>& items, long logCode,
    const char* logFormat) {
    const std::string form = DAVInstanceIDFormEncode(items);
    request.setHTTPBody(plat::Data(form.begin(), form.end()));
    DAVInstanceIDLoggerDebug(logCode, logFormat, DAVInstanceIDRegisterURL(), form);

    std::weak_ptr<DAVInstanceIDTokenOperation> weak =
        std::static_pointer_cast<DAVInstanceIDTokenOperation>(shared_from_this());
    plat::URLSession::DataCompletion handler = [weak](std::optional<plat::Data> data,
                                                      std::shared_ptr<const plat::HTTPURLResponse> response,
                                                      std::optional<plat::Error> error) {
        if (auto self = weak.lock()) {
            self->handleResponseWithData(std::move(data), std::move(response), std::move(error));
        }
    };
    TestBlock testBlock;
    {
        std::lock_guard lock(mutex_);
        testBlock = testBlock_;
    }
    if (testBlock) {
        testBlock(request, std::move(handler));
        return;
    }
    auto task = sharedURLSession()->dataTask(request, std::move(handler));
    {
        std::lock_guard lock(mutex_);
        dataTask_ = task;
    }
    task->resume();
}

std::string DAVInstanceIDTokenOperation::replyText(const std::optional<plat::Data>& data) {
    if (!data) {
        return {};
    }
    std::string text(data->begin(), data->end());
    return plat::String::isValidUTF8(text) ? text : std::string();
}

// Fetch.

namespace {

struct TokenFetchRetryState {
    std::mutex mutex;
    int count = 0;
};

TokenFetchRetryState& tokenFetchRetryState() {
    static plat::NeverDestroyed<TokenFetchRetryState> state;
    return state.get();
}

constexpr int kTokenFetchMaxRegistrationRetries = 10;

std::vector<std::string> tokenSplit(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}

} // namespace

DAVInstanceIDTokenFetchOperation::DAVInstanceIDTokenFetchOperation(
    std::string authorizedEntity, std::string scope, plat::Dictionary options,
    std::shared_ptr<const DAVInstanceIDCheckinPreferences> checkinPreferences,
    std::shared_ptr<const DAVInstanceIDKeyPair> keyPair)
    : DAVInstanceIDTokenOperation(DAVInstanceIDTokenActionFetch, std::move(authorizedEntity),
                                  std::move(scope), std::move(options), std::move(checkinPreferences),
                                  std::move(keyPair)) {}

int DAVInstanceIDTokenFetchOperation::registrationErrorRetryCount() {
    auto& state = tokenFetchRetryState();
    std::lock_guard lock(state.mutex);
    return state.count;
}

void DAVInstanceIDTokenFetchOperation::performTokenOperation() {
    const auto& checkin = *checkinPreferences();
    plat::URLRequest request = requestWithAuthHeader(HTTPAuthHeaderFromCheckin(checkin));
    request.setValue(checkin.versionInfo().value_or(""), "info");

    auto items = standardQueryItemsWithDeviceID(checkin.deviceID(), scope());
    const std::string entity = authorizedEntity().value_or("");
    items.push_back({"sender", entity});
    items.push_back({"X-subtype", entity});
    if (keyPair()) {
        const auto keyPairItems = queryItemsWithKeyPair(*keyPair());
        items.insert(items.end(), keyPairItems.begin(), keyPairItems.end());
    }
    const auto* apnsToken = options().find("apns_token");
    const auto* sandbox = options().find("apns_sandbox");
    if (apnsToken && apnsToken->isData() && sandbox && sandbox->isNumber()) {
        items.push_back(
            {"apns_token", *DAVInstanceIDAPNSTokenString(apnsToken->asData(), sandbox->boolValue())});
    }
    if (const auto* appID = options().find("rmp_app_id"); appID && appID->isString()) {
        items.push_back({"rmp_app_id", appID->asString()});
    }
    sendRequestWithQueryItems(std::move(request), items, 20000, "Register request to %@ content: %@");
}

plat::Dictionary DAVInstanceIDTokenFetchOperation::parseFetchTokenResponse(const std::string& response) {
    plat::Dictionary parsed;
    for (const auto& line : tokenSplit(response, '\n')) {
        const auto parts = tokenSplit(line, '=');
        if (parts.size() >= 2) {
            parsed.set(parts[0], plat::Value(parts[1]));
        }
    }
    return parsed;
}

void DAVInstanceIDTokenFetchOperation::handleResponseWithData(std::optional<plat::Data> data,
                                                              std::shared_ptr<const plat::HTTPURLResponse>,
                                                              std::optional<plat::Error> error) {
    if (error) {
        DAVInstanceIDLoggerDebug(20001, "Token fetch HTTP error. Error Code: %zd", error->code);
        finishWithResult(DAVInstanceIDTokenOperationFailed, std::nullopt, std::move(error));
        return;
    }
    const std::string text = replyText(data);
    if (text.empty()) {
        finishWithResult(DAVInstanceIDTokenOperationFailed, std::nullopt,
                         errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeUnknown));
        return;
    }
    const plat::Dictionary parsed = parseFetchTokenResponse(text);
    const auto* token = parsed.find("token");
    if (token && !token->asString().empty()) {
        finishWithResult(DAVInstanceIDTokenOperationSucceeded, token->asString(), std::nullopt);
        return;
    }
    const auto* serverError = parsed.find("Error");
    if (serverError && !serverError->asString().empty()) {
        const auto parts = tokenSplit(serverError->asString(), ':');
        const auto has = [&parts](const char* word) {
            return std::find(parts.begin(), parts.end(), word) != parts.end();
        };
        if (has("PHONE_REGISTRATION_ERROR")) {
            int count = 0;
            {
                auto& state = tokenFetchRetryState();
                std::lock_guard lock(state.mutex);
                count = state.count;
            }
            if (count < kTokenFetchMaxRegistrationRetries) {
                std::weak_ptr<DAVInstanceIDTokenFetchOperation> weak =
                    std::static_pointer_cast<DAVInstanceIDTokenFetchOperation>(shared_from_this());
                plat::DispatchQueue::main()->asyncAfter(
                    static_cast<double>(std::int64_t{1} << count), [weak] {
                        auto self = weak.lock();
                        // An operation cancelled or ended during the wait must not send another request.
                        if (!self || self->isCancelled() || self->isFinished()) {
                            return;
                        }
                        {
                            auto& state = tokenFetchRetryState();
                            std::lock_guard lock(state.mutex);
                            ++state.count;
                        }
                        self->performTokenOperation();
                    });
                return;
            }
        } else if (has("RST")) {
            plat::DispatchQueue::main()->async([] {
                plat::NotificationCenter::defaultCenter().post(kDAVInstanceIDIdentityInvalidatedNotification);
            });
            DAVInstanceIDLoggerDebug(2001, "Identity is invalid. Server request identity reset.");
            finishWithResult(DAVInstanceIDTokenOperationFailed, std::nullopt,
                             errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeInvalidIdentity));
            return;
        }
    }
    DAVInstanceIDLoggerDebug(20002, "Invalid fetch response, expected 'token' or 'Error' key");
    finishWithResult(DAVInstanceIDTokenOperationFailed, std::nullopt,
                     errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeUnknown));
}

// Delete.

DAVInstanceIDTokenDeleteOperation::DAVInstanceIDTokenDeleteOperation(
    std::optional<std::string> authorizedEntity, std::optional<std::string> scope,
    std::shared_ptr<const DAVInstanceIDCheckinPreferences> checkinPreferences,
    std::shared_ptr<const DAVInstanceIDKeyPair> keyPair, DAVInstanceIDTokenAction action)
    : DAVInstanceIDTokenOperation(action, std::move(authorizedEntity), std::move(scope), plat::Dictionary{},
                                  std::move(checkinPreferences), std::move(keyPair)) {}

void DAVInstanceIDTokenDeleteOperation::performTokenOperation() {
    const auto& checkin = *checkinPreferences();
    plat::URLRequest request = requestWithAuthHeader(HTTPAuthHeaderFromCheckin(checkin));
    auto items = standardQueryItemsWithDeviceID(checkin.deviceID(), scope());
    items.push_back({"delete", "true"});
    if (action() == DAVInstanceIDTokenActionDeleteAll) {
        items.push_back({"iid-operation", "delete"});
    }
    if (authorizedEntity()) {
        items.push_back({"sender", *authorizedEntity()});
    }
    if (keyPair()) {
        const auto keyPairItems = queryItemsWithKeyPair(*keyPair());
        items.insert(items.end(), keyPairItems.begin(), keyPairItems.end());
    }
    sendRequestWithQueryItems(std::move(request), items, 21000, "Unregister request to %@ content: %@");
}

void DAVInstanceIDTokenDeleteOperation::handleResponseWithData(
    std::optional<plat::Data> data, std::shared_ptr<const plat::HTTPURLResponse> response,
    std::optional<plat::Error> error) {
    if (error) {
        DAVInstanceIDLoggerDebug(21001, "Device unregister HTTP fetch error. Error code: %ld", error->code);
        finishWithResult(DAVInstanceIDTokenOperationFailed, std::nullopt, std::move(error));
        return;
    }
    const std::string text = replyText(data);
    if (text.rfind("deleted=", 0) == 0 || text.rfind("token=", 0) == 0) {
        finishWithResult(DAVInstanceIDTokenOperationSucceeded, std::nullopt, std::nullopt);
        return;
    }
    if (!text.empty()) {
        DAVInstanceIDLoggerDebug(21002, "Invalid unregister response %@",
                                 response ? response->url().absoluteString() + " " +
                                                std::to_string(response->statusCode())
                                          : std::string("(null)"));
    }
    finishWithResult(DAVInstanceIDTokenOperationFailed, std::nullopt,
                     errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeUnknown));
}
