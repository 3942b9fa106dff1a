#include "ZazududIda/ZDANetworkRetryHandler.hpp"

#include "kit_host/ZUVNetworkResponseHandler.hpp"
#include "kit_host/Zuvadu.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Random.hpp"

#include <cmath>

ZDABackoffTimer::ZDABackoffTimer(double initialValue, double jitterCoefficient)
    : initialValue_(initialValue), jitterCoefficient_(jitterCoefficient) {
    if (!jitterCoefficientIsValid(jitterCoefficient)) {
        plat::Exception::raise("NSInternalInconsistencyException",
                               "Invalid parameter not satisfying: [ZDABackoffTimer jitterCoefficientIsValid:jitterCoefficient]");
    }
}

double ZDABackoffTimer::randomDoubleWithMin(double min, double max) {
    return min + (max - min) * plat::Random::unit();
}

double ZDABackoffTimer::generateRandomJitter() const {
    const double c = jitterCoefficientIsValid(jitterCoefficient_) ? jitterCoefficient_ : kDefaultJitterCoefficient;
    return randomDoubleWithMin(1 - c, 1 + c);
}

double ZDABackoffTimer::computeDelayForInitialValue(double initialValue, uint64_t retryCount) const {
    // NaN compares false, so a NaN initial value falls to the base of 2.
    const double base = initialValue > 2.0 ? initialValue : 2.0;
    const double exponent = retryCount == 0 ? 1.0 : static_cast<double>(retryCount);
    const double delay = std::pow(base, exponent) * generateRandomJitter();
    if (!(delay < kMaximumDelay)) {
        return kMaximumDelay; // also infinity
    }
    return delay;
}

void ZDABackoffTimer::executeBlockAfterNextInterval(std::function<void()> block) {
    ++retryCount_;
    const double delay = computeDelayForInitialValue(initialValue_, retryCount_);
    plat::DispatchQueue::main()->asyncAfter(delay, std::move(block));
}

ZDANetworkRetryHandler::ZDANetworkRetryHandler()
    : certPinner_(std::make_shared<ZUVCertificatePinner>(ZUVPinnedCertificates())) {}

Zuvadu& ZDANetworkRetryHandler::sharedVizezeSDK() {
    return Zuvadu::sharedSDK();
}

void ZDANetworkRetryHandler::handleChallenge(const plat::URLAuthenticationChallenge& challenge, VZRSession&,
                                             const VZRSessionDelegate::ChallengeCompletion& completion) const {
    if (sharedVizezeSDK().debug() || !certPinner_) {
        completion(plat::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
        return;
    }
    certPinner_->handleChallenge(challenge, completion);
}

double ZDANetworkRetryHandler::retryValueForResponse(const plat::HTTPURLResponse* response) {
    return ZUVNetworkResponseHandler::retryValueForResponse(response);
}

void ZDANetworkRetryHandler::handleCompletedRequest(const plat::URLRequest& request,
                                                    const plat::HTTPURLResponse* response,
                                                    const std::string& identifier, uint64_t maxRetries,
                                                    const std::optional<plat::Error>& error, Completion completion) {
    bool retry = false;
    std::optional<plat::Error> handlerError;
    ZUVNetworkResponseHandler::handleCompletedResponse(response, request, error,
                                                       [&](bool r, const std::optional<plat::Error>& e) {
                                                           retry = r;
                                                           handlerError = e;
                                                       });
    if (!retry) {
        completion(false, handlerError);
        return;
    }
    auto timer = timerForIdentifier(identifier, retryValueForResponse(response));
    if (!timer) {
        completion(false, errorWithCode(kNoTimerCode, identifier, request, handlerError));
        return;
    }
    if (timer->retryCount() > maxRetries) {
        completion(false, errorWithCode(kRetryBudgetSpentCode, identifier, request, handlerError));
        return;
    }
    timer->executeBlockAfterNextInterval(
        [completion = std::move(completion), handlerError] { completion(true, handlerError); });
}

std::shared_ptr<ZDABackoffTimer> ZDANetworkRetryHandler::timerForIdentifier(const std::string& identifier,
                                                                            double initialRetryValue) {
    if (identifier.empty()) {
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    auto& timer = retryTimerMap_[identifier];
    if (!timer) {
        timer = std::make_shared<ZDABackoffTimer>(initialRetryValue);
    }
    return timer;
}

plat::Error ZDANetworkRetryHandler::errorWithCode(int64_t code, const std::string& identifier,
                                                  const plat::URLRequest& request,
                                                  const std::optional<plat::Error>& handlerError) {
    if (handlerError) {
        return *handlerError;
    }
    plat::Dictionary userInfo;
    userInfo.set(kIdentifierKey, plat::Value(identifier.empty() ? std::string("(null)") : identifier));
    if (request.url()) {
        userInfo.set(plat::NSURLErrorFailingURLErrorKey, plat::Value(request.url()->absoluteString()));
    }
    return plat::Error(kErrorDomain, code, std::move(userInfo));
}

std::size_t ZDANetworkRetryHandler::timerCount() const {
    std::lock_guard lock(mutex_);
    return retryTimerMap_.size();
}
