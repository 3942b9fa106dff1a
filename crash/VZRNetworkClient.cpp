#include "crash/VZRNetworkClient.hpp"

#include "crash/capture/VZRApplication.hpp"
#include "crash/capture/VZRSDKLog.hpp"
#include "crash/capture/VZRUtilities.hpp"

#include "kit_host/ZUVNetworkResponseHandler.hpp"
#include "kit_host/Zuvadu.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/String.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLConnection.hpp"
#include "platform/net/URLError.hpp"

#include <unistd.h>

namespace {

bool networkClientDebug() {
    return Zuvadu::sharedSDK().debug();
}

bool networkClientReadable(const std::string& path) {
    return ::access(path.c_str(), R_OK) == 0;
}

// The session holds its delegate strongly; the client holds the session: the link back is weak.
class VZRNetworkClientSessionDelegate : public VZRSessionDelegate {
public:
    explicit VZRNetworkClientSessionDelegate(std::weak_ptr<VZRNetworkClient> client) : client_(std::move(client)) {}

    bool respondsTo(std::string_view selector) const override {
        return selector == "URLSession:task:didCompleteWithError:" ||
               selector == "URLSession:didReceiveChallenge:completionHandler:" ||
               selector == "URLSession:didBecomeInvalidWithError:" ||
               selector == "URLSessionDidFinishEventsForBackgroundURLSession:";
    }
    void didBecomeInvalidWithError(VZRSession&, const std::optional<plat::Error>& error) override {
        if (auto client = client_.lock())
            client->didBecomeInvalidWithError(error);
    }
    void didReceiveChallenge(VZRSession&, const plat::URLAuthenticationChallenge& challenge,
                             ChallengeCompletion completion) override {
        if (auto client = client_.lock())
            client->didReceiveChallenge(challenge, std::move(completion));
        else
            completion(plat::URLSessionAuthChallengeDisposition::cancelAuthenticationChallenge, std::nullopt);
    }
    void didFinishEventsForBackgroundURLSession(VZRSession&) override {
        if (auto client = client_.lock())
            client->didFinishEventsForBackgroundURLSession();
    }
    void didCompleteWithError(VZRSession&, const VZRSessionTaskPtr& task, const std::optional<plat::Error>& error) override {
        if (auto client = client_.lock())
            client->didCompleteWithError(task, error);
    }

private:
    std::weak_ptr<VZRNetworkClient> client_;
};

} // namespace

VZRNetworkClient::VZRNetworkClient(std::shared_ptr<plat::OperationQueue> queue, std::shared_ptr<VZRFileManager> fileManager,
                                   std::weak_ptr<VZRNetworkClientDelegate> delegate)
    : operationQueue_(std::move(queue)), fileManager_(std::move(fileManager)), delegate_(std::move(delegate)),
      certPinner_(ZUVPinnedCertificates()) {
    if (auto strong = delegate_.lock())
        canUseBackgroundSession_ = strong->networkClientCanUseBackgroundSessions(*this);
    if (!supportsBackgroundRequests() && networkClientDebug())
        plat::NSLogText("[Vuzidorazav:Crash:Client] Background session uploading not supported, asynchronous uploading "
                        "will be used");
}

std::shared_ptr<VZRNetworkClient> VZRNetworkClient::initWithQueue(std::shared_ptr<plat::OperationQueue> queue,
                                                                   std::shared_ptr<VZRFileManager> fileManager,
                                                                   std::weak_ptr<VZRNetworkClientDelegate> delegate) {
    return std::make_shared<VZRNetworkClient>(std::move(queue), std::move(fileManager), std::move(delegate));
}

bool VZRNetworkClient::NSURLSessionAvailable() {
    return VZRURLSession::NSURLSessionShouldBeUsed();
}

bool VZRNetworkClient::supportsBackgroundRequests() const {
    if (VZRApplicationIsExtension() || !NSURLSessionAvailable())
        return false;
    return canUseBackgroundSession_;
}

std::optional<std::string> VZRNetworkClient::relativeTaskPathForAbsolutePath(const std::string& path) const {
    const std::string root = rootPath() + "/";
    if (path.rfind(root, 0) != 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: path '%s' is not at the root '%s'\n", VZR_HERE, path.c_str(),
                  rootPath().c_str());
        return std::nullopt;
    }
    // Every occurrence goes, as the task descriptions of earlier versions were made.
    std::string relative = path;
    for (size_t at = relative.find(root); at != std::string::npos; at = relative.find(root, at))
        relative.erase(at, root.size());
    return relative;
}

std::string VZRNetworkClient::absolutePathForRelativeTaskPath(const std::string& path) const {
    return plat::String::appendingPathComponent(rootPath(), path);
}

VZRSessionPtr VZRNetworkClient::session() {
    std::lock_guard lock(sessionMutex_);
    if (sessionMade_)
        return session_;
    sessionMade_ = true;
    std::shared_ptr<VZRURLSessionConfiguration> configuration;
    if (supportsBackgroundRequests()) {
        configuration = VZRURLSessionConfiguration::backgroundSessionConfiguration(kVZRBackgroundSessionIdentifier);
        if (configuration)
            configuration->setSessionSendsLaunchEvents(false);
    }
    if (!configuration)
        configuration = VZRURLSessionConfiguration::defaultSessionConfiguration();
    if (configuration)
        session_ = VZRURLSession::sessionWithConfiguration(
            configuration, std::make_shared<VZRNetworkClientSessionDelegate>(weak_from_this()), operationQueue_);
    if (!configuration || !session_)
        plat::NSLogText("[Vuzidorazav:Crash:Client] Failed to initialize");
    return session_;
}

void VZRNetworkClient::startUploadRequest(const plat::URLRequest& request, const std::string& filePath, bool immediately) {
    if (immediately) {
        startImmediateUploadRequest(request, filePath);
        return;
    }
    const auto description = relativeTaskPathForAbsolutePath(filePath);
    if (!description) {
        // Its completion could not be mapped back to the package: refused, as a package that is not there.
        reportToDelegate(filePath, plat::Error(kVZRNetworkErrorDomain, -2, plat::Dictionary{{"path", plat::Value(filePath)}}));
        return;
    }
    checkForExistingTaskMatchingDescription(*description, [self = shared_from_this(), request, filePath](bool exists) {
        if (exists) {
            if (networkClientDebug())
                plat::NSLogText("[Vuzidorazav:Crash:Client] A task currently exists for this upload, skipping");
            return;
        }
        self->startNewUploadRequest(request, filePath);
    });
}

void VZRNetworkClient::checkForExistingTaskMatchingDescription(const std::string& description,
                                                               std::function<void(bool)> block) {
    operationQueue_->addOperationWithBlock([self = shared_from_this(), description, block = std::move(block)] {
        VZRSessionPtr session = self->session();
        if (!session) {
            block(false);
            return;
        }
        session->getTasks([description, block](VZRSession::TaskList data, VZRSession::TaskList upload,
                                                VZRSession::TaskList download) {
            const auto has = [&](const VZRSession::TaskList& tasks) {
                for (const auto& task : tasks)
                    if (task && task->taskDescription() == description)
                        return true;
                return false;
            };
            block(has(upload) || has(data) || has(download));
        });
    });
}

void VZRNetworkClient::startNewUploadRequest(const plat::URLRequest& request, const std::string& filePath) {
    if (!networkClientReadable(filePath)) {
        operationQueue_->addOperationWithBlock([self = shared_from_this(), filePath] {
            self->reportToDelegate(filePath,
                                   plat::Error(kVZRNetworkErrorDomain, -2, plat::Dictionary{{"path", plat::Value(filePath)}}));
        });
        return;
    }
    const auto description = relativeTaskPathForAbsolutePath(filePath);
    VZRSessionPtr session = this->session();
    if (!session || !description)
        return;
    VZRSessionTaskPtr task = session->uploadTask(request, plat::URL::file(filePath));
    if (!task)
        return;
    task->setTaskDescription(*description);
    task->resume();
}

void VZRNetworkClient::startImmediateUploadRequest(const plat::URLRequest& request, const std::string& filePath) {
    if (supportsBackgroundRequests()) {
        startNewUploadRequest(request, filePath);
        return;
    }
    if (!networkClientReadable(filePath)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: file unreadable\n", VZR_HERE);
        return;
    }
    plat::URLRequest body = request;
    body.setHTTPBodyStream(plat::InputStream::withFile(filePath));
    // The same trust as the session's: pinned roots unless the kit host runs in debug mode. A refused chain
    // ends the load before any byte of the report is sent.
    const auto result =
        networkClientDebug()
            ? plat::URLConnection::sendSynchronousRequest(body)
            : plat::URLConnection::sendSynchronousRequest(
                  body, [this](const plat::URLAuthenticationChallenge& challenge,
                               plat::URLSessionDelegate::ChallengeCompletion completion) {
                      certPinner_.handleChallenge(challenge, completion);
                  });
    if (result.error)
        return;
    if (ZUVNetworkResponseHandler::clientResponseType(result.response.get()) == ZUVNetworkResponseHandler::success)
        reportToDelegate(filePath, std::nullopt);
}

void VZRNetworkClient::didCompleteWithError(const VZRSessionTaskPtr& task, const std::optional<plat::Error>& error) {
    if (!task)
        return;
    const auto response = task->response();
    const plat::URLRequest original = task->originalRequest().value_or(plat::URLRequest());
    if (refusedByPinner(task, error)) {
        handleTaskDescription(task->taskDescription(), error);
        return;
    }
    ZUVNetworkResponseHandler::handleCompletedResponse(
        response.get(), original, error, [self = shared_from_this(), task](bool retry, const std::optional<plat::Error>& e) {
            if (retry)
                self->restartTask(task);
            else
                self->handleTaskDescription(task->taskDescription(), e);
        });
}

void VZRNetworkClient::restartTask(const VZRSessionTaskPtr& task) {
    const double delay = ZUVNetworkResponseHandler::retryValueForResponse(task->response().get());
    const auto request = task->originalRequest();
    const std::string path = absolutePathForRelativeTaskPath(task->taskDescription());
    if (!request)
        return;
    VZRAddOperationAfterDelay(
        operationQueue_, [self = shared_from_this(), request = *request, path] { self->startNewUploadRequest(request, path); },
        delay);
}

void VZRNetworkClient::handleTaskDescription(const std::string& description, const std::optional<plat::Error>& error) {
    reportToDelegate(absolutePathForRelativeTaskPath(description), error);
}

void VZRNetworkClient::reportToDelegate(const std::string& path, const std::optional<plat::Error>& error) {
    if (auto delegate = delegate_.lock())
        delegate->networkClientDidFinishUploadWithPath(*this, path, error);
}

void VZRNetworkClient::didReceiveChallenge(const plat::URLAuthenticationChallenge& challenge,
                                           VZRSessionDelegate::ChallengeCompletion completion) {
    if (networkClientDebug()) {
        completion(plat::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
        return;
    }
    const std::string host = challenge.protectionSpace.host;
    certPinner_.handleChallenge(
        challenge, [self = shared_from_this(), host, completion](plat::URLSessionAuthChallengeDisposition disposition,
                                                                 std::optional<plat::URLCredential> credential) {
            // Noted before the answer goes back, so the transfer's end already finds it.
            self->noteTrustVerdict(host,
                                   disposition == plat::URLSessionAuthChallengeDisposition::cancelAuthenticationChallenge);
            completion(disposition, std::move(credential));
        });
}

void VZRNetworkClient::noteTrustVerdict(const std::string& host, bool refused) {
    std::lock_guard lock(trustMutex_);
    if (refused)
        refusedHosts_.insert(host);
    else
        refusedHosts_.erase(host);
}

bool VZRNetworkClient::trustRefusedFor(const plat::URLRequest& request) {
    const auto host = request.url() ? request.url()->host() : std::nullopt;
    std::lock_guard lock(trustMutex_);
    return host && refusedHosts_.count(*host) > 0;
}

bool VZRNetworkClient::refusedByPinner(const VZRSessionTaskPtr& task, const std::optional<plat::Error>& error) {
    if (!error || !error->is(plat::NSURLErrorDomain, plat::NSURLErrorCancelled))
        return false;
    const auto request = task->originalRequest();
    return request && trustRefusedFor(*request);
}

void VZRNetworkClient::didBecomeInvalidWithError(const std::optional<plat::Error>& error) {
    if (networkClientDebug())
        plat::NSLogText("[Vuzidorazav:Crash:Client] session became invalid: " +
                        (error ? error->description() : std::string("(null)")));
}

void VZRNetworkClient::didFinishEventsForBackgroundURLSession() {
    if (!backgroundCompletionHandler) {
        plat::NSLogText("[Vuzidorazav:Crash:Client] background callback is nil?");
        return;
    }
    auto handler = backgroundCompletionHandler;
    plat::OperationQueue::main()->addOperationWithBlock([self = shared_from_this(), handler] {
        handler();
        self->operationQueue_->addOperationWithBlock([self] { self->backgroundCompletionHandler = nullptr; });
    });
}

void VZRNetworkClient::attemptToReconnectBackgroundSessionWithCompletionBlock(std::function<void()> block) {
    if (!block)
        return;
    if (supportsBackgroundRequests())
        plat::OperationQueue::main()->addOperationWithBlock(std::move(block));
    else
        block();
}
