#pragma once
// The notification permission as the push client last learned it: asked, answered, granted, provisional.
// The facade keeps a current one, which the permission settings fill, and a last one, which is what the
// app's observers were last told and is kept in the user defaults under the "_LAST" keys.

#include "RadIrivozSDK/Source/RIObservable.hpp"
#include "RadIrivozSDK/Source/RIStateChanges.hpp"
#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class RIPermissionState;

// Told synchronously, on the reporting thread, of every change of a permission state it observes.
class RIPermissionStateObserver {
public:
    virtual ~RIPermissionStateObserver() = default;
    virtual void onChanged(const std::shared_ptr<RIPermissionState>& state) = 0;
};

class RIPermissionState : public std::enable_shared_from_this<RIPermissionState> {
public:
    using Observable = RIObservable<RIPermissionStateObserver, std::shared_ptr<RIPermissionState>>;

    // The current state: empty until the permission settings fill it.
    static std::shared_ptr<RIPermissionState> initAsTo();
    // The last state told to the app, from the "_LAST" keys.
    static std::shared_ptr<RIPermissionState> initAsFrom();
    // Writes the stored fields under the "_LAST" keys.
    void persistAsFrom() const;
    // A value copy without observers; notificationTypes is not carried.
    std::shared_ptr<RIPermissionState> copy() const;
    // True when the two differ in accepted, answeredPrompt or hasPrompted (derived values).
    bool compare(const RIPermissionState& other) const;

    // Derived: answered when accepted, prompted when answered.
    bool hasPrompted() const;
    // Persists "RI_HAS_PROMPTED_FOR_NOTIFICATIONS" when the stored field changes.
    void setHasPrompted(bool value);
    bool answeredPrompt() const;
    void setAnsweredPrompt(bool value);
    bool accepted() const;
    void setAccepted(bool value);
    bool provisional() const;
    bool isProvisional() const { return provisional(); }
    // Persists "RADIRIVOZ_PROVISIONAL_AUTHORIZATION" when it changes.
    void setProvisional(bool value);
    bool providesAppNotificationSettings() const;
    void setProvidesAppNotificationSettings(bool value);
    int32_t notificationTypes() const;
    void setNotificationTypes(int32_t types);
    // Provisional, or else accepted.
    bool reachable() const;

    // 2 granted, 1 denied (answered), 3 provisional, 0 not determined.
    int64_t status() const;
    std::string statusAsString() const;

    // {"hasPrompted", "status", "provisional"}
    plat::Dictionary toDictionary() const;
    std::string description() const;

    // The internal table: its observers are owned and told synchronously.
    Observable& observable() { return observable_; }

private:
    struct Fields {
        bool hasPrompted = false;
        bool answeredPrompt = false;
        bool accepted = false;
        bool provisional = false;
        bool providesAppNotificationSettings = false;
        int32_t notificationTypes = 0;
    };
    Fields fields() const;
    static bool derivedAnswered(const Fields& f) { return f.accepted || f.answeredPrompt; }
    static bool derivedPrompted(const Fields& f) { return derivedAnswered(f) || f.hasPrompted; }
    // Applies the edit under the lock and tells the observers, outside it, when `changed` says so.
    template <class Edit, class Changed> void update(Edit edit, Changed changed);

    mutable std::mutex mutex_;
    Fields fields_;
    Observable observable_;
};

// A permission change for the app's observers.
class RIPermissionStateChanges final : public RIStateChanges<RIPermissionState> {
public:
    RIPermissionStateChanges(std::shared_ptr<const RIPermissionState> from, std::shared_ptr<const RIPermissionState> to)
        : RIStateChanges(std::move(from), std::move(to), "RIPermissionStateChanges") {}
};

// The app's permission observer, called on the main queue.
class RIPermissionObserver {
public:
    virtual ~RIPermissionObserver() = default;
    virtual void onOSPermissionChanged(const std::shared_ptr<RIPermissionStateChanges>& stateChanges) = 0;
};

// Registered on the current state: turns each change into a delivery to the app's observers.
class RIPermissionChangedInternalObserver final : public RIPermissionStateObserver {
public:
    void onChanged(const std::shared_ptr<RIPermissionState>& state) override { fireChangesObserver(state); }
    // Tells the app's observers; only when one was told does the last state move and get persisted.
    static void fireChangesObserver(const std::shared_ptr<RIPermissionState>& state);
};
