#include "RadIrivozSDK/Source/RIPermissionState.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "platform/foundation/UserDefaults.hpp"

namespace {

constexpr const char* kHasPrompted = "RI_HAS_PROMPTED_FOR_NOTIFICATIONS";
constexpr const char* kProvisional = "RADIRIVOZ_PROVISIONAL_AUTHORIZATION";
constexpr const char* kHasPromptedLast = "RI_HAS_PROMPTED_FOR_NOTIFICATIONS_LAST";
constexpr const char* kAnsweredLast = "RI_NOTIFICATION_PROMPT_ANSWERED_LAST";
constexpr const char* kAcceptedLast = "RADIRIVOZ_ACCEPTED_NOTIFICATION_LAST";
constexpr const char* kProvisionalLast = "RADIRIVOZ_PROVISIONAL_AUTHORIZATION_LAST";
constexpr const char* kProvidesSettingsLast = "RI_APP_PROVIDES_NOTIFICATION_SETTINGS";

bool storedPermissionBool(const char* key) {
    auto value = plat::UserDefaults::standardUserDefaults().object(key);
    return value && value->boolValue();
}

void storePermissionBool(const char* key, bool value) {
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    defaults.set(key, plat::Value(value));
    defaults.synchronize();
}

} // namespace

std::shared_ptr<RIPermissionState> RIPermissionState::initAsTo() {
    return std::make_shared<RIPermissionState>();
}

std::shared_ptr<RIPermissionState> RIPermissionState::initAsFrom() {
    auto state = std::make_shared<RIPermissionState>();
    state->fields_.hasPrompted = storedPermissionBool(kHasPromptedLast);
    state->fields_.answeredPrompt = storedPermissionBool(kAnsweredLast);
    state->fields_.accepted = storedPermissionBool(kAcceptedLast);
    state->fields_.provisional = storedPermissionBool(kProvisionalLast);
    state->fields_.providesAppNotificationSettings = storedPermissionBool(kProvidesSettingsLast);
    return state;
}

void RIPermissionState::persistAsFrom() const {
    const Fields f = fields();
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    defaults.set(kHasPromptedLast, plat::Value(f.hasPrompted));
    defaults.set(kAnsweredLast, plat::Value(f.answeredPrompt));
    defaults.set(kAcceptedLast, plat::Value(f.accepted));
    defaults.set(kProvisionalLast, plat::Value(f.provisional));
    defaults.set(kProvidesSettingsLast, plat::Value(f.providesAppNotificationSettings));
    defaults.synchronize();
}

std::shared_ptr<RIPermissionState> RIPermissionState::copy() const {
    auto other = std::make_shared<RIPermissionState>();
    other->fields_ = fields();
    other->fields_.notificationTypes = 0;
    return other;
}

bool RIPermissionState::compare(const RIPermissionState& other) const {
    const Fields a = fields();
    const Fields b = other.fields();
    return a.accepted != b.accepted || derivedAnswered(a) != derivedAnswered(b) ||
           derivedPrompted(a) != derivedPrompted(b);
}

RIPermissionState::Fields RIPermissionState::fields() const {
    std::lock_guard lock(mutex_);
    return fields_;
}

template <class Edit, class Changed> void RIPermissionState::update(Edit edit, Changed changed) {
    bool notify = false;
    {
        std::lock_guard lock(mutex_);
        const Fields before = fields_;
        edit(fields_);
        notify = changed(before, fields_);
    }
    if (notify) {
        observable_.notifyChange(shared_from_this());
    }
}

bool RIPermissionState::hasPrompted() const {
    return derivedPrompted(fields());
}

void RIPermissionState::setHasPrompted(bool value) {
    if (fields().hasPrompted != value) {
        // Written as YES whatever the value: the key records that a prompt was ever asked for.
        storePermissionBool(kHasPrompted, true);
    }
    update([&](Fields& f) { f.hasPrompted = value; },
           [](const Fields& a, const Fields& b) { return derivedPrompted(a) != derivedPrompted(b); });
}

bool RIPermissionState::answeredPrompt() const {
    return derivedAnswered(fields());
}

void RIPermissionState::setAnsweredPrompt(bool value) {
    update([&](Fields& f) { f.answeredPrompt = value; },
           [](const Fields& a, const Fields& b) { return derivedAnswered(a) != derivedAnswered(b); });
}

bool RIPermissionState::accepted() const {
    return fields().accepted;
}

void RIPermissionState::setAccepted(bool value) {
    update([&](Fields& f) { f.accepted = value; },
           [](const Fields& a, const Fields& b) { return a.accepted != b.accepted; });
}

bool RIPermissionState::provisional() const {
    return fields().provisional;
}

void RIPermissionState::setProvisional(bool value) {
    if (fields().provisional != value) {
        storePermissionBool(kProvisional, value);
    }
    update([&](Fields& f) { f.provisional = value; },
           [](const Fields& a, const Fields& b) { return a.provisional != b.provisional; });
}

bool RIPermissionState::providesAppNotificationSettings() const {
    return fields().providesAppNotificationSettings;
}

void RIPermissionState::setProvidesAppNotificationSettings(bool value) {
    std::lock_guard lock(mutex_);
    fields_.providesAppNotificationSettings = value;
}

int32_t RIPermissionState::notificationTypes() const {
    return fields().notificationTypes;
}

void RIPermissionState::setNotificationTypes(int32_t types) {
    std::lock_guard lock(mutex_);
    fields_.notificationTypes = types;
}

bool RIPermissionState::reachable() const {
    const Fields f = fields();
    return f.provisional || f.accepted;
}

int64_t RIPermissionState::status() const {
    const Fields f = fields();
    if (f.accepted) {
        return 2;
    }
    if (derivedAnswered(f)) {
        return 1;
    }
    return f.provisional ? 3 : 0;
}

std::string RIPermissionState::statusAsString() const {
    switch (status()) {
    case 1:
        return "Denied";
    case 2:
        return "Authorized";
    case 3:
        return "Provisional";
    default:
        return "NotDetermined";
    }
}

plat::Dictionary RIPermissionState::toDictionary() const {
    return plat::Dictionary{{"hasPrompted", plat::Value(hasPrompted())},
                            {"status", plat::Value(status())},
                            {"provisional", plat::Value(provisional())}};
}

std::string RIPermissionState::description() const {
    return "<RIPermissionState: hasPrompted: " + std::string(hasPrompted() ? "1" : "0") +
           ", status: " + statusAsString() + ", provisional: " + (provisional() ? "1" : "0") + ">";
}

void RIPermissionChangedInternalObserver::fireChangesObserver(const std::shared_ptr<RIPermissionState>& state) {
    deliverStateChanges<RIPermissionStateChanges>(state, RadIrivoz::lastPermissionState(),
                                                  *RadIrivoz::permissionStateChangesObserver(),
                                                  [](std::shared_ptr<RIPermissionState> last) {
                                                      last->persistAsFrom();
                                                      RadIrivoz::setLastPermissionState(std::move(last));
                                                  });
}
