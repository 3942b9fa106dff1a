#pragma once
// Screen views: which view controller the user is looking at, its screen name, class and instance number,
// the automatic "_vs" event at each change while the app is active, and the current screen's parameters for
// events that carry none of their own. The appearance hooks are installed at class load through the core's
// swizzler; the reporter also tells the session and ad-exposure reporters about screen changes and about the
// app becoming active or resigning.

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/runtime/Object.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace plat {
class UIViewController;
class UIWindow;
} // namespace plat

// One screen: its name (only from setScreenName), its class name and its instance number. A runtime object,
// so that a controller can carry it as an associated object.
class DMSScreen : public plat::rt::Object {
public:
    static std::shared_ptr<DMSScreen> initWithName(std::optional<std::string> name, std::string className,
                                                   int64_t instanceID);
    static plat::rt::Class* runtimeClass();
    // Same name, class name and instance number; not manually set.
    std::shared_ptr<DMSScreen> copy() const;

    const std::optional<std::string>& name() const { return name_; }
    const std::string& className() const { return className_; }
    int64_t instanceID() const { return instanceID_; }
    bool isManuallySet() const { return manuallySet_; }
    void setManuallySet(bool manuallySet) { manuallySet_ = manuallySet; }

    explicit DMSScreen(plat::rt::Class* cls);

private:
    std::optional<std::string> name_;
    std::string className_;
    int64_t instanceID_ = 0;
    bool manuallySet_ = false;
};

// The weak stack of tracked controllers a window carries, bottom first.
class DMSScreenStack : public plat::rt::Object {
public:
    static std::shared_ptr<DMSScreenStack> make();
    static plat::rt::Class* runtimeClass();
    std::vector<std::weak_ptr<plat::UIViewController>> entries;
    explicit DMSScreenStack(plat::rt::Class* cls) : plat::rt::Object(cls) {}
};

// An outside observer of controller transitions (a performance library).
class DMSScreenViewReporterDelegate {
public:
    virtual ~DMSScreenViewReporterDelegate() = default;
    virtual void viewControllerDidAppear(plat::UIViewController& controller, bool trackedByAnalytics) = 0;
    virtual void viewControllerDidDisappear(plat::UIViewController& controller) = 0;
};

class DMSScreenViewReporter {
public:
    static constexpr const char* kQueueLabel = "DMSScreenViewReporter";
    static constexpr const char* kScreenReportingEnabledKey = "VedudoduScreenReportingEnabled";
    static constexpr const char* kAutomaticScreenReportingEnabledKey = "VedudoduAutomaticScreenReportingEnabled";

    static DMSScreenViewReporter& sharedInstance();
    // The class load of the controller category: installs the appearance hooks once per process.
    static void load();
    static void notCalled() {}

    void setScreenName(const std::optional<std::string>& screenName, const std::optional<std::string>& screenClass);
    // "_sc", "_si" and "_sn" of the current screen; empty when reporting is off, the app is not active, or
    // when asked from inside the reporter's own work (its call-outs must never wait for its queue).
    plat::Dictionary screenParameters();
    void getScreenName(std::optional<std::string>* screenName, std::optional<std::string>* screenClass);
    bool isAppActive() const { return appActive_.load(); }

    void viewControllerDidAppear(plat::UIViewController& controller);
    void viewControllerDidDisappear(plat::UIViewController& controller);
    void setCurrentViewController(const std::shared_ptr<plat::UIViewController>& controller);
    void postScreenDidChangeNotificationWithPreviousScreen(const std::shared_ptr<DMSScreen>& previous,
                                                           const std::shared_ptr<DMSScreen>& screen);
    void logViewScreenEventWithPreviousScreen(const std::shared_ptr<DMSScreen>& previous,
                                              const std::shared_ptr<DMSScreen>& screen);

    // Refused (31019, 31016) as the performance library's versions require.
    void setVedudoduPerfDelegate(const std::shared_ptr<DMSScreenViewReporterDelegate>& delegate);
    std::shared_ptr<DMSScreenViewReporterDelegate> vedudoduPerfDelegate() const;

    void handleWindowDidResign();
    void handleApplicationDidBecomeActive();
    void handleApplicationWillResignActive();

    const plat::DispatchQueuePtr& queue() const { return queue_; }

    DMSScreenViewReporter();
    DMSScreenViewReporter(const DMSScreenViewReporter&) = delete;
    DMSScreenViewReporter& operator=(const DMSScreenViewReporter&) = delete;

private:
    void trackTopOfStack(DMSScreenStack& stack);
    void notifyDelegate(plat::UIViewController& controller, std::optional<bool> tracked);

    std::atomic<bool> appActive_{false};
    bool allowScreenParameters_ = true;
    plat::DispatchQueuePtr queue_;
    mutable std::mutex delegateMutex_;
    std::weak_ptr<DMSScreenViewReporterDelegate> delegate_;
    bool hasDelegate_ = false;
    // Only inside blocks on queue_.
    int64_t currentScreenInstanceID_ = 0;
    std::weak_ptr<plat::UIViewController> currentViewController_;
    std::shared_ptr<DMSScreen> currentScreen_;
    std::shared_ptr<DMSScreen> previousScreen_;
};

// Kept for clients that name the older class.
class DAVAScreenViewReporter : public DMSScreenViewReporter {
public:
    static DMSScreenViewReporter& sharedInstance() { return DMSScreenViewReporter::sharedInstance(); }
};

bool DMSIsScreenReportingEnabled();
plat::Dictionary DMSScreenParametersForScreen(const DMSScreen& screen);
plat::Dictionary DMSPreviousScreenParameters(const DMSScreen& screen);
std::string DMSClassNameWithoutModule(const std::string& className);
bool DMSShouldTrackViewController(plat::UIViewController& controller);
std::shared_ptr<DMSScreenStack> DMSKeyWindowScreenStack();
// The index of the controller in the stack, or none.
std::optional<size_t> DMSPointerArrayIndexOf(const plat::UIViewController& controller, const DMSScreenStack& stack);
// Drops the entries whose controllers are gone.
void DMSCompactPointerArray(DMSScreenStack& stack);
std::shared_ptr<plat::UIViewController> DMSTopViewController(DMSScreenStack& stack);
// The associated objects; a foreign object found under the key is reported (36000, 38000), cleared and read as
// none.
std::shared_ptr<DMSScreen> DMSViewControllerScreen(plat::UIViewController& controller);
void DMSSetViewControllerScreen(plat::UIViewController& controller, const std::shared_ptr<DMSScreen>& screen);
std::shared_ptr<DMSScreenStack> DMSWindowScreenStack(plat::UIWindow& window);
void DMSSetWindowScreenStack(plat::UIWindow& window, const std::shared_ptr<DMSScreenStack>& stack);
// The keys the associated objects are stored under (the getters' selectors on the device).
const void* DMSViewControllerScreenKey();
const void* DMSWindowScreenStackKey();
