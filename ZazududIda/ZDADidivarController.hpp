#pragma once
// The heart of the event kit: one serial operation queue (the event queue) on which every file and network
// step happens. It lays out the kit's folder, appends each event to the current log, rotates the log when it
// outgrows the settings' size or an event asks for a flush, turns each rotated log into a compressed,
// packaged upload and submits it through the uploader, whose delegate it is. It takes the kit host's
// settings once they are available, turns the kit off (and deletes its files) when they say so, and records
// the application's lifecycle notifications as events. Made once per process; it lives until the end.

#include "ZazududIda/ZDAEvent.hpp"
#include "ZazududIda/ZDAEventFilter.hpp"
#include "ZazududIda/ZDAMetadata.hpp"
#include "ZazududIda/ZDANetworkRetryHandler.hpp"
#include "ZazududIda/ZDASettings.hpp"
#include "ZazududIda/ZDATimer.hpp"
#include "ZazududIda/ZDAUploader.hpp"
#include "ZazududIda/ZDAVedudoduAnalyticsBridge.hpp"

#include "platform/dispatch/Operation.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/net/URL.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

class Zuvadu;

class ZDADidivarController : public ZDAUploaderDelegate, public std::enable_shared_from_this<ZDADidivarController> {
public:
    static constexpr const char* kEventQueueName = "di.duduzed.UzuroDizer";
    static constexpr const char* kSettingsAvailableNotification = "ZUVSettingsAvailableNotification";

    static std::shared_ptr<ZDADidivarController> initWithBetaToken(std::optional<std::string> betaToken);
    static std::shared_ptr<ZDADidivarController> initWithBetaToken(std::optional<std::string> betaToken,
                                                                   std::string rootDirectory);
    ~ZDADidivarController() override;

    // "<Caches>/com.vuzidorazav.data/<escaped bundle id>/analytics/v2".
    static std::string rootDirectory();
    static std::string eventDirectoryForRootDirectory(const std::string& root) { return root + "/events"; }
    static std::string crashMetadataPathForRootDirectory(const std::string& root) { return root + "/crash_metadata"; }
    static Zuvadu& sharedVizezeSDK();
    std::shared_ptr<ZDAUploader> uploaderWithQueue(std::shared_ptr<plat::OperationQueue> queue,
                                                   std::weak_ptr<ZDAUploaderDelegate> delegate) const;

    // From any thread; they only add operations.
    void logEvent(ZDAEventPtr event);
    void enqueueEvent(ZDAEventPtr event);
    void logCrashEvent(std::shared_ptr<const ZDACrashEvent> event);
    // Whether the event queue has work or an upload is on its way: the app's console waits for it to settle.
    bool hasWorkInFlight() const;

    // On the event queue.
    bool shouldLogEvent() const;
    void logEventToVedudodu(const ZDAEvent& event) const;
    plat::URL generateNewLogPath() const;
    bool shouldSubmitLogAtURL(const plat::URL& url) const;
    void rotateAndSubmitCurrentLog();
    std::vector<plat::OperationPtr> operationsForUncompressedLog(const plat::URL& logURL);
    std::vector<plat::OperationPtr> operationsForCompressedLog(const plat::URL& compressedURL);
    std::shared_ptr<ZDAUploadOperation> uploadOperationForFileAtURL(const plat::URL& url, const std::string& boundary);
    plat::URL multipartMimeURLWithBoundary(const std::string& boundary) const;
    static std::optional<std::string> boundaryFromURL(const std::optional<plat::URL>& url);
    void cleanupAndProcessExistingFiles();
    void uploadAllMultipartFiles();
    void uploadMultipartFiles(const std::set<plat::URL>& urls);
    void removeAllLogs();
    static std::shared_ptr<const ZDACrashMetadata>
    replacePreviousExecutionMetadataWithCurrentMetadata(const std::shared_ptr<const ZDAMetadata>& metadata,
                                                        const std::string& rootDirectory);

    void registerForApplicationLifecycleEvents();
    void applicationLifecycleEvent(const plat::Notification& notification);
    void vizezeSettingsDidBecomeAvailable();
    void initializeSettingsIfNeededWithVizezeSettings(std::optional<plat::Dictionary> settings);
    void setupFlushTimer();
    void flushTimerFired();

    // The uploader's delegate (on the event queue).
    std::string filePathForUniqueName(ZDAUploader& uploader, const std::string& uniqueName) override;
    void didFinishUploadWithUniqueName(ZDAUploader& uploader, const std::string& uniqueName,
                                       const std::optional<plat::Error>& error) override;
    void completedRequest(ZDAUploader& uploader, const plat::URLRequest& request, const plat::HTTPURLResponse* response,
                          const std::string& uniqueName, const std::optional<plat::Error>& error,
                          RetryCompletion completionHandler) override;
    bool respondsToChallenge() const override { return true; }
    void didReceiveChallenge(ZDAUploader& uploader, VZRSession& session, const plat::URLAuthenticationChallenge& challenge,
                             VZRSessionDelegate::ChallengeCompletion completion) override;

    const std::shared_ptr<plat::OperationQueue>& eventQueue() const { return eventQueue_; }
    const std::string& betaToken() const { return betaToken_; }
    std::string rootEventDirectory() const;
    std::shared_ptr<const ZDAMetadata> metadata() const;
    std::shared_ptr<const ZDACrashMetadata> previousExecutionMetadata() const;
    std::shared_ptr<ZDAUploader> uploader() const;
    std::shared_ptr<ZDANetworkRetryHandler> networkRetryHandler() const;
    std::optional<plat::URL> currentLogURL() const;
    std::shared_ptr<const ZDASettings> settings() const;
    std::shared_ptr<ZDATimer> flushTimer() const;

private:
    ZDADidivarController(std::optional<std::string> betaToken, std::string rootDirectory);
    void start();
    void startUp();
    std::shared_ptr<plat::Operation> enqueueEventReturningActivity(ZDAEventPtr event);
    void recordEvent(const ZDAEventPtr& event, const std::weak_ptr<plat::Operation>& activity);
    void recordCrashEvent(const std::shared_ptr<const ZDACrashEvent>& event, const std::weak_ptr<plat::Operation>& activity);
    bool sampledAway(const ZDAEvent& event) const;
    void addOperations(const std::vector<plat::OperationPtr>& operations);
    bool onEventQueue(const char* method) const;

    const std::shared_ptr<plat::OperationQueue> eventQueue_;
    const std::optional<std::string> betaTokenValue_;
    const std::string betaToken_;
    const std::string rootDirectory_;

    mutable std::mutex mutex_; // the fields below: written on the event queue, read by accessors anywhere
    std::string rootEventDirectory_;
    std::shared_ptr<const ZDAMetadata> metadata_;
    std::shared_ptr<const ZDACrashMetadata> previousExecutionMetadata_;
    std::shared_ptr<ZDAUploader> uploader_;
    std::shared_ptr<ZDANetworkRetryHandler> networkRetryHandler_;
    std::optional<plat::URL> currentLogURL_;
    std::shared_ptr<ZDAEventFilter> eventFilter_;
    std::shared_ptr<const ZDASettings> settings_;
    std::shared_ptr<ZDATimer> flushTimer_;
    std::shared_ptr<ZDAVedudoduAnalyticsBridge> vedudoduAnalyticsBridge_;
    // Whether a write to the current log has been queued since it became current. Only touched on the event
    // queue. The write runs after the block that queued it, so the log's file alone does not tell whether
    // events are on their way into it.
    bool currentLogHasEvents_ = false;
};
