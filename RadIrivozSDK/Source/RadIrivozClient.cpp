#include "RadIrivozSDK/Source/RadIrivozClient.hpp"

#include <atomic>

namespace {
// Mirrors the size of the shared client's in-flight map, so it can be read without making the client.
std::atomic<size_t> pushRequestsInFlight{0};
// Batches handed over whose requests are not started yet.
std::atomic<size_t> pushBatchesQueued{0};
} // namespace

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "platform/dispatch/DispatchGroup.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/foundation/Format.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/uikit/UIKitTypes.hpp"

namespace {

// The platform error travels whole as the underlying error; its description stands under the key, so the
// user information stays a plain dictionary.
plat::Error errorWithCause(std::string domain, int64_t code, const char* key, const plat::Error& cause) {
    return plat::Error(std::move(domain), code, plat::Dictionary{{key, plat::Value(cause.description())}},
                       std::make_shared<const plat::Error>(cause));
}

plat::Error requestError(std::string_view format, std::string_view className, int64_t code,
                         const char* domain) {
    std::string text(format);
    text.replace(text.find("%@"), 2, className);
    return plat::Error(domain, code, plat::Dictionary{{"error", plat::Value(text)}});
}

constexpr std::string_view kMissingAppId = "HTTP Request (%@) must contain app_id parameter";
constexpr std::string_view kEmptyPathIdentifier = "HTTP Request (%@) has an empty identifier in its path";

} // namespace

std::shared_ptr<ReattemptRequest> ReattemptRequest::withRequest(RadIrivozRequestPtr request,
                                                                RIResultSuccessBlock successBlock,
                                                                RIFailureBlock failureBlock) {
    auto reattempt = std::make_shared<ReattemptRequest>();
    reattempt->request = std::move(request);
    reattempt->successBlock = std::move(successBlock);
    reattempt->failureBlock = std::move(failureBlock);
    return reattempt;
}

RadIrivozClient& RadIrivozClient::sharedClient() {
    static plat::NeverDestroyed<RadIrivozClient> client;
    return *client;
}

RadIrivozClient::RadIrivozClient() {
    setRequestTimeout(120.0);
    plat::NotificationCenter::defaultCenter().addObserver(
        this, std::string(plat::UIApplicationWillTerminateNotification), nullptr,
        [this](const plat::Notification&) { cancelAllForTermination(); });
}

bool RadIrivozClient::start(const std::shared_ptr<plat::URLSessionTask>& task) {
    {
        std::lock_guard lock(mutex_);
        if (terminating_) {
            return false;
        }
        inFlight_.emplace(task->taskIdentifier(), task);
        pushRequestsInFlight = inFlight_.size();
    }
    task->resume();
    return true;
}

bool RadIrivozClient::settle(uint64_t taskIdentifier) {
    std::lock_guard lock(mutex_);
    inFlight_.erase(taskIdentifier);
    pushRequestsInFlight = inFlight_.size();
    return !terminating_;
}

bool RadIrivozClient::hasRequestsInFlight() {
    return pushRequestsInFlight.load() > 0 || pushBatchesQueued.load() > 0;
}

void RadIrivozClient::cancelAllForTermination() {
    std::vector<std::shared_ptr<plat::URLSessionTask>> running;
    {
        std::lock_guard lock(mutex_);
        terminating_ = true;
        for (const auto& entry : inFlight_) {
            if (auto task = entry.second.lock()) {
                running.push_back(std::move(task));
            }
        }
    }
    for (const auto& task : running) {
        task->cancel();
    }
}

plat::URLSessionConfiguration RadIrivozClient::configurationWithCachingPolicy(plat::URLRequestCachePolicy policy,
                                                                              double timeoutSeconds) {
    auto configuration = plat::URLSessionConfiguration::defaultConfiguration();
    configuration.timeoutIntervalForRequest = timeoutSeconds;
    configuration.timeoutIntervalForResource = timeoutSeconds;
    configuration.requestCachePolicy = policy;
    configuration.maximumResponseBodyBytes = kMaxReplyBytes;
    return configuration;
}

void RadIrivozClient::setRequestTimeout(double seconds) {
    // Replies are handled on the main queue: a session with a delegate queue of its own keeps a thread that
    // outlives the main loop and may still run while the process exits.
    auto shared = plat::URLSession::make(
        configurationWithCachingPolicy(plat::URLRequestCachePolicy::useProtocolCachePolicy, seconds), nullptr,
        plat::OperationQueue::main());
    auto noCache = plat::URLSession::make(
        configurationWithCachingPolicy(plat::URLRequestCachePolicy::reloadIgnoringLocalCacheData, seconds), nullptr,
        plat::OperationQueue::main());
    std::lock_guard lock(mutex_);
    timeout_ = seconds;
    sharedSession_ = std::move(shared);
    noCacheSession_ = std::move(noCache);
}

double RadIrivozClient::requestTimeout() const {
    std::lock_guard lock(mutex_);
    return timeout_;
}

std::shared_ptr<plat::URLSession> RadIrivozClient::sharedSession() const {
    std::lock_guard lock(mutex_);
    return sharedSession_;
}

std::shared_ptr<plat::URLSession> RadIrivozClient::noCacheSession() const {
    std::lock_guard lock(mutex_);
    return noCacheSession_;
}

plat::Error RadIrivozClient::privacyConsentErrorWithRequestType(std::string_view className) {
    return requestError("Attempted to perform an HTTP request (%@) before the user provided privacy consent.",
                        className, 0, kRadIrivozGenericErrorDomain);
}

plat::Error RadIrivozClient::genericTimedOutError() {
    return plat::Error(kRadIrivozGenericErrorDomain, 0,
                       plat::Dictionary{{"error", plat::Value("The request timed out")}});
}

void RadIrivozClient::prettyPrintDebugStatementWithRequest(const RadIrivozRequest& request) const {
    if (!request.parameters() || !RadIrivoz::isLogged(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE)) {
        return;
    }
    const plat::Value parameters(*request.parameters());
    if (!plat::JSONSerialization::isValidJSONObject(parameters)) {
        return;
    }
    auto text = plat::JSONSerialization::string(parameters, plat::JSONSerialization::WritingPrettyPrinted);
    const auto url = request.urlRequest().url();
    RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE,
                             "HTTP Request (" + request.className() + ") with URL: " +
                                 (url ? url->absoluteString() : std::string("(null)")) +
                                 ", with parameters: " + (text.ok() ? *text : std::string()));
}

bool RadIrivozClient::validRequest(const RadIrivozRequest& request) const {
    if (request.missingAppId()) {
        return false;
    }
    prettyPrintDebugStatementWithRequest(request);
    return true;
}

void RadIrivozClient::handleMissingAppIdError(const RIFailureBlock& failureBlock,
                                              const RadIrivozRequest& request) const {
    const plat::Error error = requestError(kMissingAppId, request.className(), -1, kRadIrivozErrorDomain);
    RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR, error.userInfo.find("error")->asString());
    if (failureBlock) {
        failureBlock(error);
    }
}

bool RadIrivozClient::admit(const RadIrivozRequestPtr& request, const RIFailureBlock& failureBlock) {
    if (request->method() != HTTPMethodGET &&
        RadIrivoz::shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) {
        if (failureBlock) {
            failureBlock(privacyConsentErrorWithRequestType(request->className()));
        }
        return false;
    }
    if (request->hasEmptyPathIdentifier()) {
        const plat::Error error =
            requestError(kEmptyPathIdentifier, request->className(), -1, kRadIrivozErrorDomain);
        RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR, error.userInfo.find("error")->asString());
        if (failureBlock) {
            failureBlock(error);
        }
        return false;
    }
    if (!validRequest(*request)) {
        handleMissingAppIdError(failureBlock, *request);
        return false;
    }
    return true;
}

void RadIrivozClient::executeRequest(RadIrivozRequestPtr request, RIResultSuccessBlock successBlock,
                                     RIFailureBlock failureBlock) {
    if (!request || !admit(request, failureBlock)) {
        return;
    }
    auto session = request->disableLocalCaching() ? noCacheSession() : sharedSession();
    auto identifier = std::make_shared<uint64_t>(0);
    auto task = session->dataTask(
        request->urlRequest(),
        [this, identifier, request, successBlock = std::move(successBlock),
         failureBlock = std::move(failureBlock)](std::optional<plat::Data> data,
                                                 std::shared_ptr<const plat::HTTPURLResponse> response,
                                                 std::optional<plat::Error> error) {
            if (settle(*identifier)) {
                handleJSONNSURLResponse(response, data, error, true, request, successBlock, failureBlock);
            }
        });
    *identifier = task->taskIdentifier();
    start(task);
}

void RadIrivozClient::executeSynchronousRequest(RadIrivozRequestPtr request, RIResultSuccessBlock successBlock,
                                                RIFailureBlock failureBlock) {
    if (!request || !admit(request, failureBlock)) {
        return;
    }
    // What the task delivered. A task that outlives the wait is cancelled, and whatever it delivers after
    // that is dropped: its caller has moved on.
    struct Outcome {
        std::mutex mutex;
        bool abandoned = false;
        std::optional<plat::Data> data;
        std::shared_ptr<const plat::HTTPURLResponse> response;
        std::optional<plat::Error> error;
    };
    auto outcome = std::make_shared<Outcome>();
    const plat::DispatchSemaphore semaphore(0);
    auto identifier = std::make_shared<uint64_t>(0);
    auto task = sharedSession()->dataTask(
        request->urlRequest(), [this, identifier, outcome, semaphore](
                                   std::optional<plat::Data> data,
                                   std::shared_ptr<const plat::HTTPURLResponse> response,
                                   std::optional<plat::Error> error) {
            settle(*identifier);
            {
                std::lock_guard lock(outcome->mutex);
                if (outcome->abandoned) {
                    return;
                }
                outcome->data = std::move(data);
                outcome->response = std::move(response);
                outcome->error = std::move(error);
            }
            semaphore.signal();
        });
    *identifier = task->taskIdentifier();
    if (!start(task)) {
        return;
    }
    const bool answered = semaphore.wait(requestTimeout());
    std::optional<plat::Data> data;
    std::shared_ptr<const plat::HTTPURLResponse> response;
    std::optional<plat::Error> error;
    {
        std::lock_guard lock(outcome->mutex);
        outcome->abandoned = true;
        if (answered) {
            data = std::move(outcome->data);
            response = std::move(outcome->response);
            error = std::move(outcome->error);
        }
    }
    if (!answered) {
        task->cancel();
    }
    handleJSONNSURLResponse(response, data, error, false, request, successBlock, failureBlock);
}

bool RadIrivozClient::willReattemptRequest(int32_t statusCode, const RadIrivozRequestPtr& request,
                                           const RIResultSuccessBlock& successBlock,
                                           const RIFailureBlock& failureBlock, bool asyncRequest) {
    if ((statusCode < 500 && statusCode != 0) || request->reattemptCount() >= kMaxReattempts) {
        return false;
    }
    auto reattempt = ReattemptRequest::withRequest(request, successBlock, failureBlock);
    if (asyncRequest) {
        RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_DEBUG,
                                 plat::format("Re-scheduling request (%@) to be re-attempted in %.3f seconds "
                                              "due to failed HTTP request with status code %i",
                                              request->className(), kReattemptDelay, statusCode));
        plat::DispatchQueue::main()->async([this, reattempt] {
            plat::DispatchQueue::main()->asyncAfter(kReattemptDelay,
                                                    [this, reattempt] { reattemptRequest(reattempt); });
        });
    } else {
        reattemptRequest(reattempt);
    }
    return true;
}

void RadIrivozClient::reattemptRequest(const std::shared_ptr<ReattemptRequest>& reattempt) {
    if (!reattempt || !reattempt->request) {
        return;
    }
    reattempt->request->setReattemptCount(reattempt->request->reattemptCount() + 1);
    executeRequest(reattempt->request, reattempt->successBlock, reattempt->failureBlock);
}

void RadIrivozClient::handleJSONNSURLResponse(const std::shared_ptr<const plat::HTTPURLResponse>& response,
                                              const std::optional<plat::Data>& data,
                                              const std::optional<plat::Error>& error, bool isAsync,
                                              const RadIrivozRequestPtr& request,
                                              const RIResultSuccessBlock& successBlock,
                                              const RIFailureBlock& failureBlock) {
    const int32_t status = response ? response->statusCode() : 0;
    std::optional<plat::Value> reply;
    if (data && !data->empty()) {
        auto parsed = plat::JSONSerialization::jsonObject(std::span<const uint8_t>(*data));
        if (!parsed.ok()) {
            if (failureBlock) {
                failureBlock(errorWithCause(kRadIrivozGenericErrorDomain, status, "returned", parsed.error()));
            }
            return;
        }
        if (RadIrivoz::isLogged(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE)) {
            RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, "network response (" + request->className() +
                                                                            "): " + parsed->description());
        }
        reply = std::move(*parsed);
    }
    if (willReattemptRequest(status, request, successBlock, failureBlock, isAsync)) {
        return;
    }
    if (error || status != 200) {
        if (!failureBlock) {
            return;
        }
        if (reply && !error) {
            failureBlock(plat::Error(kRadIrivozErrorDomain, status, plat::Dictionary{{"returned", *reply}}));
        } else if (error) {
            failureBlock(errorWithCause(kRadIrivozErrorDomain, status, "error", *error));
        } else {
            failureBlock(plat::Error(kRadIrivozErrorDomain, status));
        }
        return;
    }
    if (successBlock) {
        successBlock(reply);
    }
}

void RadIrivozClient::executeSimultaneousRequests(const std::map<std::string, RadIrivozRequestPtr>& requests,
                                                  RIMultipleSuccessBlock successBlock,
                                                  RIMultipleFailureBlock failureBlock) {
    if (requests.empty()) {
        return;
    }
    ++pushBatchesQueued;
    plat::DispatchQueue::global()->async([this, requests, successBlock = std::move(successBlock),
                                          failureBlock = std::move(failureBlock)] {
        // Answers arrive on the main queue while this waits elsewhere, possibly after the wait gave up; they
        // are kept under a lock and only read once, when the batch reports.
        struct Collected {
            std::mutex mutex;
            plat::Dictionary results;
            std::map<std::string, plat::Error> errors;
            bool reported = false;
        };
        auto collected = std::make_shared<Collected>();
        plat::DispatchGroup group;
        for (const auto& [key, request] : requests) {
            group.enter();
            executeRequest(
                request,
                [collected, group, key](const std::optional<plat::Value>& reply) mutable {
                    {
                        std::lock_guard lock(collected->mutex);
                        if (!collected->reported) {
                            collected->results.set(key, reply.value_or(plat::Value()));
                        }
                    }
                    group.leave();
                },
                [collected, group, key](const plat::Error& error) mutable {
                    {
                        std::lock_guard lock(collected->mutex);
                        if (!collected->reported) {
                            collected->errors.insert_or_assign(key, error);
                        }
                    }
                    group.leave();
                });
        }
        --pushBatchesQueued;
        const bool finished = group.wait(kBatchTimeout);
        plat::Dictionary results;
        std::map<std::string, plat::Error> errors;
        {
            std::lock_guard lock(collected->mutex);
            collected->reported = true;
            if (!finished && collected->errors.empty()) {
                for (const auto& entry : requests) {
                    collected->errors.insert_or_assign(entry.first, genericTimedOutError());
                }
            }
            results = std::move(collected->results);
            errors = std::move(collected->errors);
        }
        plat::DispatchQueue::main()->async([successBlock, failureBlock, results = std::move(results),
                                            errors = std::move(errors)] {
            if (!errors.empty()) {
                if (failureBlock) {
                    failureBlock(errors);
                }
            } else if (successBlock) {
                successBlock(results);
            }
        });
    });
}
