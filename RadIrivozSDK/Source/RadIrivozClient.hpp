#pragma once
// The push client's one way to the push service: sends RadIrivozRequests over the platform's URL
// sessions, parses the JSON replies, turns failures into errors of two fixed domains, re-attempts sends
// that got no answer or a server error, refuses requests without an application identifier and, while
// the user's privacy consent is missing, every request that is not a GET.

#include "RadIrivozSDK/Source/RadIrivozRequest.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/net/HTTPURLResponse.hpp"
#include "platform/net/URLSession.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

inline constexpr const char* kRadIrivozErrorDomain = "RadIrivozError";
// The domain of replies that are not JSON, of missing consent and of a keyed batch that ran out of time.
inline constexpr const char* kRadIrivozGenericErrorDomain = "RadIrivoz Error";

// The parsed reply; none when the reply had no body.
using RIResultSuccessBlock = std::function<void(const std::optional<plat::Value>& reply)>;
using RIFailureBlock = std::function<void(const plat::Error& error)>;
// Keyed like the batch: each request's reply (null when it had no body), or each request's error.
using RIMultipleSuccessBlock = std::function<void(const plat::Dictionary& results)>;
using RIMultipleFailureBlock = std::function<void(const std::map<std::string, plat::Error>& errors)>;

using RadIrivozRequestPtr = std::shared_ptr<RadIrivozRequest>;

// A request waiting for its next send, with the blocks of its first one.
struct ReattemptRequest {
    RadIrivozRequestPtr request;
    RIResultSuccessBlock successBlock;
    RIFailureBlock failureBlock;

    static std::shared_ptr<ReattemptRequest> withRequest(RadIrivozRequestPtr request,
                                                         RIResultSuccessBlock successBlock,
                                                         RIFailureBlock failureBlock);
};

class RadIrivozClient {
public:
    // The seconds between a failed send and its re-attempt; a request is sent at most three times.
    static constexpr double kReattemptDelay = 30.0;
    static constexpr int32_t kMaxReattempts = 2;
    // How long a keyed batch waits for all of its answers.
    static constexpr double kBatchTimeout = 450.0;
    // Replies larger than this are refused: the service's answers are small, and a runaway body must not
    // take the process's memory.
    static constexpr int64_t kMaxReplyBytes = 4 * 1024 * 1024;

    static RadIrivozClient& sharedClient();

    std::shared_ptr<plat::URLSession> sharedSession() const;
    std::shared_ptr<plat::URLSession> noCacheSession() const;
    // Request and resource time-outs both `timeoutSeconds` (120 unless changed below).
    static plat::URLSessionConfiguration configurationWithCachingPolicy(plat::URLRequestCachePolicy policy,
                                                                        double timeoutSeconds);
    // Replaces both sessions with ones of this time-out; the synchronous send waits as long. For tests and
    // tools that cannot wait two minutes; requests in flight finish on the old sessions.
    void setRequestTimeout(double seconds);
    double requestTimeout() const;

    // Returns at once. The blocks run on the main queue, except the refusals (consent, application
    // identifier, empty path identifier), which run on the calling thread before this returns.
    void executeRequest(RadIrivozRequestPtr request, RIResultSuccessBlock successBlock,
                        RIFailureBlock failureBlock);
    // Blocks the calling thread (never the main thread: the reply is handed over there) until the reply or
    // the time-out, after which the task is cancelled; the blocks run on the calling thread before it
    // returns, unless a re-attempt takes the request over.
    void executeSynchronousRequest(RadIrivozRequestPtr request, RIResultSuccessBlock successBlock,
                                   RIFailureBlock failureBlock);
    // Sends every request at once and reports once, on the main queue: the success block when all of them
    // succeeded, else the failure block with the errors. An empty batch reports nothing.
    void executeSimultaneousRequests(const std::map<std::string, RadIrivozRequestPtr>& requests,
                                     RIMultipleSuccessBlock successBlock, RIMultipleFailureBlock failureBlock);

    bool validRequest(const RadIrivozRequest& request) const;
    void handleMissingAppIdError(const RIFailureBlock& failureBlock, const RadIrivozRequest& request) const;
    bool willReattemptRequest(int32_t statusCode, const RadIrivozRequestPtr& request,
                              const RIResultSuccessBlock& successBlock, const RIFailureBlock& failureBlock,
                              bool asyncRequest);
    void reattemptRequest(const std::shared_ptr<ReattemptRequest>& reattempt);
    void handleJSONNSURLResponse(const std::shared_ptr<const plat::HTTPURLResponse>& response,
                                 const std::optional<plat::Data>& data, const std::optional<plat::Error>& error,
                                 bool isAsync, const RadIrivozRequestPtr& request,
                                 const RIResultSuccessBlock& successBlock, const RIFailureBlock& failureBlock);
    void prettyPrintDebugStatementWithRequest(const RadIrivozRequest& request) const;

    // Whether a request was started and its answer has not come yet (tools that wait for the app to settle);
    // asks nothing of a client that was never made.
    static bool hasRequestsInFlight();
    // The process is ending: every request in flight is cancelled, none starts any more, and answers still
    // on their way are dropped. Runs on the app's will-terminate notification.
    void cancelAllForTermination();

    static plat::Error privacyConsentErrorWithRequestType(std::string_view className);
    static plat::Error genericTimedOutError();

    RadIrivozClient(const RadIrivozClient&) = delete;
    RadIrivozClient& operator=(const RadIrivozClient&) = delete;

private:
    friend class plat::NeverDestroyed<RadIrivozClient>;
    RadIrivozClient();
    // Consent, application identifier and path checks shared by both sends; false when refused (the
    // failure block has run then).
    bool admit(const RadIrivozRequestPtr& request, const RIFailureBlock& failureBlock);
    // Starts the task, counted as in flight until `settle` runs for it; false (task not started) once the
    // process is terminating.
    bool start(const std::shared_ptr<plat::URLSessionTask>& task);
    // The task's completion began; false when its answer must be dropped.
    bool settle(uint64_t taskIdentifier);

    mutable std::mutex mutex_;
    double timeout_ = 120.0;
    std::shared_ptr<plat::URLSession> sharedSession_;
    std::shared_ptr<plat::URLSession> noCacheSession_;
    std::map<uint64_t, std::weak_ptr<plat::URLSessionTask>> inFlight_;
    bool terminating_ = false;
};
