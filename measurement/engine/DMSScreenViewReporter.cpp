// Screen views: the appearance hooks, the key window's stack of tracked controllers, the choice of the screen
// on top, instance numbers, manual screen names, and the "_vs" event with the previous screen.

#include "measurement/engine/DMSScreenViewReporter.hpp"

#include "core/DVUAppDelegateSwizzler.hpp"
#include "core/DVULogger.hpp"
#include "measurement/engine/DMSAdExposureReporter.hpp"
#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/engine/DMSSessionReporter.hpp"
#include "measurement/storage/DMSAEU.hpp"
#include "measurement/storage/DMSDataTypeValidator.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/Format.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIKitTypes.hpp"
#include "platform/uikit/UINavigationController.hpp"
#include "platform/uikit/UIPageViewController.hpp"
#include "platform/uikit/UITabBarController.hpp"
#include "platform/uikit/UIWindow.hpp"

#include <algorithm>

namespace rt = plat::rt;

namespace {

constexpr const char* kScreenLogService = "<VivEduzavedovo>";
constexpr size_t kScreenClassNameLimit = 100;

std::string screenLogCode(int64_t code) {
    return plat::format("I-ACS%06ld", code);
}

DMSMonitor& screenMonitor() {
    return DMSMeasurement::monitor();
}

std::shared_ptr<plat::UIWindow> screenKeyWindow() {
    auto application = DMSAEU::sharedApplication();
    return application ? application->keyWindow() : nullptr;
}

std::shared_ptr<plat::UIViewController> screenControllerPointer(plat::UIViewController& controller) {
    return std::dynamic_pointer_cast<plat::UIViewController>(controller.shared_from_this());
}

bool screenHasWindow(plat::UIViewController& controller) {
    return controller.isViewLoaded() && controller.view()->window() != nullptr;
}

// The first `limit` Unicode characters; never splits one.
std::string screenCutToCharacters(const std::string& text, size_t limit) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (count == limit) {
                return text.substr(0, i);
            }
            ++count;
        }
    }
    return text;
}

bool screenValidValue(const std::string& text, int64_t* failure = nullptr) {
    return DMSDataTypeValidator::isValidScreenParameterValue(DMSObject(plat::Value(text)), failure);
}

char screenKeyStorage;
char stackKeyStorage;

struct ScreenReportingSwitch {
    std::atomic<bool> known{false};
    std::atomic<bool> enabled{true};
};

ScreenReportingSwitch& screenReportingSwitch() {
    static plat::NeverDestroyed<ScreenReportingSwitch> value;
    return *value;
}

bool screenReadReportingSwitch() {
    auto bundle = plat::Bundle::main();
    auto value = bundle->objectForInfoDictionaryKey(DMSScreenViewReporter::kScreenReportingEnabledKey);
    if (!value) {
        value = bundle->objectForInfoDictionaryKey(DMSScreenViewReporter::kAutomaticScreenReportingEnabledKey);
    }
    return !(value && value->isNumber() && !value->boolValue());
}

} // namespace

// ---- the screen and the stack ------------------------------------------------------------------------------

DMSScreen::DMSScreen(rt::Class* cls) : rt::Object(cls) {}

rt::Class* DMSScreen::runtimeClass() {
    static rt::Class* const cls = rt::registerClass<DMSScreen>("DMSScreen");
    return cls;
}

std::shared_ptr<DMSScreen> DMSScreen::initWithName(std::optional<std::string> name, std::string className,
                                                   int64_t instanceID) {
    auto screen = std::make_shared<DMSScreen>(runtimeClass());
    screen->name_ = std::move(name);
    screen->className_ = std::move(className);
    screen->instanceID_ = instanceID;
    return screen;
}

std::shared_ptr<DMSScreen> DMSScreen::copy() const {
    return initWithName(name_, className_, instanceID_);
}

rt::Class* DMSScreenStack::runtimeClass() {
    static rt::Class* const cls = [] {
        rt::Class* existing = rt::getClass("NSPointerArray");
        return existing ? existing : rt::registerClass<DMSScreenStack>("NSPointerArray");
    }();
    return cls;
}

std::shared_ptr<DMSScreenStack> DMSScreenStack::make() {
    return std::make_shared<DMSScreenStack>(runtimeClass());
}

const void* DMSViewControllerScreenKey() {
    return &screenKeyStorage;
}

const void* DMSWindowScreenStackKey() {
    return &stackKeyStorage;
}

namespace {

// Reads an associated object of one class; anything else under the key is reported, cleared and read as none.
template <class T>
std::shared_ptr<T> screenAssociated(rt::Object& owner, const void* key, int64_t foreignCode) {
    auto stored = rt::getAssociated(owner, key);
    if (!stored) {
        return nullptr;
    }
    rt::ObjectPtr object = rt::getAssociatedObject(owner, key);
    if (auto typed = std::dynamic_pointer_cast<T>(object)) {
        return typed;
    }
    const std::string className = object            ? rt::className(*object)
                                  : stored->isString() ? std::string("NSString")
                                  : stored->isNumber() ? std::string("NSNumber")
                                                       : std::string("NSObject");
    screenMonitor().logWithLevel(4, foreignCode, "Found unknown associated object", className);
    rt::removeAssociated(owner, key);
    return nullptr;
}

} // namespace

std::shared_ptr<DMSScreen> DMSViewControllerScreen(plat::UIViewController& controller) {
    return screenAssociated<DMSScreen>(controller, DMSViewControllerScreenKey(), 36000);
}

void DMSSetViewControllerScreen(plat::UIViewController& controller, const std::shared_ptr<DMSScreen>& screen) {
    rt::setAssociated(controller, DMSViewControllerScreenKey(), rt::ObjectPtr(screen), rt::AssociationPolicy::Retain);
}

std::shared_ptr<DMSScreenStack> DMSWindowScreenStack(plat::UIWindow& window) {
    return screenAssociated<DMSScreenStack>(window, DMSWindowScreenStackKey(), 38000);
}

void DMSSetWindowScreenStack(plat::UIWindow& window, const std::shared_ptr<DMSScreenStack>& stack) {
    rt::setAssociated(window, DMSWindowScreenStackKey(), rt::ObjectPtr(stack), rt::AssociationPolicy::Retain);
}

// ---- free functions ----------------------------------------------------------------------------------------

bool DMSIsScreenReportingEnabled() {
    auto& value = screenReportingSwitch();
    if (!value.known.load()) {
        value.enabled = screenReadReportingSwitch();
        value.known = true;
    }
    return value.enabled.load();
}

plat::Dictionary DMSScreenParametersForScreen(const DMSScreen& screen) {
    plat::Dictionary parameters;
    parameters.set("_si", plat::Value(screen.instanceID()));
    if (screen.className().empty()) {
        screenMonitor().logWithLevel(4, 31014, "Screen class name is empty");
        return parameters;
    }
    int64_t failure = 0;
    if (!screenValidValue(screen.className(), &failure)) {
        screenMonitor().logWithLevel(4, 31015, "Screen class name is invalid. Error code", failure);
        return parameters;
    }
    parameters.set("_sc", plat::Value(screen.className()));
    if (screen.name() && screenValidValue(*screen.name())) {
        parameters.set("_sn", plat::Value(*screen.name()));
    }
    return parameters;
}

plat::Dictionary DMSPreviousScreenParameters(const DMSScreen& screen) {
    plat::Dictionary parameters;
    if (screen.className().empty() || !screenValidValue(screen.className())) {
        return parameters;
    }
    parameters.set("_pc", plat::Value(screen.className()));
    parameters.set("_pi", plat::Value(screen.instanceID()));
    if (screen.name() && screenValidValue(*screen.name())) {
        parameters.set("_pn", plat::Value(*screen.name()));
    }
    return parameters;
}

std::string DMSClassNameWithoutModule(const std::string& className) {
    const size_t dot = className.rfind('.');
    if (dot == std::string::npos || dot + 1 == className.size()) {
        return className;
    }
    return className.substr(dot + 1);
}

bool DMSShouldTrackViewController(plat::UIViewController& controller) {
    rt::Class* cls = controller.isa();
    const auto bundle = plat::Bundle::forClass(cls->name());
    if (bundle->bundlePath() != plat::Bundle::main()->bundlePath()) {
        const bool privateName = DMSClassNameWithoutModule(cls->name()).starts_with("_");
        const bool privateSuper =
            cls->superclass() && DMSClassNameWithoutModule(cls->superclass()->name()).starts_with("_");
        if (privateName || privateSuper) {
            return false;
        }
    }
    auto window = screenKeyWindow();
    return window && controller.isViewLoaded() && controller.view()->isDescendantOfView(*window);
}

std::shared_ptr<DMSScreenStack> DMSKeyWindowScreenStack() {
    auto window = screenKeyWindow();
    if (!window) {
        return nullptr;
    }
    auto stack = DMSWindowScreenStack(*window);
    if (!stack) {
        stack = DMSScreenStack::make();
        DMSSetWindowScreenStack(*window, stack);
    }
    return stack;
}

std::optional<size_t> DMSPointerArrayIndexOf(const plat::UIViewController& controller, const DMSScreenStack& stack) {
    for (size_t i = 0; i < stack.entries.size(); ++i) {
        if (stack.entries[i].lock().get() == &controller) {
            return i;
        }
    }
    return std::nullopt;
}

void DMSCompactPointerArray(DMSScreenStack& stack) {
    std::erase_if(stack.entries, [](const auto& entry) { return entry.expired(); });
}

namespace {

bool screenIsContainer(const std::shared_ptr<plat::UIViewController>& controller) {
    return std::dynamic_pointer_cast<plat::UINavigationController>(controller) ||
           std::dynamic_pointer_cast<plat::UIPageViewController>(controller) ||
           std::dynamic_pointer_cast<plat::UITabBarController>(controller);
}

// The controller a container (or a presenting controller) shows, descending through nested containers.
std::shared_ptr<plat::UIViewController> screenShownController(std::shared_ptr<plat::UIViewController> start) {
    std::shared_ptr<plat::UIViewController> g = std::move(start);
    std::shared_ptr<plat::UIViewController> m;
    for (;;) {
        if (auto navigation = std::dynamic_pointer_cast<plat::UINavigationController>(g)) {
            m = navigation->visibleViewController();
        } else if (auto tabs = std::dynamic_pointer_cast<plat::UITabBarController>(g)) {
            m = tabs->selectedViewController();
        } else if (auto pages = std::dynamic_pointer_cast<plat::UIPageViewController>(g)) {
            auto shown = pages->viewControllers();
            m = shown.empty() ? nullptr : shown.front();
        } else if (auto presented = g->presentedViewController()) {
            m = presented;
        } else if (g->isBeingPresented()) {
            m = g;
        }
        if (m && m != g && screenIsContainer(m)) {
            g = m;
            continue;
        }
        return m;
    }
}

} // namespace

std::shared_ptr<plat::UIViewController> DMSTopViewController(DMSScreenStack& stack) {
    std::vector<std::shared_ptr<plat::UIViewController>> controllers;
    for (const auto& entry : stack.entries) {
        if (auto controller = entry.lock()) {
            controllers.push_back(std::move(controller));
        }
    }
    for (auto it = controllers.rbegin(); it != controllers.rend(); ++it) {
        auto screen = (*it)->isViewLoaded() ? DMSViewControllerScreen(**it) : nullptr;
        if (screen && screen->isManuallySet() && screenHasWindow(**it)) {
            return *it;
        }
    }
    for (auto it = controllers.rbegin(); it != controllers.rend(); ++it) {
        const auto& c = *it;
        if (!screenHasWindow(*c)) {
            continue;
        }
        if (DMSViewControllerScreen(*c)) {
            return c;
        }
        std::shared_ptr<plat::UIViewController> start = c;
        if (auto parent = c->parentViewController(); parent && parent->childViewControllers().size() >= 2) {
            const auto& children = parent->childViewControllers();
            const bool hiddenSibling = std::any_of(children.begin(), children.end(), [&](const auto& child) {
                return child != c && !screenHasWindow(*child);
            });
            if (hiddenSibling) {
                start = parent;
                if (DMSViewControllerScreen(*parent)) {
                    return parent;
                }
            }
        }
        auto shown = screenShownController(start);
        if (shown && screenHasWindow(*shown)) {
            return shown;
        }
    }
    DMSCompactPointerArray(stack);
    if (!stack.entries.empty()) {
        return stack.entries.front().lock();
    }
    screenMonitor().logWithLevel(5, 31011, "Root view controller not found");
    return nullptr;
}

// ---- the reporter ------------------------------------------------------------------------------------------

DMSScreenViewReporter& DMSScreenViewReporter::sharedInstance() {
    static plat::NeverDestroyed<DMSScreenViewReporter> reporter;
    return *reporter;
}

DMSScreenViewReporter::DMSScreenViewReporter()
    : queue_(plat::DispatchQueue::makeSerial(kQueueLabel)), currentScreenInstanceID_(DMSNumericUtil::randomInt64()) {
    auto& center = plat::NotificationCenter::defaultCenter();
    center.addObserver(this, plat::UIWindowDidResignKeyNotification, nullptr,
                       [this](const plat::Notification&) { handleWindowDidResign(); });
    center.addObserver(this, plat::UIApplicationDidBecomeActiveNotification, nullptr,
                       [this](const plat::Notification&) { handleApplicationDidBecomeActive(); });
    center.addObserver(this, plat::UIApplicationWillResignActiveNotification, nullptr,
                       [this](const plat::Notification&) { handleApplicationWillResignActive(); });
}

void DMSScreenViewReporter::load() {
    static std::atomic<bool> loaded{false};
    (void)sharedInstance();
    (void)DMSAdExposureReporter::sharedInstance();
    if (loaded.exchange(true) || !DMSAEU::isOSSupported()) {
        return;
    }
    screenReportingSwitch().known = false;
    if (!DMSIsScreenReportingEnabled()) {
        DVULoggerWriteInfo(kScreenLogService, true, screenLogCode(36001),
                           "Analytics screen reporting is disabled. UIViewController transitions will not be logged.");
        return;
    }
    if (rt::getClass("DEVIDozurido")) {
        DVULoggerWriteWarning(kScreenLogService, false, screenLogCode(36005),
                              "Detected an older version of Razoza Analytics for Vedudodu framework. Please upgrade "
                              "to the latest version of Razoza Analytics for Vedudodu.");
        return;
    }
    rt::Class* controllerClass = plat::UIViewController::runtimeClass();
    rt::Imp appear = DVUSwizzler::currentImplementationForClass(controllerClass, "viewDidAppear:", false);
    rt::Imp disappear = DVUSwizzler::currentImplementationForClass(controllerClass, "viewDidDisappear:", false);
    if (!appear) {
        DVULoggerWriteWarning(kScreenLogService, false, screenLogCode(36003),
                              "Failed to get old implementation of -[UIViewController viewDidAppear:]. "
                              "UIViewController transitions will not be logged.");
        return;
    }
    if (!disappear) {
        DVULoggerWriteWarning(kScreenLogService, false, screenLogCode(36004),
                              "Failed to get old implementation of -[UIViewController viewDidDisappear:]. "
                              "UIViewController transitions will not be logged.");
        return;
    }
    DVUSwizzler::swizzleClass(controllerClass, "viewDidAppear:", false, [appear](rt::Object& self, bool animated) {
        appear.call<void>(self, animated);
        if (auto* controller = dynamic_cast<plat::UIViewController*>(&self)) {
            sharedInstance().viewControllerDidAppear(*controller);
        }
    });
    DVUSwizzler::swizzleClass(controllerClass, "viewDidDisappear:", false,
                              [disappear](rt::Object& self, bool animated) {
                                  disappear.call<void>(self, animated);
                                  if (auto* controller = dynamic_cast<plat::UIViewController*>(&self)) {
                                      sharedInstance().viewControllerDidDisappear(*controller);
                                  }
                              });
    if (rt::getClass("DAVAnalytics")) {
        DVULoggerWriteInfo(kScreenLogService, true, screenLogCode(36002),
                           "Analytics screen reporting is enabled. Call +[DAVAnalytics "
                           "setScreenName:setScreenClass:] to set the screen name or override the default screen "
                           "class name. To disable screen reporting, set the flag %@ to NO (boolean) in the "
                           "Info.plist",
                           std::string(kScreenReportingEnabledKey));
    }
}

void DMSScreenViewReporter::notifyDelegate(plat::UIViewController& controller, std::optional<bool> tracked) {
    if (!DMSMeasurement::remoteConfig().isScreenViewReporterDelegateEnabled()) {
        return;
    }
    auto delegate = vedudoduPerfDelegate();
    if (!delegate) {
        return;
    }
    if (tracked) {
        delegate->viewControllerDidAppear(controller, *tracked);
    } else {
        delegate->viewControllerDidDisappear(controller);
    }
}

void DMSScreenViewReporter::trackTopOfStack(DMSScreenStack& stack) {
    auto top = DMSTopViewController(stack);
    if (top && DMSShouldTrackViewController(*top)) {
        setCurrentViewController(top);
    }
}

void DMSScreenViewReporter::viewControllerDidAppear(plat::UIViewController& controller) {
    auto stack = DMSKeyWindowScreenStack();
    if (!stack) {
        notifyDelegate(controller, DMSShouldTrackViewController(controller));
        return;
    }
    auto window = screenKeyWindow();
    if (window && window->rootViewController().get() == &controller && !stack->entries.empty() &&
        stack->entries.front().lock().get() != &controller) {
        stack = DMSScreenStack::make();
        DMSSetWindowScreenStack(*window, stack);
    }
    if (auto index = DMSPointerArrayIndexOf(controller, *stack)) {
        stack->entries.erase(stack->entries.begin() + static_cast<std::ptrdiff_t>(*index));
    }
    const bool tracked = DMSShouldTrackViewController(controller);
    if (tracked) {
        stack->entries.push_back(screenControllerPointer(controller));
    }
    DMSCompactPointerArray(*stack);
    trackTopOfStack(*stack);
    notifyDelegate(controller, tracked);
}

void DMSScreenViewReporter::viewControllerDidDisappear(plat::UIViewController& controller) {
    if (auto stack = DMSKeyWindowScreenStack()) {
        // The bottom entry stays: it is the window's root, shown again when everything above it goes.
        if (auto index = DMSPointerArrayIndexOf(controller, *stack); index && *index != 0) {
            stack->entries.erase(stack->entries.begin() + static_cast<std::ptrdiff_t>(*index));
        }
        DMSCompactPointerArray(*stack);
        trackTopOfStack(*stack);
    }
    notifyDelegate(controller, std::nullopt);
}

void DMSScreenViewReporter::setCurrentViewController(const std::shared_ptr<plat::UIViewController>& controller) {
    auto& log = screenMonitor();
    if (!controller) {
        log.logWithLevel(4, 31005, "Received nil view controller");
        return;
    }
    queue_->sync([&] {
        const std::string original = DMSClassNameWithoutModule(controller->isa()->name());
        if (currentViewController_.lock() == controller) {
            auto screen = DMSViewControllerScreen(*controller);
            log.logWithLevel(7, 31006, "View controller already tracked. Class, ID", original,
                             screen ? screen->instanceID() : int64_t{0});
            return;
        }
        std::string name = screenCutToCharacters(original, kScreenClassNameLimit);
        if (name != original) {
            log.logWithLevel(7, 31007,
                             "Trimmed name of default screen class. Original screen class, trimmed screen class",
                             original, name);
        }
        if (!screenValidValue(name)) {
            log.logWithLevel(4, 31008, "Received invalid default screen class", name);
            return;
        }
        auto screen = DMSViewControllerScreen(*controller);
        if (!screen) {
            screen = DMSScreen::initWithName(std::nullopt, name, currentScreenInstanceID_++);
            DMSSetViewControllerScreen(*controller, screen);
        }
        currentViewController_ = controller;
        if (screen == currentScreen_) {
            return;
        }
        log.logWithLevel(7, 31010, "Tracking view controller. Class, ID", screen->className(), screen->instanceID());
        std::shared_ptr<DMSScreen> previous = currentScreen_ ? currentScreen_->copy() : nullptr;
        currentScreen_ = screen;
        postScreenDidChangeNotificationWithPreviousScreen(previous, screen);
        logViewScreenEventWithPreviousScreen(previous, screen);
    });
}

void DMSScreenViewReporter::setScreenName(const std::optional<std::string>& screenName,
                                          const std::optional<std::string>& screenClass) {
    auto& log = screenMonitor();
    if (!DMSIsScreenReportingEnabled()) {
        log.logWithLevel(3, 31000, "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
        return;
    }
    if (screenName && !screenValidValue(*screenName)) {
        log.logWithLevel(4, 31001, "Received invalid screen name", *screenName);
        return;
    }
    if (screenClass && !screenValidValue(*screenClass)) {
        log.logWithLevel(4, 31002, "Received invalid screen class", *screenClass);
        return;
    }
    queue_->sync([&] {
        auto stack = DMSKeyWindowScreenStack();
        if (stack) {
            DMSCompactPointerArray(*stack);
        }
        std::shared_ptr<plat::UIViewController> target =
            stack && !stack->entries.empty() ? stack->entries.back().lock() : nullptr;
        if (!target) {
            log.logWithLevel(4, 31003, "setScreenName:screenClass: must be called after a view controller has appeared");
            return;
        }
        const std::string className = screenClass ? *screenClass : DMSClassNameWithoutModule(target->isa()->name());
        if (currentScreen_ && screenName == currentScreen_->name() && className == currentScreen_->className()) {
            log.logWithLevel(7, 31004, "Ignoring duplicate screen name and screen class",
                             screenName ? plat::Value(*screenName) : plat::Value(), className);
            return;
        }
        auto screen = DMSScreen::initWithName(screenName, className, currentScreenInstanceID_++);
        screen->setManuallySet(true);
        DMSSetViewControllerScreen(*target, screen);
        currentViewController_ = target;
        log.logWithLevel(7, 31009, "Set screen name and screen class",
                         screenName ? plat::Value(*screenName) : plat::Value(), className);
        std::shared_ptr<DMSScreen> previous = currentScreen_;
        currentScreen_ = screen;
        postScreenDidChangeNotificationWithPreviousScreen(previous, screen);
        logViewScreenEventWithPreviousScreen(previous, screen);
    });
}

void DMSScreenViewReporter::postScreenDidChangeNotificationWithPreviousScreen(const std::shared_ptr<DMSScreen>& previous,
                                                                              const std::shared_ptr<DMSScreen>& screen) {
    if (!isAppActive()) {
        return;
    }
    if (previous && DMSMeasurement::hasSharedInstance()) {
        if (auto sessions = DMSMeasurement::sharedInstance()->sessionReporter()) {
            sessions->handleScreenDidChangeFromScreen(previous.get(), screen.get());
        }
    }
    DMSAdExposureReporter::sharedInstance().handleScreenDidChangeFromScreen(previous, screen);
}

void DMSScreenViewReporter::logViewScreenEventWithPreviousScreen(const std::shared_ptr<DMSScreen>& previous,
                                                                 const std::shared_ptr<DMSScreen>& screen) {
    if (!screen || !DMSIsScreenReportingEnabled()) {
        return;
    }
    auto& log = screenMonitor();
    if (!isAppActive()) {
        log.logWithLevel(7, 31013, "Screen view event not logged. App is not active.");
        return;
    }
    plat::Dictionary parameters = DMSScreenParametersForScreen(*screen);
    if (previous) {
        for (const auto& [key, value] : DMSPreviousScreenParameters(*previous)) {
            parameters.set(key, value);
        }
    }
    if (!parameters.find("_si") && !parameters.find("_sc") && !parameters.find("_sn")) {
        log.logWithLevel(1, 31012, "Screen view event not logged. Screen parameters were empty");
        return;
    }
    previousScreen_ = screen;
    DMSAnalytics::logInternalEventWithOrigin("auto", "_vs", parameters);
}

plat::Dictionary DMSScreenViewReporter::screenParameters() {
    plat::Dictionary parameters;
    if (!DMSIsScreenReportingEnabled() || !isAppActive() || queue_->isCurrent()) {
        return parameters;
    }
    queue_->sync([&] {
        if (!currentScreen_ || !allowScreenParameters_ || currentScreen_->className().empty()) {
            return;
        }
        parameters.set("_sc", plat::Value(currentScreen_->className()));
        parameters.set("_si", plat::Value(currentScreen_->instanceID()));
        if (currentScreen_->name() && !currentScreen_->name()->empty()) {
            parameters.set("_sn", plat::Value(*currentScreen_->name()));
        }
    });
    return parameters;
}

void DMSScreenViewReporter::getScreenName(std::optional<std::string>* screenName,
                                          std::optional<std::string>* screenClass) {
    if (!screenName && !screenClass) {
        return;
    }
    queue_->sync([&] {
        if (screenName) {
            *screenName = currentScreen_ ? currentScreen_->name() : std::nullopt;
        }
        if (screenClass) {
            *screenClass = currentScreen_ ? std::optional<std::string>(currentScreen_->className()) : std::nullopt;
        }
    });
}

void DMSScreenViewReporter::setVedudoduPerfDelegate(const std::shared_ptr<DMSScreenViewReporterDelegate>& delegate) {
    std::lock_guard lock(delegateMutex_);
    if (delegate && hasDelegate_ && !delegate_.expired() && delegate_.lock() != delegate) {
        screenMonitor().logWithLevel(4, 31016, "Tried to override screen reporter delegate");
        return;
    }
    delegate_ = delegate;
    hasDelegate_ = delegate != nullptr;
}

std::shared_ptr<DMSScreenViewReporterDelegate> DMSScreenViewReporter::vedudoduPerfDelegate() const {
    std::lock_guard lock(delegateMutex_);
    return delegate_.lock();
}

// ---- the application ---------------------------------------------------------------------------------------

void DMSScreenViewReporter::handleWindowDidResign() {
    auto stack = DMSKeyWindowScreenStack();
    if (stack && !stack->entries.empty()) {
        trackTopOfStack(*stack);
    }
}

void DMSScreenViewReporter::handleApplicationDidBecomeActive() {
    appActive_ = true;
    if (DMSMeasurement::hasSharedInstance()) {
        if (auto sessions = DMSMeasurement::sharedInstance()->sessionReporter()) {
            sessions->handleAppDidBecomeActive();
        }
    }
    DMSAdExposureReporter::sharedInstance().handleAppDidBecomeActive();
    queue_->async([this] {
        if (previousScreen_ != currentScreen_) {
            logViewScreenEventWithPreviousScreen(previousScreen_, currentScreen_);
        }
    });
}

void DMSScreenViewReporter::handleApplicationWillResignActive() {
    std::shared_ptr<DMSScreen> screen;
    if (DMSIsScreenReportingEnabled() && isAppActive()) {
        queue_->sync([&] {
            if (allowScreenParameters_) {
                screen = currentScreen_;
            }
        });
    }
    if (DMSMeasurement::hasSharedInstance()) {
        if (auto sessions = DMSMeasurement::sharedInstance()->sessionReporter()) {
            sessions->handleAppWillResignActiveWithScreen(screen.get());
        }
    }
    DMSAdExposureReporter::sharedInstance().handleAppWillResignActiveWithScreen(screen);
    appActive_ = false;
}

bool DMSIsAppActive() {
    return DMSScreenViewReporter::sharedInstance().isAppActive();
}
