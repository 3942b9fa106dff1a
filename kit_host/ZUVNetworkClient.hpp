#pragma once
// The retrying HTTP client of the kit host and its kits: runs data and download tasks on a session of the
// URL-session shim, hands each result to ZUVNetworkResponseHandler, and retries what it calls retryable
// after an exponential, jittered delay (capped at an hour). Server trust is judged by the pinner when the
// client was given certificates, unless the app runs with "-DAVDebugEnabled".

#include "kit_host/VZRURLSession.hpp"
#include "kit_host/ZUVCertificatePinner.hpp"
#include "kit_host/ZUVNetworkResponseHandler.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/OperationQueue.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class ZUVNetworkClient : public std::enable_shared_from_this<ZUVNetworkClient> {
public:
    using DataCompletion = VZRSession::DataCompletion;
    using DownloadCompletion = VZRSession::DownloadCompletion;

    static constexpr uint64_t kDefaultRetryLimit = 10;
    static constexpr double kMaximumRetryDelay = 3600;
    // The jitter's bounds as single-precision values, as the delay has always used them.
    static constexpr double kJitterMin = static_cast<double>(0.9f);
    static constexpr double kJitterMax = static_cast<double>(1.1f);

    // The default session configuration, no delegate queue, no pinning.
    static std::shared_ptr<ZUVNetworkClient> init();
    static std::shared_ptr<ZUVNetworkClient> initWithQueue(std::shared_ptr<plat::OperationQueue> queue);
    static std::shared_ptr<ZUVNetworkClient> initWithQueue(std::shared_ptr<plat::OperationQueue> queue,
                                                           ZUVCertificateList pinnedCertificates);
    // None when no session could be made.
    static std::shared_ptr<ZUVNetworkClient>
    initWithSessionConfiguration(const std::shared_ptr<VZRURLSessionConfiguration>& configuration,
                                 std::shared_ptr<plat::OperationQueue> queue, ZUVCertificateList pinnedCertificates);

    ZUVNetworkClient() = default;
    // Sends finishTasksAndInvalidate to the session.
    virtual ~ZUVNetworkClient();
    ZUVNetworkClient(const ZUVNetworkClient&) = delete;
    ZUVNetworkClient& operator=(const ZUVNetworkClient&) = delete;

    // Makes the pinner (when certificates are given) and the session; false when no session could be made.
    // The factories call it; a subclass made with make_shared calls it itself.
    bool setUp(const std::shared_ptr<VZRURLSessionConfiguration>& configuration,
               std::shared_ptr<plat::OperationQueue> queue, ZUVCertificateList pinnedCertificates);

    // The completion runs exactly once per request chain, on the session's delegate queue. A limit of N
    // allows N retries after the first attempt; `tries` counts the retries done so far.
    void startDataTaskWithRequest(const plat::URLRequest& request, DataCompletion completion);
    void startDataTaskWithRequest(const plat::URLRequest& request, uint64_t retryLimit, DataCompletion completion);
    void startDataTaskWithRequest(const plat::URLRequest& request, uint64_t retryLimit, uint64_t tries,
                                  DataCompletion completion);
    // The file is removed when the completion returns.
    void startDownloadTaskWithRequest(const plat::URLRequest& request, DownloadCompletion completion);
    void startDownloadTaskWithRequest(const plat::URLRequest& request, uint64_t retryLimit, DownloadCompletion completion);
    void startDownloadTaskWithRequest(const plat::URLRequest& request, uint64_t retryLimit, uint64_t tries,
                                      DownloadCompletion completion);

    // Cancels the session's tasks and invalidates it; requests made afterwards (also pending retries)
    // complete with -3.
    void invalidateAndCancel();
    bool isInvalidated() const { return invalidated_.load(); }

    const std::shared_ptr<ZUVCertificatePinner>& certPinner() const { return certPinner_; }
    const VZRSessionPtr& session() const { return session_; }

    // Back-off.
    double randomDoubleWithMin(double min, double max) const;
    double generateRandomJitter() const;
    // jitter × max(Retry-After, 2) ^ max(retryCount, 1), at most kMaximumRetryDelay.
    double computeDelayForResponse(const plat::HTTPURLResponse* response, uint64_t retryCount) const;
    void runAfterRetryValueFromResponse(const plat::HTTPURLResponse* response, uint64_t attempts,
                                        std::function<void()> block) const;
    void runAfterRetryValueFromResponse(const plat::HTTPURLResponse* response, uint64_t attempts,
                                        const plat::DispatchQueuePtr& queue, std::function<void()> block) const;

protected:
    // A uniform draw in [0, 1); tests fix it.
    virtual double randomUnit() const;

private:
    template <class Result, class Completion, class MakeTask>
    void runTask(const plat::URLRequest& request, uint64_t retryLimit, uint64_t tries, Completion completion,
                 MakeTask makeTask);

    std::shared_ptr<ZUVCertificatePinner> certPinner_;
    VZRSessionPtr session_;
    std::atomic<bool> invalidated_{false};
};
