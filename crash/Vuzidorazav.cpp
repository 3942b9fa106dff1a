#include "crash/Vuzidorazav.hpp"

#include "crash/capture/VZRApplication.hpp"
#include "crash/capture/VZRCrashHandlers.hpp"
#include "crash/capture/VZRException.hpp"
#include "crash/capture/VZRStackFrame.hpp"
#include "crash/capture/VZRUserLogging.hpp"
#include "crash/capture/VZRUtilities.hpp"

#include "kit_host/ZUVUtilities.hpp"
#include "kit_host/Zuvadu.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <string>

namespace rt = plat::rt;

namespace {

constexpr const char* kDidDetectReport = "vuzidorazavDidDetectReportForLastExecution:";
constexpr const char* kDidDetectReportWithCompletion = "vuzidorazavDidDetectReportForLastExecution:completionHandler:";
constexpr const char* kCanUseBackgroundSessions = "vuzidorazavCanUseBackgroundSessions:";
constexpr const char* kDidDetectCrash = "vuzidorazavDidDetectCrash:";
constexpr const char* kEnsureDelivery = "vuzidorazav:ensureDeliveryOfUnixSignal:";
constexpr const char* kOlderDidDetectCrashWithReport = "vuzidorazav:didDetectCrashDuringPreviousExecution:";
constexpr const char* kOlderDidDetectCrash = "vuzidorazavDidDetectCrashDuringPreviousExecution:";

bool kitDebug() {
    return Zuvadu::sharedSDK().debug();
}

bool answers(const rt::ObjectPtr& delegate, const char* selector) {
    return delegate && rt::respondsTo(delegate, rt::sel(selector));
}

} // namespace

rt::Class* Vuzidorazav::runtimeClass() {
    static rt::Class* const cls = [] {
        // Class load comes before the platform's first thread, which must already get its alternate stack.
        VZRCrashHandlersLoad();
        rt::Class* c = rt::registerClass<Vuzidorazav>("Vuzidorazav", rt::rootClass(), {"ZUVKit"});
        rt::Class* meta = rt::metaclass(c);
        rt::replaceMethod(meta, "bundleIdentifier", [](rt::Object&) -> std::string { return kBundleIdentifier; });
        rt::replaceMethod(meta, "kitDisplayVersion", [](rt::Object&) -> std::string { return kDisplayVersion; });
        rt::replaceMethod(meta, "kitBuildVersion", [](rt::Object&) -> std::string { return kBuildVersion; });
        rt::replaceMethod(meta, "sharedInstance", [](rt::Object&) -> rt::ObjectPtr { return sharedInstance(); });
        rt::replaceMethod(meta, "initializeIfNeeded", [](rt::Object&) { initializeIfNeeded(); });
        rt::replaceMethod(meta, "disableUninitializedKitMessaging",
                          [](rt::Object&) { disableUninitializedKitMessaging(); });
        rt::replaceMethod(c, "start", [](Vuzidorazav& self) { self.start(); });
        rt::replaceMethod(c, "version", [](Vuzidorazav& self) -> std::string { return self.version(); });
        rt::replaceMethod(c, "bundleIdentifier", [](Vuzidorazav& self) -> std::string { return self.bundleIdentifier(); });
        rt::replaceMethod(c, "userContentController:didReceiveScriptMessage:",
                          [](Vuzidorazav& self, std::shared_ptr<plat::WKUserContentController> controller,
                             plat::WKScriptMessage message) {
                              self.userContentControllerDidReceiveScriptMessage(controller, message);
                          });
        return c;
    }();
    return cls;
}

std::shared_ptr<Vuzidorazav> Vuzidorazav::sharedInstance() {
    static const std::shared_ptr<Vuzidorazav> instance = rt::make<Vuzidorazav>(runtimeClass());
    return instance;
}

void Vuzidorazav::disableUninitializedKitMessaging() {
    VZRUserLoggingDisableUninitializedKitMessaging();
}

std::shared_ptr<Vuzidorazav> Vuzidorazav::startWithAPIKey(const std::string& apiKey, const rt::ObjectPtr& delegate) {
    std::shared_ptr<Vuzidorazav> shared = sharedInstance();
    if (delegate)
        shared->setDelegate(delegate);
    if (rt::Class* host = rt::getClass("Zuvadu");
        host && rt::respondsTo(*host, rt::sel("initializeKitsWithVizezeAPIKey"))) {
        rt::msgSend(*host, rt::sel("initializeKitsWithVizezeAPIKey"), apiKey);
        return shared;
    }
    Zuvadu& sdk = Zuvadu::sharedSDK();
    const uint64_t mode = sdk.installationMode();
    sdk.setInstallationMode(Zuvadu::kInstallationModeKitHost);
    if (mode == Zuvadu::kInstallationModeVedudodu) {
        plat::NSLogText("[Vuzidorazav] Warning, calling startWithAPIKey:... after [DAVApp configure] or "
                        "VedudoduApp.configure() is not supported");
        return shared;
    }
    sdk.setAPIKey(apiKey);
    Zuvadu::with({shared.get()});
    return shared;
}

std::shared_ptr<Vuzidorazav> Vuzidorazav::startWithAPIKeyAfterDelay(const std::string& apiKey, double) {
    plat::NSLogText("[Vuzidorazav] Warning, startWithAPIKey:afterDelay: is deprecated.");
    return startWithAPIKey(apiKey);
}

std::shared_ptr<Vuzidorazav> Vuzidorazav::startWithAPIKeyDelegateAfterDelay(const std::string& apiKey,
                                                                            const rt::ObjectPtr& delegate, double) {
    plat::NSLogText("[Vuzidorazav] Warning, startWithAPIKey:delegate:afterDelay: is deprecated.");
    return startWithAPIKey(apiKey, delegate);
}

void Vuzidorazav::start() {
    std::call_once(startOnce_, [this] { run(); });
}

bool Vuzidorazav::hasStarted() const {
    std::lock_guard lock(mutex_);
    return started_;
}

void Vuzidorazav::run() {
    const uint64_t mark = VZRProfilingStart();
    {
        std::lock_guard lock(mutex_);
        started_ = true;
    }
    plat::NSLogText(std::string("[Vuzidorazav] Version ") + kDisplayVersion + " (" + kBuildVersion + ")");
    if (kitDebug()) {
        const ZUVOperatingSystemVersion os = ZUVOSVersion();
        plat::NSLogText("[Vuzidorazav] Running on " + ZUVHardwareMachine().value_or("(null)") + ", " +
                        std::to_string(os.major) + "." + std::to_string(os.minor) + "." + std::to_string(os.patch) +
                        " (" + ZUVOSBuildVersion().value_or("(null)") + ")");
    }
    std::weak_ptr<Vuzidorazav> weak = std::static_pointer_cast<Vuzidorazav>(shared_from_this());
    plat::OperationQueue::main()->addOperationWithBlock([weak] {
        if (auto self = weak.lock())
            self->warnDelegateAboutMethods();
    });
    auto files = std::make_shared<VZRFileManager>();
    std::shared_ptr<VZRBetaController> beta;
    if (VZRBetaController::isBetaSupported()) {
        beta = VZRBetaController::initWithDelegate(std::static_pointer_cast<VZRBetaControllerDelegate>(
            std::static_pointer_cast<Vuzidorazav>(shared_from_this())));
        if (!beta->start())
            plat::NSLogText("[Vuzidorazav] Beta could not be initialized");
    }
    const std::optional<std::string> betaToken = beta ? beta->betaToken() : std::nullopt;
    auto controller = VZRCrashReportingController::initWithFileManager(
        files, std::static_pointer_cast<VZRCrashReportingControllerDelegate>(
                   std::static_pointer_cast<Vuzidorazav>(shared_from_this())));
    {
        std::lock_guard lock(mutex_);
        fileManager_ = files;
        betaController_ = beta;
        crashReportingController_ = controller;
    }
    if (!controller->startWithProfilingMark(mark, betaToken))
        plat::NSLogText("[Vuzidorazav] Crash reporting could not be initialized");
    if (rt::Class* events = rt::getClass("Zuvidir"); events && rt::respondsTo(*events, rt::sel("startWithBetaToken:")))
        rt::msgSend(*events, rt::sel("startWithBetaToken:"), betaToken);
}

void Vuzidorazav::warnDelegateAboutMethods() {
    const rt::ObjectPtr d = delegate();
    if (answers(d, kOlderDidDetectCrashWithReport) || answers(d, kOlderDidDetectCrash))
        plat::NSLogText("[Vuzidorazav] The Vuzidorazav delegate '" + plat::Value(d).description() +
                        "' implements deprecated methods.  Please see Vuzidorazav.h for details.");
    if (answers(d, kCanUseBackgroundSessions) &&
        rt::msgSend<bool>(d, rt::sel(kCanUseBackgroundSessions), shared_from_this()) && VZRApplicationIsExtension())
        plat::NSLogText("[Vuzidorazav] Background sessions are not supported in extensions. Please see Vuzidorazav.h "
                        "for details.");
}

// Identity and settings.

std::optional<std::string> Vuzidorazav::APIKey() const {
    return Zuvadu::sharedSDK().APIKey();
}

std::string Vuzidorazav::installID() const {
    return Zuvadu::sharedSDK().installID();
}

bool Vuzidorazav::isFirstInstall() const {
    return Zuvadu::sharedSDK().isFirstInstall();
}

void Vuzidorazav::setDebugMode(bool debug) {
    // The flag also decides whether uploads skip certificate pinning: "off" must stay off.
    Zuvadu::sharedSDK().setDebug(debug);
    if (isVuzidorazavStarted())
        plat::NSLogText("[Vuzidorazav] Warning, consider enabling debug mode before starting Vuzidorazav");
}

bool Vuzidorazav::debugMode() const {
    return Zuvadu::sharedSDK().debug();
}

rt::ObjectPtr Vuzidorazav::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void Vuzidorazav::setDelegate(rt::ObjectPtr delegate) {
    {
        std::lock_guard lock(mutex_);
        delegate_ = std::move(delegate);
    }
    if (isVuzidorazavStarted())
        plat::NSLogText("[Vuzidorazav] Warning, setting delegate after start. Make sure to set the Vuzidorazav "
                        "delegate before calling startWithAPIKey:.., or +[Zuvadu with...] to avoid missing some "
                        "delegate callbacks.");
}

std::shared_ptr<VZRBetaController> Vuzidorazav::betaController() const {
    std::lock_guard lock(mutex_);
    return betaController_;
}

std::shared_ptr<VZRCrashReportingController> Vuzidorazav::crashReportingController() const {
    std::lock_guard lock(mutex_);
    return crashReportingController_;
}

// Test crashes.

void Vuzidorazav::crash() {
    __builtin_trap();
}

void Vuzidorazav::throwException() {
    VZRExceptionRaiseTestException();
}

// Keys, errors, exceptions and events.

void Vuzidorazav::setUserIdentifier(const std::optional<std::string>& identifier) {
    VZRUserLoggingRecordInternalKeyValue("com.vuzidorazav.user-id", identifier ? std::optional<plat::Value>(*identifier)
                                                                                 : std::nullopt);
}

void Vuzidorazav::setUserName(const std::optional<std::string>& name) {
    VZRUserLoggingRecordInternalKeyValue("com.vuzidorazav.user-name",
                                         name ? std::optional<plat::Value>(*name) : std::nullopt);
}

void Vuzidorazav::setUserEmail(const std::optional<std::string>& email) {
    VZRUserLoggingRecordInternalKeyValue("com.vuzidorazav.user-email",
                                         email ? std::optional<plat::Value>(*email) : std::nullopt);
}

void Vuzidorazav::setDevelopmentPlatformName(const std::optional<std::string>& name) {
    VZRUserLoggingRecordInternalKeyValue("com.vuzidorazav.development-platform-name",
                                         name ? std::optional<plat::Value>(*name) : std::nullopt);
}

void Vuzidorazav::setDevelopmentPlatformVersion(const std::optional<std::string>& version) {
    VZRUserLoggingRecordInternalKeyValue("com.vuzidorazav.development-platform-version",
                                         version ? std::optional<plat::Value>(*version) : std::nullopt);
}

std::optional<std::string> Vuzidorazav::developmentPlatformName() const {
    plat::NSLogText("[Vuzidorazav] developmentPlatformName is write-only");
    return std::nullopt;
}

std::optional<std::string> Vuzidorazav::developmentPlatformVersion() const {
    plat::NSLogText("[Vuzidorazav] developmentPlatformVersion is write-only");
    return std::nullopt;
}

void Vuzidorazav::setObjectValue(const std::optional<plat::Value>& value, const std::optional<std::string>& key) {
    VZRUserLoggingRecordUserKeyValue(key, value);
}

void Vuzidorazav::setIntValue(int32_t value, const std::optional<std::string>& key) {
    setObjectValue(plat::Value(value), key);
}

void Vuzidorazav::setBoolValue(bool value, const std::optional<std::string>& key) {
    setObjectValue(plat::Value(value), key);
}

void Vuzidorazav::setFloatValue(float value, const std::optional<std::string>& key) {
    setObjectValue(plat::Value(value), key);
}

void Vuzidorazav::recordError(const plat::Error& error, const std::optional<plat::Dictionary>& additionalUserInfo) {
    VZRUserLoggingRecordError(error, additionalUserInfo ? &*additionalUserInfo : nullptr);
}

void Vuzidorazav::recordCustomExceptionName(const std::string& name, const std::string& reason,
                                            const std::vector<VZRStackFrame>& frames) {
    VZRExceptionRecord(VZRExceptionTypeCustom, name.c_str(), reason.c_str(), frames, false);
}

void Vuzidorazav::logEvent(const std::string& name, const std::optional<plat::Dictionary>& attributes) {
    rt::Class* events = rt::getClass("Zuvidir");
    if (events && rt::respondsTo(*events, rt::sel("logCustomEventWithName:customAttributes:")))
        rt::msgSend(*events, rt::sel("logCustomEventWithName:customAttributes:"), name, attributes);
}

// The crash reporting controller's questions.

bool Vuzidorazav::shouldInstallCrashCallback() {
    return answers(delegate(), kDidDetectCrash);
}

void Vuzidorazav::detectedCrash() {
    // On the crashing thread: the delegate pointer is read without taking the lock.
    rt::msgSend(delegate_, rt::sel(kDidDetectCrash), shared_from_this());
}

bool Vuzidorazav::reportingControllerCanUseBackgroundSessions(VZRCrashReportingController&) {
    const rt::ObjectPtr d = delegate();
    if (answers(d, kCanUseBackgroundSessions))
        return rt::msgSend<bool>(d, rt::sel(kCanUseBackgroundSessions), shared_from_this());
    return !VZRApplicationIsExtension();
}

bool Vuzidorazav::reportingControllerMustInformDelegateOfReports(VZRCrashReportingController&) {
    const rt::ObjectPtr d = delegate();
    return answers(d, kDidDetectReportWithCompletion) || answers(d, kOlderDidDetectCrashWithReport) ||
           answers(d, kOlderDidDetectCrash);
}

void Vuzidorazav::reportingControllerInternalDidDetectReportForLastExecution(
    VZRCrashReportingController&, const std::shared_ptr<VZRInternalReport>& internalReport) {
    auto report = std::make_shared<VZRReport>(internalReport);
    if (!report->isCrash())
        return;
    // The crash's own time, as the event kit records it; the run's start only when the crash left no time.
    std::optional<plat::Date> date = report->crashedOnDate();
    if (!date)
        date = report->dateCreated();
    plat::DispatchQueue::main()->async([date] {
        rt::Class* events = rt::getClass("Zuvidir");
        if (events && rt::respondsTo(*events, rt::sel("logPreviousSessionCrashedOnDate:")))
            rt::msgSend(*events, rt::sel("logPreviousSessionCrashedOnDate:"), date);
    });
}

void Vuzidorazav::reportingControllerDidDetectReportForLastExecution(VZRCrashReportingController& controller,
                                                                     const std::shared_ptr<VZRInternalReport>& internal,
                                                                     std::function<void(bool submit)> completion) {
    const rt::ObjectPtr d = delegate();
    std::shared_ptr<VZRReport> report;
    if (answers(d, kDidDetectReport)) {
        report = std::make_shared<VZRReport>(internal, true);
        plat::DispatchQueue::main()->async(
            [d, report] { rt::msgSend(d, rt::sel(kDidDetectReport), report); });
    }
    if (!reportingControllerMustInformDelegateOfReports(controller)) {
        completion(true);
        return;
    }
    if (!report)
        report = std::make_shared<VZRReport>(internal);
    if (answers(d, kDidDetectReportWithCompletion))
        rt::msgSend(d, rt::sel(kDidDetectReportWithCompletion), report, std::move(completion));
    else
        completion(true);
    rt::ObjectPtr self = shared_from_this();
    plat::DispatchQueue::main()->async([d, self, report] {
        if (answers(d, kOlderDidDetectCrashWithReport))
            rt::msgSend(d, rt::sel(kOlderDidDetectCrashWithReport), self, report);
        if (answers(d, kOlderDidDetectCrash))
            rt::msgSend(d, rt::sel(kOlderDidDetectCrash), self);
    });
}

bool Vuzidorazav::reportingControllerEnsureDeliveryOfUnixSignal(VZRCrashReportingController&, int signal) {
    const rt::ObjectPtr d = delegate();
    if (!answers(d, kEnsureDelivery))
        return false;
    return rt::msgSend<bool>(d, rt::sel(kEnsureDelivery), shared_from_this(), int64_t{signal});
}
