#include "RadIrivozSDK/Source/RIEmailSubscriptionState.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "platform/foundation/UserDefaults.hpp"

namespace {

constexpr const char* kEmailAddress = "EMAIL_ADDRESS";
constexpr const char* kRequireEmailAuth = "RV_REQUIRE_EMAIL_AUTH";
constexpr const char* kEmailAuthCode = "RV_EMAIL_AUTH_CODE";
constexpr const char* kEmailPlayerId = "RV_EMAIL_PLAYER_ID";

} // namespace

std::shared_ptr<RIEmailSubscriptionState> RIEmailSubscriptionState::init() {
    auto state = std::make_shared<RIEmailSubscriptionState>();
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    state->emailAddress_ = defaults.string(kEmailAddress);
    auto needsAuth = defaults.object(kRequireEmailAuth);
    state->requiresEmailAuth_ = needsAuth && needsAuth->boolValue();
    state->emailAuthCode_ = defaults.string(kEmailAuthCode);
    state->emailUserId_ = defaults.string(kEmailPlayerId);
    return state;
}

void RIEmailSubscriptionState::persist() const {
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    {
        std::lock_guard lock(mutex_);
        storeTextOrRemove(defaults, kEmailAddress, emailAddress_);
        defaults.set(kRequireEmailAuth, plat::Value(requiresEmailAuth_));
        storeTextOrRemove(defaults, kEmailAuthCode, emailAuthCode_);
        storeTextOrRemove(defaults, kEmailPlayerId, emailUserId_);
    }
    defaults.synchronize();
}

std::shared_ptr<RIEmailSubscriptionState> RIEmailSubscriptionState::copy() const {
    auto other = std::make_shared<RIEmailSubscriptionState>();
    std::lock_guard lock(mutex_);
    other->requiresEmailAuth_ = requiresEmailAuth_;
    other->emailUserId_ = emailUserId_;
    other->emailAddress_ = emailAddress_;
    other->emailAuthCode_ = emailAuthCode_;
    return other;
}

bool RIEmailSubscriptionState::compare(const RIEmailSubscriptionState& other) const {
    return emailAddress().value_or("") != other.emailAddress().value_or("") ||
           emailUserId().value_or("") != other.emailUserId().value_or("");
}

bool RIEmailSubscriptionState::requiresEmailAuth() const {
    std::lock_guard lock(mutex_);
    return requiresEmailAuth_;
}

void RIEmailSubscriptionState::setRequiresEmailAuth(bool value) {
    std::lock_guard lock(mutex_);
    requiresEmailAuth_ = value;
}

std::optional<std::string> RIEmailSubscriptionState::emailUserId() const {
    std::lock_guard lock(mutex_);
    return emailUserId_;
}

void RIEmailSubscriptionState::setEmailUserId(std::optional<std::string> value) {
    bool changed = false;
    {
        // The text decides: the same id made again is no change for the app's observers.
        std::lock_guard lock(mutex_);
        changed = emailUserId_ != value;
        emailUserId_ = std::move(value);
    }
    if (changed) {
        observable_.notifyChange(shared_from_this());
    }
}

std::optional<std::string> RIEmailSubscriptionState::emailAddress() const {
    std::lock_guard lock(mutex_);
    return emailAddress_;
}

void RIEmailSubscriptionState::setEmailAddress(std::optional<std::string> value) {
    std::lock_guard lock(mutex_);
    emailAddress_ = std::move(value);
}

std::optional<std::string> RIEmailSubscriptionState::emailAuthCode() const {
    std::lock_guard lock(mutex_);
    return emailAuthCode_;
}

void RIEmailSubscriptionState::setEmailAuthCode(std::optional<std::string> value) {
    std::lock_guard lock(mutex_);
    emailAuthCode_ = std::move(value);
}

bool RIEmailSubscriptionState::subscribed() const {
    std::lock_guard lock(mutex_);
    return emailUserId_.has_value();
}

plat::Dictionary RIEmailSubscriptionState::toDictionary() const {
    std::lock_guard lock(mutex_);
    return plat::Dictionary{{"emailUserId", stringOrNull(emailUserId_)},
                            {"emailAddress", stringOrNull(emailAddress_)}};
}

std::string RIEmailSubscriptionState::description() const {
    std::lock_guard lock(mutex_);
    return "<RIEmailSubscriptionState: emailAddress: " + emailAddress_.value_or("(null)") +
           ", emailUserId: " + emailUserId_.value_or("(null)") + ">";
}

void RIEmailSubscriptionChangedInternalObserver::fireChangesObserver(
    const std::shared_ptr<RIEmailSubscriptionState>& state) {
    deliverStateChanges<RIEmailSubscriptionStateChanges>(state, RadIrivoz::lastEmailSubscriptionState(),
                                                         *RadIrivoz::emailSubscriptionStateChangesObserver(),
                                                         [](std::shared_ptr<RIEmailSubscriptionState> last) {
                                                             last->persist();
                                                             RadIrivoz::setLastEmailSubscriptionState(std::move(last));
                                                         });
}
