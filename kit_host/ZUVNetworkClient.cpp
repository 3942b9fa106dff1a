#include "kit_host/ZUVNetworkClient.hpp"

#include "kit_host/Zuvadu.hpp"

#include "platform/foundation/Random.hpp"

#include <algorithm>
#include <cmath>

namespace {

// The client's session delegate. It holds the pinner only, so the session (which holds its delegate until
// it is invalidated) does not keep the client alive, and the client's release can invalidate it.
class ZUVNetworkClientSessionDelegate : public VZRSessionDelegate {
public:
    explicit ZUVNetworkClientSessionDelegate(std::shared_ptr<ZUVCertificatePinner> pinner) : pinner_(std::move(pinner)) {}

    bool respondsTo(std::string_view selector) const override {
        return selector == plat::URLSessionSelector::didBecomeInvalidWithError ||
               selector == plat::URLSessionSelector::didReceiveChallenge;
    }
    void didBecomeInvalidWithError(VZRSession&, const std::optional<plat::Error>&) override {}
    void didReceiveChallenge(VZRSession&, const plat::URLAuthenticationChallenge& challenge,
                             ChallengeCompletion completion) override {
        if (Zuvadu::sharedSDK().debug() || !pinner_) {
            completion(plat::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
            return;
        }
        pinner_->handleChallenge(challenge, completion);
    }

private:
    const std::shared_ptr<ZUVCertificatePinner> pinner_;
};

} // namespace

std::shared_ptr<ZUVNetworkClient> ZUVNetworkClient::init() {
    return initWithQueue(nullptr);
}

std::shared_ptr<ZUVNetworkClient> ZUVNetworkClient::initWithQueue(std::shared_ptr<plat::OperationQueue> queue) {
    return initWithQueue(std::move(queue), {});
}

std::shared_ptr<ZUVNetworkClient> ZUVNetworkClient::initWithQueue(std::shared_ptr<plat::OperationQueue> queue,
                                                                  ZUVCertificateList pinnedCertificates) {
    return initWithSessionConfiguration(VZRURLSessionConfiguration::defaultSessionConfiguration(), std::move(queue),
                                        std::move(pinnedCertificates));
}

std::shared_ptr<ZUVNetworkClient>
ZUVNetworkClient::initWithSessionConfiguration(const std::shared_ptr<VZRURLSessionConfiguration>& configuration,
                                               std::shared_ptr<plat::OperationQueue> queue,
                                               ZUVCertificateList pinnedCertificates) {
    auto client = std::make_shared<ZUVNetworkClient>();
    if (!client->setUp(configuration, std::move(queue), std::move(pinnedCertificates)))
        return nullptr;
    return client;
}

bool ZUVNetworkClient::setUp(const std::shared_ptr<VZRURLSessionConfiguration>& configuration,
                             std::shared_ptr<plat::OperationQueue> queue, ZUVCertificateList pinnedCertificates) {
    if (!pinnedCertificates.empty())
        certPinner_ = std::make_shared<ZUVCertificatePinner>(std::move(pinnedCertificates));
    session_ = VZRURLSession::sessionWithConfiguration(
        configuration, std::make_shared<ZUVNetworkClientSessionDelegate>(certPinner_), std::move(queue));
    return session_ != nullptr;
}

ZUVNetworkClient::~ZUVNetworkClient() {
    if (session_)
        session_->finishTasksAndInvalidate();
}

void ZUVNetworkClient::invalidateAndCancel() {
    invalidated_.store(true);
    if (session_)
        session_->invalidateAndCancel();
}

template <class Result, class Completion, class MakeTask>
void ZUVNetworkClient::runTask(const plat::URLRequest& request, uint64_t retryLimit, uint64_t tries,
                               Completion completion, MakeTask makeTask) {
    if (!completion)
        completion = [](std::optional<Result>, std::shared_ptr<const plat::HTTPURLResponse>, std::optional<plat::Error>) {};
    VZRSessionTaskPtr task;
    if (!invalidated_.load() && session_) {
        auto self = shared_from_this();
        task = makeTask(request, [self, request, retryLimit, tries, completion, makeTask](
                                     std::optional<Result> result, std::shared_ptr<const plat::HTTPURLResponse> response,
                                     std::optional<plat::Error> error) {
            ZUVNetworkResponseHandler::handleCompletedResponse(
                response.get(), request, error, [&](bool retry, const std::optional<plat::Error>& classified) {
                    if (!retry) {
                        completion(std::move(result), response, classified);
                        return;
                    }
                    if (tries < retryLimit) {
                        self->runAfterRetryValueFromResponse(response.get(), tries,
                                                             [self, request, retryLimit, tries, completion, makeTask] {
                                                                 self->runTask<Result>(request, retryLimit, tries + 1,
                                                                                       completion, makeTask);
                                                             });
                        return;
                    }
                    plat::Dictionary info{{"retryLimit", plat::Value(retryLimit)}};
                    if (request.url())
                        info.set(plat::NSURLErrorFailingURLErrorKey, plat::Value(request.url()->absoluteString()));
                    completion(std::nullopt, nullptr,
                               ZUVNetworkResponseHandler::errorForCode(ZUVNetworkResponseHandler::kRetryLimitErrorCode,
                                                                       std::move(info)));
                });
        });
    }
    if (!task) {
        completion(std::nullopt, nullptr, ZUVNetworkResponseHandler::errorForCode(ZUVNetworkResponseHandler::kNoTaskErrorCode));
        return;
    }
    task->resume();
}

void ZUVNetworkClient::startDataTaskWithRequest(const plat::URLRequest& request, DataCompletion completion) {
    startDataTaskWithRequest(request, kDefaultRetryLimit, std::move(completion));
}

void ZUVNetworkClient::startDataTaskWithRequest(const plat::URLRequest& request, uint64_t retryLimit,
                                                DataCompletion completion) {
    startDataTaskWithRequest(request, retryLimit, 0, std::move(completion));
}

void ZUVNetworkClient::startDataTaskWithRequest(const plat::URLRequest& request, uint64_t retryLimit, uint64_t tries,
                                                DataCompletion completion) {
    std::weak_ptr<ZUVNetworkClient> weak = weak_from_this();
    runTask<plat::Data>(request, retryLimit, tries, std::move(completion),
                        [weak](const plat::URLRequest& r, DataCompletion c) -> VZRSessionTaskPtr {
                            auto self = weak.lock();
                            return self && self->session_ ? self->session_->dataTask(r, std::move(c)) : nullptr;
                        });
}

void ZUVNetworkClient::startDownloadTaskWithRequest(const plat::URLRequest& request, DownloadCompletion completion) {
    startDownloadTaskWithRequest(request, kDefaultRetryLimit, std::move(completion));
}

void ZUVNetworkClient::startDownloadTaskWithRequest(const plat::URLRequest& request, uint64_t retryLimit,
                                                    DownloadCompletion completion) {
    startDownloadTaskWithRequest(request, retryLimit, 0, std::move(completion));
}

void ZUVNetworkClient::startDownloadTaskWithRequest(const plat::URLRequest& request, uint64_t retryLimit,
                                                    uint64_t tries, DownloadCompletion completion) {
    std::weak_ptr<ZUVNetworkClient> weak = weak_from_this();
    runTask<plat::URL>(request, retryLimit, tries, std::move(completion),
                       [weak](const plat::URLRequest& r, DownloadCompletion c) -> VZRSessionTaskPtr {
                           auto self = weak.lock();
                           return self && self->session_ ? self->session_->downloadTask(r, std::move(c)) : nullptr;
                       });
}

double ZUVNetworkClient::randomUnit() const {
    return plat::Random::unit();
}

double ZUVNetworkClient::randomDoubleWithMin(double min, double max) const {
    return min + (max - min) * randomUnit();
}

double ZUVNetworkClient::generateRandomJitter() const {
    return randomDoubleWithMin(kJitterMin, kJitterMax);
}

double ZUVNetworkClient::computeDelayForResponse(const plat::HTTPURLResponse* response, uint64_t retryCount) const {
    const double base = std::max(ZUVNetworkResponseHandler::retryValueForResponse(response), 2.0);
    const double exponent = static_cast<double>(std::max<uint64_t>(retryCount, 1));
    // Past the cap the power is not needed (and may be infinite): compare in logarithms first.
    const double jitter = generateRandomJitter();
    if (exponent * std::log(base) + std::log(jitter) >= std::log(kMaximumRetryDelay))
        return kMaximumRetryDelay;
    return std::min(jitter * std::pow(base, exponent), kMaximumRetryDelay);
}

void ZUVNetworkClient::runAfterRetryValueFromResponse(const plat::HTTPURLResponse* response, uint64_t attempts,
                                                      std::function<void()> block) const {
    runAfterRetryValueFromResponse(response, attempts, plat::DispatchQueue::global(), std::move(block));
}

void ZUVNetworkClient::runAfterRetryValueFromResponse(const plat::HTTPURLResponse* response, uint64_t attempts,
                                                      const plat::DispatchQueuePtr& queue,
                                                      std::function<void()> block) const {
    (void)queue->asyncAfter(computeDelayForResponse(response, attempts), std::move(block));
}
