#include "measurement/storage/DMSUserDefaults.hpp"

#include "core/DVULogger.hpp"
#include "measurement/storage/DMSAEU.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/PreferenceDomain.hpp"
#include "platform/foundation/UserDefaults.hpp"

#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

constexpr const char* kDMSUserDefaultsLogTag = "<VivEduzavedovo>";
constexpr double kDMSUserDefaultsFlushDelay = 1.0;

const std::string* dmsValidDefaultsKey(const plat::Value& key) {
    const std::string* text = key.ifString();
    return text && !text->empty() ? text : nullptr;
}

} // namespace

struct DMSUserDefaults::State {
    std::string suiteName;
    // The suite, or the preference functions' name for the application's own domain.
    std::string appName;

    mutable std::mutex mutex;
    bool useCFPreferencesLibrary = true;
    std::shared_ptr<plat::UserDefaults> userDefaults;
    bool isPreferenceFileExcluded = false;
    plat::Timer pendingFlush;

    void makeUserDefaultsLocked() {
        if (!userDefaults) {
            userDefaults = std::make_shared<plat::UserDefaults>(
                suiteName.empty() ? std::nullopt : std::optional<std::string>(suiteName));
        }
    }

    // The back end in use: the user-defaults object, or none for the preference functions.
    std::shared_ptr<plat::UserDefaults> backend() const {
        std::lock_guard lock(mutex);
        return useCFPreferencesLibrary ? nullptr : userDefaults;
    }

    void synchronize() {
        bool synchronized = false;
        if (auto defaults = backend()) {
            synchronized = defaults->synchronize();
        } else {
            synchronized = plat::PreferenceDomain::synchronize(appName);
        }
        if (!synchronized) {
            DVULoggerWriteError(kDMSUserDefaultsLogTag, false, "I-ACS041004",
                                "Cannot synchronize user defaults to disk");
        }
        std::string path = DMSPreferencesFilePath(suiteName);
        std::lock_guard lock(mutex);
        if (isPreferenceFileExcluded || path.empty() || !plat::FileManager::defaultManager().fileExists(path)) {
            return;
        }
        plat::Error error;
        if (DMSExcludePathFromBackup(path, &error)) {
            isPreferenceFileExcluded = true;
        } else {
            // Tried again at the next flush.
            DVULoggerWriteWarning(kDMSUserDefaultsLogTag, false, "I-ACS041000",
                                  "Failed to exclude preferences file from backup. Error code %@", error);
        }
    }
};

namespace {

// Every suite object of the process, so that writes still waiting for their flush reach the disk at exit.
struct DMSUserDefaultsRegistry {
    std::mutex mutex;
    std::vector<std::weak_ptr<DMSUserDefaults::State>> states;
};

DMSUserDefaultsRegistry& dmsUserDefaultsRegistry() {
    static plat::NeverDestroyed<DMSUserDefaultsRegistry> registry;
    return *registry;
}

void dmsFlushPendingUserDefaultsAtExit() {
    // A sandbox that is gone (an uninstall, a test's temporary home) is not brought back by a late flush.
    if (!plat::FileManager::defaultManager().fileExists(plat::AppHome::path())) {
        return;
    }
    std::vector<std::shared_ptr<DMSUserDefaults::State>> pending;
    {
        auto& registry = dmsUserDefaultsRegistry();
        std::lock_guard lock(registry.mutex);
        for (const auto& weak : registry.states) {
            if (auto state = weak.lock()) {
                pending.push_back(std::move(state));
            }
        }
    }
    for (const auto& state : pending) {
        plat::Timer timer;
        {
            std::lock_guard lock(state->mutex);
            timer = state->pendingFlush;
        }
        if (timer.isPending()) {
            timer.cancel();
            state->synchronize();
        }
    }
}

void dmsRegisterUserDefaults(const std::shared_ptr<DMSUserDefaults::State>& state) {
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit(dmsFlushPendingUserDefaultsAtExit); });
    auto& registry = dmsUserDefaultsRegistry();
    std::lock_guard lock(registry.mutex);
    std::erase_if(registry.states, [](const auto& weak) { return weak.expired(); });
    registry.states.push_back(state);
}

} // namespace

bool DMSUserDefaults::userPreferenceEnabled() {
    static const bool enabled = [] {
        auto entry = plat::Bundle::main()->objectForInfoDictionaryKey("UseCFPreferencesLibrary");
        return entry && entry->isNumber() ? entry->boolValue() : true;
    }();
    return enabled;
}

DMSUserDefaults& DMSUserDefaults::standardUserDefaults() {
    static plat::NeverDestroyed<DMSUserDefaults> shared;
    static std::once_flag marked;
    std::call_once(marked, [] { shared->setIsPreferenceFileExcluded(true); });
    return *shared;
}

DMSUserDefaults::DMSUserDefaults(std::optional<std::string> suiteName) : state_(std::make_shared<State>()) {
    state_->suiteName = suiteName.value_or("");
    state_->appName =
        state_->suiteName.empty() ? std::string(plat::PreferenceDomain::kCurrentApplication) : state_->suiteName;
    state_->useCFPreferencesLibrary = userPreferenceEnabled();
    if (!state_->useCFPreferencesLibrary) {
        state_->makeUserDefaultsLocked();
    }
    dmsRegisterUserDefaults(state_);
}

DMSUserDefaults::~DMSUserDefaults() {
    plat::Timer pending;
    {
        std::lock_guard lock(state_->mutex);
        pending = state_->pendingFlush;
    }
    if (pending.isPending()) {
        pending.cancel();
        state_->synchronize();
    }
}

std::optional<plat::Value> DMSUserDefaults::objectForKey(const plat::Value& key) const {
    const std::string* name = dmsValidDefaultsKey(key);
    if (!name) {
        DVULoggerWriteWarning(kDMSUserDefaultsLogTag, false, "I-ACS041001",
                              "Cannot get object for invalid user default key.");
        return std::nullopt;
    }
    if (auto defaults = state_->backend()) {
        return defaults->object(*name);
    }
    return plat::PreferenceDomain::copyValue(*name, state_->appName);
}

void DMSUserDefaults::setObject(std::optional<plat::Value> value, const plat::Value& key) {
    const std::string* name = dmsValidDefaultsKey(key);
    if (!name) {
        DVULoggerWriteWarning(kDMSUserDefaultsLogTag, false, "I-ACS041002",
                              "Cannot set object for invalid user default key.");
        return;
    }
    if (value && value->isNull()) {
        value.reset();
    }
    if (value && !plat::PreferenceStore::isPropertyList(*value)) {
        DVULoggerWriteWarning(kDMSUserDefaultsLogTag, false, "I-ACS041003",
                              "Cannot set invalid object to user defaults. Must be a string or number or an array. "
                              "Value %@",
                              *value);
        return;
    }
    if (auto defaults = state_->backend()) {
        if (value) {
            defaults->set(*name, *value);
        } else {
            defaults->remove(*name);
        }
    } else {
        plat::PreferenceDomain::setValue(*name, value, state_->appName);
    }
    scheduleSynchronize();
}

void DMSUserDefaults::removeObjectForKey(const plat::Value& key) {
    if (auto defaults = state_->backend()) {
        if (const std::string* name = dmsValidDefaultsKey(key)) {
            defaults->remove(*name);
            // Flushed like any other change, or the removal could be lost with the process.
            scheduleSynchronize();
        }
        return;
    }
    setObject(std::nullopt, key);
}

int64_t DMSUserDefaults::integerForKey(const plat::Value& key) const {
    auto value = objectForKey(key);
    return value && value->isNumber() ? value->integerValue() : 0;
}

float DMSUserDefaults::floatForKey(const plat::Value& key) const {
    return static_cast<float>(doubleForKey(key));
}

double DMSUserDefaults::doubleForKey(const plat::Value& key) const {
    auto value = objectForKey(key);
    return value && value->isNumber() ? value->doubleValue() : 0;
}

bool DMSUserDefaults::boolForKey(const plat::Value& key) const {
    auto value = objectForKey(key);
    return value && value->isNumber() && value->boolValue();
}

std::optional<std::string> DMSUserDefaults::stringForKey(const plat::Value& key) const {
    auto value = objectForKey(key);
    if (!value || !value->isString()) {
        return std::nullopt;
    }
    return value->asString();
}

std::optional<plat::Array> DMSUserDefaults::arrayForKey(const plat::Value& key) const {
    auto value = objectForKey(key);
    if (!value || !value->isArray()) {
        return std::nullopt;
    }
    return value->asArray();
}

std::optional<plat::Dictionary> DMSUserDefaults::dictionaryForKey(const plat::Value& key) const {
    auto value = objectForKey(key);
    if (!value || !value->isDictionary()) {
        return std::nullopt;
    }
    return value->asDictionary();
}

void DMSUserDefaults::setInteger(int64_t value, const plat::Value& key) {
    setObject(plat::Value(value), key);
}

void DMSUserDefaults::setFloat(float value, const plat::Value& key) {
    setObject(plat::Value(value), key);
}

void DMSUserDefaults::setDouble(double value, const plat::Value& key) {
    setObject(plat::Value(value), key);
}

void DMSUserDefaults::setBool(bool value, const plat::Value& key) {
    setObject(plat::Value(value), key);
}

void DMSUserDefaults::clearAllData() {
    if (auto defaults = state_->backend()) {
        defaults->removePersistentDomainForName(
            state_->suiteName.empty() ? plat::Bundle::main()->bundleIdentifier().value_or("") : state_->suiteName);
    } else {
        auto keys = plat::PreferenceDomain::copyKeyList(state_->appName);
        if (keys.empty()) {
            return;
        }
        plat::PreferenceDomain::setMultiple(plat::Dictionary{}, keys, state_->appName);
    }
    scheduleSynchronize();
}

void DMSUserDefaults::synchronize() {
    state_->synchronize();
}

void DMSUserDefaults::scheduleSynchronize() {
    // Not the caller's run loop: the serial queues that write here never run one. The timer holds the state
    // weakly; the destructor flushes whatever is still pending.
    std::weak_ptr<State> weak = state_;
    auto timer = plat::DispatchQueue::global(plat::QueuePriority::background)
                     ->asyncAfter(kDMSUserDefaultsFlushDelay, [weak] {
                         if (auto state = weak.lock()) {
                             state->synchronize();
                         }
                     });
    std::lock_guard lock(state_->mutex);
    state_->pendingFlush.cancel();
    state_->pendingFlush = timer;
}

bool DMSUserDefaults::useCFPreferencesLibrary() const {
    std::lock_guard lock(state_->mutex);
    return state_->useCFPreferencesLibrary;
}

void DMSUserDefaults::setUseCFPreferencesLibrary(bool use) {
    std::lock_guard lock(state_->mutex);
    if (state_->useCFPreferencesLibrary == use) {
        return;
    }
    if (use) {
        state_->userDefaults.reset();
    } else {
        state_->makeUserDefaultsLocked();
    }
    state_->useCFPreferencesLibrary = use;
}

bool DMSUserDefaults::isPreferenceFileExcluded() const {
    std::lock_guard lock(state_->mutex);
    return state_->isPreferenceFileExcluded;
}

void DMSUserDefaults::setIsPreferenceFileExcluded(bool excluded) {
    std::lock_guard lock(state_->mutex);
    state_->isPreferenceFileExcluded = excluded;
}

const std::string& DMSUserDefaults::suiteName() const {
    return state_->suiteName;
}
