#include "platform/device/PushRegistrar.hpp"

#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Random.hpp"

#include <utility>
#include <vector>

namespace plat {

namespace {
constexpr std::size_t kTokenLength = 32;
}

void PushRegistrar::registerForRemoteNotifications(Answer done) {
    std::unique_lock lock(mutex_);
    ++requests_;
    if (!scripted_.empty()) {
        Result<Data> r = std::move(scripted_.front());
        scripted_.pop_front();
        lock.unlock();
        done(std::move(r));
        return;
    }
    if (!automatic_) {
        waiting_.push_back(std::move(done));
        return;
    }
    std::optional<Data> token = autoToken_;
    lock.unlock();
    if (token)
        done(std::move(*token));
    else
        done(deviceToken());
}

void PushRegistrar::autoRegister(std::optional<Data> token) {
    std::deque<Answer> waiting;
    {
        std::lock_guard lock(mutex_);
        automatic_ = true;
        autoToken_ = std::move(token);
        waiting.swap(waiting_);
    }
    for (auto& done : waiting) {
        std::optional<Data> t;
        {
            std::lock_guard lock(mutex_);
            t = autoToken_;
        }
        if (t)
            done(std::move(*t));
        else
            done(deviceToken());
    }
}

void PushRegistrar::hold() {
    std::lock_guard lock(mutex_);
    automatic_ = false;
}

void PushRegistrar::deliverToken(Data token) {
    answer(Result<Data>(std::move(token)));
}

void PushRegistrar::failRegistration(Error error) {
    answer(Result<Data>(std::move(error)));
}

void PushRegistrar::answer(Result<Data> scripted) {
    std::unique_lock lock(mutex_);
    if (waiting_.empty()) {
        scripted_.push_back(std::move(scripted));
        return;
    }
    Answer done = std::move(waiting_.front());
    waiting_.pop_front();
    lock.unlock();
    done(std::move(scripted));
}

Result<Data> PushRegistrar::deviceToken() {
    std::lock_guard lock(mutex_);
    if (deviceToken_)
        return *deviceToken_;
    const std::string path = tokenPath();
    if (auto stored = readData(path); stored && !stored->empty()) {
        deviceToken_ = std::move(*stored);
        return *deviceToken_;
    }
    auto fresh = Random::bytes(kTokenLength);
    if (!fresh)
        return fresh.error();
    auto folder =
        FileManager::defaultManager().createDirectory(AppHome::deviceFolder() + "/PushRegistrar", true,
                                                      Dictionary{{"NSFilePosixPermissions", Value(0700)}});
    auto written = folder ? writeData(path, *fresh, WriteOptions{}.setAtomic().setPermissions(0600))
                          : Result<void>(folder.error());
    if (!written) {
        // The token still holds for this launch; only the next one will see another.
        printDevice("push registrar: cannot keep the device token: " + written.error().description());
    }
    deviceToken_ = std::move(*fresh);
    return *deviceToken_;
}

void PushRegistrar::forgetDeviceToken() {
    std::lock_guard lock(mutex_);
    deviceToken_.reset();
}

std::size_t PushRegistrar::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t PushRegistrar::waitingCount() const {
    std::lock_guard lock(mutex_);
    return waiting_.size();
}

Error PushRegistrar::failure(RegistrationFailure preset) {
    switch (preset) {
    case RegistrationFailure::missingEntitlement:
        return failure(NSCocoaErrorDomain, 3000,
                       "no valid 'aps-environment' entitlement string found for application");
    case RegistrationFailure::unsupported:
        return failure(NSCocoaErrorDomain, 3010, "remote notifications are not supported in the simulator");
    }
    return failure(NSCocoaErrorDomain, 3010, "remote notifications are not supported in the simulator");
}

Error PushRegistrar::failure(std::string domain, int64_t code, std::string description) {
    return Error(std::move(domain), code,
                 Dictionary{{NSLocalizedDescriptionKey, Value(std::move(description))}});
}

std::string PushRegistrar::tokenPath() {
    return AppHome::deviceFolder() + "/PushRegistrar/deviceToken";
}

} // namespace plat
