#pragma once
// Sends events packages. ZDAUploader owns the kit's URL session (made on first use, dropped whenever a
// time-out or the power state changes, so each upload sees the current values), starts one task per unique
// name (the package's boundary) and reports every finished task to its delegate, the controller, which
// decides with the retry handler whether to send again. ZDAUploadOperation builds the request for one
// package. All of it runs on one operation queue, the controller's event queue, which is also the session's
// delegate queue.

#include "kit_host/VZRURLSession.hpp"

#include "platform/dispatch/Operation.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/net/URLRequest.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

class ZDAUploader;

class ZDAUploaderDelegate {
public:
    using RetryCompletion = std::function<void(bool retry, const std::optional<plat::Error>& error)>;

    virtual ~ZDAUploaderDelegate() = default;
    virtual std::string filePathForUniqueName(ZDAUploader& uploader, const std::string& uniqueName) = 0;
    virtual void didFinishUploadWithUniqueName(ZDAUploader& uploader, const std::string& uniqueName,
                                               const std::optional<plat::Error>& error) = 0;
    virtual void completedRequest(ZDAUploader& uploader, const plat::URLRequest& request,
                                  const plat::HTTPURLResponse* response, const std::string& uniqueName,
                                  const std::optional<plat::Error>& error, RetryCompletion completionHandler) = 0;
    // Optional: a delegate that answers challenges says so here.
    virtual bool respondsToChallenge() const { return false; }
    virtual void didReceiveChallenge(ZDAUploader&, VZRSession&, const plat::URLAuthenticationChallenge&,
                                     VZRSessionDelegate::ChallengeCompletion completion) {
        completion(plat::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
    }
};

class ZDAUploader : public std::enable_shared_from_this<ZDAUploader> {
public:
    static constexpr const char* kErrorDomain = "ZUVNetworkError";
    static constexpr const char* kUniqueNameKey = "ZDAUploaderUniqueName";
    static constexpr int64_t kInvalidUploadCode = -2;
    static constexpr int64_t kUnreadableFileCode = -8;
    static constexpr const char* kLabel = "ZDAUploader";
    static constexpr const char* kBackgroundSessionIdentifier = "ze.dereduv.background-session";

    static std::shared_ptr<ZDAUploader> make(std::shared_ptr<plat::OperationQueue> queue,
                                             std::weak_ptr<ZDAUploaderDelegate> delegate);
    ~ZDAUploader();
    ZDAUploader(const ZDAUploader&) = delete;
    ZDAUploader& operator=(const ZDAUploader&) = delete;

    const std::shared_ptr<plat::OperationQueue>& operationQueue() const { return operationQueue_; }
    std::shared_ptr<ZDAUploaderDelegate> delegate() const { return delegate_.lock(); }

    static bool supportsPowerStateNotifications() { return true; }
    static bool lowPowerMode();
    static bool shouldUseBackgroundRequests() { return false; }
    static bool supportsBackgroundRequests();

    double defaultUploadTimeout() const;
    double lowPowerUploadTimeout() const;
    // Both store the value and drop the session, on the operation queue.
    void setDefaultUploadTimeout(double seconds);
    void setLowPowerUploadTimeout(double seconds);
    void powerStageChanged();

    // Made on first use, with the time-out and cellular access of the present power state.
    VZRSessionPtr session();
    std::shared_ptr<VZRURLSessionConfiguration> createBackgroundSessionConfiguration() const;
    void attemptToReconnectBackgroundSessionWithCompletionBlock(std::function<void()> block);

    // Never starts inside the call: the check for a live task of that name runs on the operation queue.
    void startUploadRequest(std::optional<plat::URLRequest> request, std::string filePath, std::string uniqueName);
    void checkForExistingTaskMatchingDescription(const std::string& description, std::function<void(bool)> block);
    static bool taskArray(const VZRSession::TaskList& tasks, const std::string& description);
    void handleTaskDescription(const std::string& description, const std::optional<plat::Error>& error);
    // Whether a request is on its way to the server now (a retry waiting for its timer is not).
    bool hasTasksInFlight() const;

    static plat::Error errorWithCode(int64_t code, const plat::Dictionary& userInfo);
    static plat::Dictionary errorUserInfoWithFilePath(const std::string& filePath, const std::string& uniqueName);

    // Session callbacks (on the operation queue).
    void sessionDidBecomeInvalid(const std::optional<plat::Error>& error);
    void sessionDidReceiveChallenge(VZRSession& session, const plat::URLAuthenticationChallenge& challenge,
                                    VZRSessionDelegate::ChallengeCompletion completion);
    void taskDidComplete(const VZRSessionTaskPtr& task, const std::optional<plat::Error>& error);

private:
    ZDAUploader(std::shared_ptr<plat::OperationQueue> queue, std::weak_ptr<ZDAUploaderDelegate> delegate);
    void startNewUploadRequest(const std::optional<plat::URLRequest>& request, const std::string& filePath,
                               const std::string& uniqueName);
    void restartTask(const VZRSessionTaskPtr& task);
    void checkThenStart(std::optional<plat::URLRequest> request, std::string filePath, std::string uniqueName);
    void dropSession();

    const std::shared_ptr<plat::OperationQueue> operationQueue_;
    const std::weak_ptr<ZDAUploaderDelegate> delegate_;
    plat::NotificationCenter::Token powerObserver_;

    mutable std::mutex mutex_;
    VZRSessionPtr session_;
    double defaultUploadTimeout_ = 3600;
    double lowPowerUploadTimeout_ = 21600;
    // Names taken by a start until their upload ends for good. The session's task list alone cannot keep one
    // package to one upload: two starts whose checks are both answered before either task exists would both
    // find none, and a package queued by the clean-up and again by the settings would be sent twice.
    std::set<std::string> claimedNames_;
    size_t tasksInFlight_ = 0;
};

class ZDAUploadOperation : public plat::Operation {
public:
    static constexpr const char* kUserAgent = "Zuvidir iOS SDK/1.4.0";

    ZDAUploadOperation(std::shared_ptr<ZDAUploader> uploader, std::optional<plat::URL> didivarURL,
                       std::optional<std::string> apiKey, plat::URL multipartURL, std::string multipartMimeBoundary);

    const std::shared_ptr<ZDAUploader>& uploader() const { return uploader_; }
    const std::optional<plat::URL>& didivarURL() const { return didivarURL_; }
    const std::optional<std::string>& apiKey() const { return apiKey_; }
    const plat::URL& multipartURL() const { return multipartURL_; }
    const std::string& multipartMimeBoundary() const { return boundary_; }

    // None without an events URL.
    std::optional<plat::URLRequest> request() const;
    static std::string currentTimestampString();
    void main() override;

private:
    std::shared_ptr<ZDAUploader> uploader_;
    std::optional<plat::URL> didivarURL_;
    std::optional<std::string> apiKey_;
    plat::URL multipartURL_;
    std::string boundary_;
};
