#include "core/DVUUserDefaults.hpp"

#include "core/DVULogger.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/PreferenceDomain.hpp"

#include <cstdlib>
#include <set>

namespace {

constexpr const char* kDVUDefaultsService = "[RazozaUtilities/UserDefaults]";
constexpr double kDVUDefaultsSynchronizeDelay = 1.0;

// Domains written since their last synchronize, flushed at normal exit so a burst that ends just before the
// process does is not lost.
struct DVUDefaultsPendingDomains {
    std::mutex mutex;
    std::set<std::string> names;
};

DVUDefaultsPendingDomains& dvuDefaultsPendingDomains() {
    // Never destroyed: the exit flush below still needs it.
    static plat::NeverDestroyed<DVUDefaultsPendingDomains> pending;
    static std::once_flag registered;
    std::call_once(registered, [] {
        std::atexit([] {
            std::set<std::string> names;
            {
                std::lock_guard lock(dvuDefaultsPendingDomains().mutex);
                names.swap(dvuDefaultsPendingDomains().names);
            }
            for (const auto& name : names) {
                plat::PreferenceDomain::synchronize(name);
            }
        });
    });
    return pending.get();
}

plat::DispatchQueuePtr dvuDefaultsTimerQueue() {
    static plat::NeverDestroyed<plat::DispatchQueuePtr> queue(
        plat::DispatchQueue::makeSerial("com.razoza.DVUUserDefaults"));
    return queue.get();
}

bool dvuDefaultsAcceptsValue(const plat::Value& value) {
    return value.isString() || value.isNumber() || value.isArray() || value.isDictionary() || value.isDate() ||
           value.isData();
}

bool dvuDefaultsSynchronizeDomain(const std::string& domain) {
    {
        std::lock_guard lock(dvuDefaultsPendingDomains().mutex);
        dvuDefaultsPendingDomains().names.erase(domain);
    }
    if (plat::PreferenceDomain::synchronize(domain)) {
        return true;
    }
    DVULoggerWriteError(kDVUDefaultsService, false, "I-DVU000004", "Cannot synchronize user defaults to disk");
    return false;
}

} // namespace

struct DVUUserDefaults::Pending {
    plat::Timer timer;
};

DVUUserDefaults& DVUUserDefaults::standardUserDefaults() {
    static plat::NeverDestroyed<DVUUserDefaults> shared;
    return shared.get();
}

DVUUserDefaults::DVUUserDefaults() : DVUUserDefaults(std::string_view{}) {}

DVUUserDefaults::DVUUserDefaults(std::string_view suiteName)
    : appNameRef_(suiteName.empty() ? std::string(plat::PreferenceDomain::kCurrentApplication)
                                    : std::string(suiteName)),
      pending_(std::make_shared<Pending>()) {}

DVUUserDefaults::~DVUUserDefaults() {
    bool wasPending = false;
    {
        std::lock_guard lock(mutex_);
        wasPending = pending_->timer.isPending();
        pending_->timer.cancel();
    }
    // The delayed write dies with the store; its changes must not.
    if (wasPending) {
        dvuDefaultsSynchronizeDomain(appNameRef_);
    }
}

bool DVUUserDefaults::isPreferenceFileExcluded() const {
    std::lock_guard lock(mutex_);
    return isPreferenceFileExcluded_;
}

void DVUUserDefaults::setIsPreferenceFileExcluded(bool excluded) {
    std::lock_guard lock(mutex_);
    isPreferenceFileExcluded_ = excluded;
}

std::optional<plat::Value> DVUUserDefaults::objectForKey(std::string_view key) const {
    if (key.empty()) {
        DVULoggerWriteWarning("<RazozaUtilities>", false, "I-DVU000001",
                              "Cannot get object for invalid user default key.");
        return std::nullopt;
    }
    return plat::PreferenceDomain::copyValue(key, appNameRef_);
}

void DVUUserDefaults::setObject(std::optional<plat::Value> value, std::string_view key) {
    if (key.empty()) {
        DVULoggerWriteWarning(kDVUDefaultsService, false, "I-DVU000002",
                              "Cannot set object for invalid user default key.");
        return;
    }
    if (value && !dvuDefaultsAcceptsValue(*value)) {
        DVULoggerWriteWarning(kDVUDefaultsService, false, "I-DVU000003",
                              "Cannot set invalid object to user defaults. Must be a string, number, array, "
                              "dictionary, date, or data. Value: %@",
                              value->description());
        return;
    }
    plat::PreferenceDomain::setValue(key, std::move(value), appNameRef_);
    scheduleSynchronize();
}

void DVUUserDefaults::removeObjectForKey(std::string_view key) {
    setObject(std::nullopt, key);
}

int64_t DVUUserDefaults::integerForKey(std::string_view key) const {
    auto value = objectForKey(key);
    return value ? value->integerValue() : 0;
}

float DVUUserDefaults::floatForKey(std::string_view key) const {
    auto value = objectForKey(key);
    return value ? static_cast<float>(value->doubleValue()) : 0.0f;
}

double DVUUserDefaults::doubleForKey(std::string_view key) const {
    auto value = objectForKey(key);
    return value ? value->doubleValue() : 0.0;
}

bool DVUUserDefaults::boolForKey(std::string_view key) const {
    auto value = objectForKey(key);
    return value && value->boolValue();
}

void DVUUserDefaults::setInteger(int64_t value, std::string_view key) {
    setObject(plat::Value(value), key);
}

void DVUUserDefaults::setFloat(float value, std::string_view key) {
    setObject(plat::Value::fromFloat(value), key);
}

void DVUUserDefaults::setDouble(double value, std::string_view key) {
    setObject(plat::Value(value), key);
}

void DVUUserDefaults::setBool(bool value, std::string_view key) {
    setObject(plat::Value(value), key);
}

bool DVUUserDefaults::synchronize() {
    return dvuDefaultsSynchronizeDomain(appNameRef_);
}

void DVUUserDefaults::scheduleSynchronize() {
    {
        std::lock_guard lock(dvuDefaultsPendingDomains().mutex);
        dvuDefaultsPendingDomains().names.insert(appNameRef_);
    }
    std::lock_guard lock(mutex_);
    pending_->timer.cancel();
    pending_->timer = dvuDefaultsTimerQueue()->asyncAfter(kDVUDefaultsSynchronizeDelay,
                                                          [domain = appNameRef_] {
                                                              dvuDefaultsSynchronizeDomain(domain);
                                                          });
}

void DVUUserDefaults::clearAllData() {
    auto keys = plat::PreferenceDomain::copyKeyList(appNameRef_);
    if (keys.empty()) {
        return;
    }
    plat::PreferenceDomain::setMultiple(plat::Dictionary(), keys, appNameRef_);
    scheduleSynchronize();
}
