#pragma once
// One round trip to the register endpoint, as an asynchronous operation of the token queue: the form built
// from the check-in credentials, the key pair's identity and the request options, sent on the shared
// session; the subclasses add their form items and read their replies.

#include "instance_id/DAVInstanceIDCheckinPreferences.hpp"
#include "instance_id/DAVInstanceIDKeyPair.hpp"
#include "instance_id/DAVInstanceIDURLQueryItem.hpp"
#include "platform/dispatch/Operation.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/net/URLSession.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

inline constexpr const char* kDAVInstanceIDTokensSessionDescription = "com.razoza.iid.tokens.session";
inline constexpr const char* kDAVInstanceIDIdentityInvalidatedNotification =
    "com.razoza.iid.identity-invalid";

enum DAVInstanceIDTokenAction : std::int64_t {
    DAVInstanceIDTokenActionFetch = 0,
    DAVInstanceIDTokenActionDelete = 1,
    DAVInstanceIDTokenActionDeleteAll = 2,
};

enum DAVInstanceIDTokenOperationResult : std::int64_t {
    DAVInstanceIDTokenOperationSucceeded = 0,
    DAVInstanceIDTokenOperationFailed = 1,
    DAVInstanceIDTokenOperationCancelled = 2,
};

class DAVInstanceIDTokenOperation : public plat::Operation {
public:
    using CompletionHandler = std::function<void(DAVInstanceIDTokenOperationResult,
                                                 std::optional<std::string>, std::optional<plat::Error>)>;
    // Performs a request in place of the shared session: gets the request and the reply handler.
    using TestBlock = std::function<void(const plat::URLRequest&, plat::URLSession::DataCompletion)>;

    DAVInstanceIDTokenOperation(DAVInstanceIDTokenAction action, std::optional<std::string> authorizedEntity,
                                std::optional<std::string> scope, plat::Dictionary options,
                                std::shared_ptr<const DAVInstanceIDCheckinPreferences> checkinPreferences,
                                std::shared_ptr<const DAVInstanceIDKeyPair> keyPair);
    ~DAVInstanceIDTokenOperation() override;

    static std::shared_ptr<plat::URLSession> sharedURLSession();
    static plat::URLRequest requestWithAuthHeader(const std::string& authHeader);
    static std::vector<DAVInstanceIDURLQueryItem>
    standardQueryItemsWithDeviceID(const std::optional<std::string>& deviceID,
                                   const std::optional<std::string>& scope);
    static std::string HTTPAuthHeaderFromCheckin(const DAVInstanceIDCheckinPreferences& checkin);
    std::vector<DAVInstanceIDURLQueryItem> queryItemsWithKeyPair(const DAVInstanceIDKeyPair& keyPair) const;

    // Handlers are added before the operation is queued and are called once, in order.
    void addCompletionHandler(CompletionHandler handler);
    void setTestBlock(TestBlock block);

    void start() override;
    void cancel() override;
    bool isAsynchronous() const override { return true; }
    bool isExecuting() const override { return executing_.load(); }
    bool isFinished() const override { return finished_.load(); }
    void setExecuting(bool executing);
    void setFinished(bool finished);

    // The single way an operation ends; later calls do nothing.
    void finishWithResult(DAVInstanceIDTokenOperationResult result, std::optional<std::string> token,
                          std::optional<plat::Error> error);
    virtual void performTokenOperation() {}
    virtual void handleResponseWithData(std::optional<plat::Data> data,
                                        std::shared_ptr<const plat::HTTPURLResponse> response,
                                        std::optional<plat::Error> error);

    DAVInstanceIDTokenAction action() const { return action_; }
    const std::optional<std::string>& authorizedEntity() const { return authorizedEntity_; }
    const std::optional<std::string>& scope() const { return scope_; }
    const plat::Dictionary& options() const { return options_; }
    const std::shared_ptr<const DAVInstanceIDCheckinPreferences>& checkinPreferences() const {
        return checkinPreferences_;
    }
    const std::shared_ptr<const DAVInstanceIDKeyPair>& keyPair() const { return keyPair_; }
    DAVInstanceIDTokenOperationResult result() const { return result_.load(); }

protected:
    // The body is the items form-encoded; logged under `logCode` with `logFormat` before it is sent.
    void sendRequestWithQueryItems(plat::URLRequest request,
                                   const std::vector<DAVInstanceIDURLQueryItem>& items, long logCode,
                                   const char* logFormat);
    // The reply body as text; empty when it is none or not UTF-8.
    static std::string replyText(const std::optional<plat::Data>& data);

private:
    const DAVInstanceIDTokenAction action_;
    const std::optional<std::string> authorizedEntity_;
    const std::optional<std::string> scope_;
    const plat::Dictionary options_;
    const std::shared_ptr<const DAVInstanceIDCheckinPreferences> checkinPreferences_;
    const std::shared_ptr<const DAVInstanceIDKeyPair> keyPair_;

    std::atomic<bool> executing_{false};
    std::atomic<bool> finished_{false};
    std::atomic<DAVInstanceIDTokenOperationResult> result_{DAVInstanceIDTokenOperationSucceeded};

    std::mutex mutex_; // guards the fields below
    bool finishing_ = false;
    std::shared_ptr<plat::URLSessionDataTask> dataTask_;
    std::vector<CompletionHandler> completionHandlers_;
    TestBlock testBlock_;
};

class DAVInstanceIDTokenFetchOperation : public DAVInstanceIDTokenOperation {
public:
    DAVInstanceIDTokenFetchOperation(
        std::string authorizedEntity, std::string scope, plat::Dictionary options,
        std::shared_ptr<const DAVInstanceIDCheckinPreferences> checkinPreferences,
        std::shared_ptr<const DAVInstanceIDKeyPair> keyPair);

    void performTokenOperation() override;
    void handleResponseWithData(std::optional<plat::Data> data,
                                std::shared_ptr<const plat::HTTPURLResponse> response,
                                std::optional<plat::Error> error) override;
    // "key=value" lines; text after a second "=" is dropped and a later key wins.
    static plat::Dictionary parseFetchTokenResponse(const std::string& response);
    // The process-wide count of registration-error retries, never reset while the process lives.
    static int registrationErrorRetryCount();
};

class DAVInstanceIDTokenDeleteOperation : public DAVInstanceIDTokenOperation {
public:
    DAVInstanceIDTokenDeleteOperation(
        std::optional<std::string> authorizedEntity, std::optional<std::string> scope,
        std::shared_ptr<const DAVInstanceIDCheckinPreferences> checkinPreferences,
        std::shared_ptr<const DAVInstanceIDKeyPair> keyPair, DAVInstanceIDTokenAction action);

    void performTokenOperation() override;
    void handleResponseWithData(std::optional<plat::Data> data,
                                std::shared_ptr<const plat::HTTPURLResponse> response,
                                std::optional<plat::Error> error) override;
};
