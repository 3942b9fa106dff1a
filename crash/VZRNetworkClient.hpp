#pragma once
// Carries packaged reports to the report endpoint: each upload task is named by the package's path relative
// to the report root, so a package never gets a second task while one lives; retryable failures start again
// after the server's delay; the server's chain is judged against the pinned roots unless the kit host runs in
// debug mode. An urgent upload without background support is sent synchronously instead.
//
// Background sessions exist only inside the process here: a background configuration is honoured while the
// process lives, but a task left by an earlier launch is never listed at the next one, so such a package is
// simply uploaded again.

#include "crash/VZRFileManager.hpp"

#include "kit_host/VZRURLSession.hpp"
#include "kit_host/ZUVCertificatePinner.hpp"

#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/net/URLRequest.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

class VZRNetworkClient;

class VZRNetworkClientDelegate {
public:
    virtual ~VZRNetworkClientDelegate() = default;
    virtual bool networkClientCanUseBackgroundSessions(VZRNetworkClient& client) = 0;
    // The end of a package's upload: nil error on success.
    virtual void networkClientDidFinishUploadWithPath(VZRNetworkClient& client, const std::string& path,
                                                      const std::optional<plat::Error>& error) = 0;
};

inline constexpr const char* kVZRNetworkErrorDomain = "VZRNetworkError";
inline constexpr const char* kVZRBackgroundSessionIdentifier = "com.ruzovid.vuzidorazav.ios.crash.background-session";

class VZRNetworkClient : public std::enable_shared_from_this<VZRNetworkClient> {
public:
    VZRNetworkClient(std::shared_ptr<plat::OperationQueue> queue, std::shared_ptr<VZRFileManager> fileManager,
                     std::weak_ptr<VZRNetworkClientDelegate> delegate);
    static std::shared_ptr<VZRNetworkClient> initWithQueue(std::shared_ptr<plat::OperationQueue> queue,
                                                           std::shared_ptr<VZRFileManager> fileManager,
                                                           std::weak_ptr<VZRNetworkClientDelegate> delegate);

    const std::shared_ptr<plat::OperationQueue>& operationQueue() const { return operationQueue_; }
    const std::shared_ptr<VZRFileManager>& fileManager() const { return fileManager_; }
    const ZUVCertificatePinner& certPinner() const { return certPinner_; }
    bool canUseBackgroundSession() const { return canUseBackgroundSession_; }
    bool supportsBackgroundRequests() const;
    static bool NSURLSessionAvailable();

    // Immediately: at once (synchronously without background support); otherwise only when no task of the
    // session already carries this package.
    void startUploadRequest(const plat::URLRequest& request, const std::string& filePath, bool immediately);
    void attemptToReconnectBackgroundSessionWithCompletionBlock(std::function<void()> block);

    std::string rootPath() const { return fileManager_->rootPath(); }
    // None, with an SDK log warning, for a path outside the root.
    std::optional<std::string> relativeTaskPathForAbsolutePath(const std::string& path) const;
    std::string absolutePathForRelativeTaskPath(const std::string& path) const;

    // Made once, on first use; none when it cannot be made.
    VZRSessionPtr session();

    // The session's callbacks (on the operation queue).
    void didCompleteWithError(const VZRSessionTaskPtr& task, const std::optional<plat::Error>& error);
    void didReceiveChallenge(const plat::URLAuthenticationChallenge& challenge,
                             VZRSessionDelegate::ChallengeCompletion completion);
    void didBecomeInvalidWithError(const std::optional<plat::Error>& error);
    void didFinishEventsForBackgroundURLSession();

    std::function<void()> backgroundCompletionHandler;

    // Internal steps, public for tests.
    void startImmediateUploadRequest(const plat::URLRequest& request, const std::string& filePath);
    void startNewUploadRequest(const plat::URLRequest& request, const std::string& filePath);
    void checkForExistingTaskMatchingDescription(const std::string& description, std::function<void(bool)> block);
    void restartTask(const VZRSessionTaskPtr& task);
    void handleTaskDescription(const std::string& description, const std::optional<plat::Error>& error);

private:
    void reportToDelegate(const std::string& path, const std::optional<plat::Error>& error);
    // The pinner's last verdict per host. A transfer it cancelled would be cancelled again on every restart,
    // so its end is final: the package stays for a later launch instead of being retried for ever.
    void noteTrustVerdict(const std::string& host, bool refused);
    bool trustRefusedFor(const plat::URLRequest& request);
    bool refusedByPinner(const VZRSessionTaskPtr& task, const std::optional<plat::Error>& error);

    std::shared_ptr<plat::OperationQueue> operationQueue_;
    std::shared_ptr<VZRFileManager> fileManager_;
    std::weak_ptr<VZRNetworkClientDelegate> delegate_;
    ZUVCertificatePinner certPinner_;
    bool canUseBackgroundSession_ = false;
    std::mutex sessionMutex_;
    bool sessionMade_ = false;
    VZRSessionPtr session_;
    std::mutex trustMutex_;
    std::set<std::string> refusedHosts_;
};
