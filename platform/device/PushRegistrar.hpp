#pragma once
// The push service the device registers with: it hands the app a device token or a registration error.
// By default it answers every request at once with the device's token (32 random bytes made once and kept in
// the device folder); a test can hold requests and answer them itself.

#include "platform/foundation/Error.hpp"
#include "platform/uikit/UIApplication.hpp"

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace plat {

// The errors the device gives when registration cannot work.
enum class RegistrationFailure {
    missingEntitlement, // 3000: the app lacks the push entitlement
    unsupported,        // 3010: this device has no push service
};

class PushRegistrar final : public RemoteNotificationRegistrar {
public:
    using Answer = std::function<void(Result<Data>)>;

    // Answers the request: with a scripted answer when one is waiting, else with the automatic token, else
    // it waits for deliverToken / failRegistration.
    void registerForRemoteNotifications(Answer done) override;

    // From now on every request is answered with `token` (the device token when none); waiting requests
    // are answered now.
    void autoRegister(std::optional<Data> token = std::nullopt);
    // From now on requests wait for the test's answer.
    void hold();
    // Answers the oldest waiting request; when none waits, the next request gets this answer.
    void deliverToken(Data token);
    void failRegistration(Error error);

    // The device's token: read from the device folder, else made from plat::Random and stored there.
    Result<Data> deviceToken();
    // Forgets the token held in memory (after the device folder was removed).
    void forgetDeviceToken();

    std::size_t requestCount() const;
    std::size_t waitingCount() const;

    static Error failure(RegistrationFailure preset);
    static Error failure(std::string domain, int64_t code, std::string description);
    // `<device>/PushRegistrar/deviceToken`.
    static std::string tokenPath();

private:
    void answer(Result<Data> scripted);

    mutable std::mutex mutex_;
    bool automatic_ = true;
    std::optional<Data> autoToken_; // none: the device token
    std::optional<Data> deviceToken_;
    std::deque<Result<Data>> scripted_;
    std::deque<Answer> waiting_;
    std::size_t requests_ = 0;
};

} // namespace plat
