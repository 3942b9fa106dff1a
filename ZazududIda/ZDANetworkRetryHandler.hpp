#pragma once
// Whether a finished events upload is sent again: the kit host's response classification decides whether
// the outcome is worth a retry; each upload (by its unique name) has one back-off timer that spaces its
// retries exponentially, with jitter, and gives up once the budget is spent. Also answers the upload
// session's server-trust challenges with the kit host's pinning, unless the kit host is in debug mode.

#include "kit_host/ZUVCertificatePinner.hpp"
#include "kit_host/VZRURLSession.hpp"

#include "platform/foundation/Error.hpp"
#include "platform/net/HTTPURLResponse.hpp"
#include "platform/net/URLRequest.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class Zuvadu;

class ZDABackoffTimer {
public:
    // The single-precision 0.1 widened, as the timer has always drawn with.
    static constexpr double kDefaultJitterCoefficient = static_cast<double>(0.1f);
    // The longest wait a dispatch deadline holds: the deadline (now + delay) is kept in signed 64-bit
    // nanoseconds, so the delay stays at 2^62 ns (about 146 years), leaving the other half for the clock. A
    // longer delay (infinity too) waits this long; converting it as it stands would overflow, which is
    // undefined and in practice fires at once.
    static constexpr double kMaximumDelay = 4611686018.427387904;

    // A coefficient outside [0, 1) is a programming error: raises NSInternalInconsistencyException.
    explicit ZDABackoffTimer(double initialValue = 0, double jitterCoefficient = kDefaultJitterCoefficient);

    static bool jitterCoefficientIsValid(double coefficient) { return coefficient >= 0 && coefficient < 1; }

    double initialValue() const { return initialValue_; }
    void setInitialValue(double value) { initialValue_ = value; }
    double jitterCoefficient() const { return jitterCoefficient_; }
    uint64_t retryCount() const { return retryCount_; }
    void setRetryCount(uint64_t count) { retryCount_ = count; }

    static double randomDoubleWithMin(double min, double max);
    // Uniform in [1 - c, 1 + c).
    double generateRandomJitter() const;
    // max(initial, 2) ^ max(count, 1) × jitter, clamped to kMaximumDelay.
    double computeDelayForInitialValue(double initialValue, uint64_t retryCount) const;
    // Counts the retry and runs `block` once on the main queue after the next delay.
    void executeBlockAfterNextInterval(std::function<void()> block);

private:
    double initialValue_;
    double jitterCoefficient_;
    uint64_t retryCount_ = 0;
};

class ZDANetworkRetryHandler {
public:
    static constexpr const char* kErrorDomain = "ZUVNetworkError";
    static constexpr const char* kIdentifierKey = "ZDANetworkRetryHandlerIdentifier";
    static constexpr int64_t kRetryBudgetSpentCode = -6;
    static constexpr int64_t kNoTimerCode = -7;
    static constexpr uint64_t kDefaultMaxRetries = 10;

    using Completion = std::function<void(bool retry, const std::optional<plat::Error>& error)>;

    ZDANetworkRetryHandler();

    static Zuvadu& sharedVizezeSDK();
    const std::shared_ptr<ZUVCertificatePinner>& certPinner() const { return certPinner_; }

    void handleChallenge(const plat::URLAuthenticationChallenge& challenge, VZRSession& session,
                         const VZRSessionDelegate::ChallengeCompletion& completion) const;
    static double retryValueForResponse(const plat::HTTPURLResponse* response);

    void handleCompletedRequest(const plat::URLRequest& request, const plat::HTTPURLResponse* response,
                                const std::string& identifier, const std::optional<plat::Error>& error,
                                Completion completion) {
        handleCompletedRequest(request, response, identifier, kDefaultMaxRetries, error, std::move(completion));
    }
    void handleCompletedRequest(const plat::URLRequest& request, const plat::HTTPURLResponse* response,
                                const std::string& identifier, uint64_t maxRetries,
                                const std::optional<plat::Error>& error, Completion completion);

    // None for an empty name. A name keeps its first timer (and that timer its first initial value).
    std::shared_ptr<ZDABackoffTimer> timerForIdentifier(const std::string& identifier, double initialRetryValue);
    // `handlerError` when there is one, else a new error with the name and the request's URL.
    static plat::Error errorWithCode(int64_t code, const std::string& identifier, const plat::URLRequest& request,
                                     const std::optional<plat::Error>& handlerError);

    std::size_t timerCount() const;

private:
    std::shared_ptr<ZUVCertificatePinner> certPinner_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<ZDABackoffTimer>> retryTimerMap_;
};
