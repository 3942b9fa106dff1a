#pragma once
// The crash reporter's public object and its kit: runtime class "Vuzidorazav", declaring the kit protocol
// "ZUVKit", whose class methods the kit host calls ("bundleIdentifier", "kitDisplayVersion",
// "kitBuildVersion", "initializeIfNeeded", "sharedInstance"). Starting it brings up the beta check, crash
// reporting and then the event kit, once per process. It answers the crash reporting controller's and the
// beta controller's questions and turns them into calls on the application's delegate.
//
// The application's delegate is any runtime object; each of these selectors is sent only when it answers it:
//   vuzidorazavDidDetectReportForLastExecution:  (std::shared_ptr<VZRReport>) -> void, on the main queue
//   vuzidorazavDidDetectReportForLastExecution:completionHandler:
//       (std::shared_ptr<VZRReport>, std::function<void(bool submit)>) -> void; the report is sent or removed
//       when the completion is called (its first call counts)
//   vuzidorazavCanUseBackgroundSessions:  (ObjectPtr vuzidorazav) -> bool
//   vuzidorazavDidDetectCrash:  (ObjectPtr vuzidorazav) -> void, on the crashing thread
//   vuzidorazav:ensureDeliveryOfUnixSignal:  (ObjectPtr vuzidorazav, int64_t signal) -> bool
//   vuzidorazav:didDetectCrashDuringPreviousExecution:  (ObjectPtr vuzidorazav, std::shared_ptr<VZRReport>)
//   vuzidorazavDidDetectCrashDuringPreviousExecution:  (ObjectPtr vuzidorazav)
// The last two are older forms, sent on the main queue after the completion-handler form.

#include "crash/VZRBetaController.hpp"
#include "crash/VZRCrashReportingController.hpp"
#include "crash/VZRFileManager.hpp"
#include "crash/capture/VZRVersion.hpp"

#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/webkit/WKTypes.hpp"
#include "platform/webkit/WKWebViewConfiguration.hpp"
#include "platform/runtime/Class.hpp"
#include "platform/runtime/Object.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class VZRStackFrame;

class Vuzidorazav : public plat::rt::Object,
                    public VZRCrashReportingControllerDelegate,
                    public VZRBetaControllerDelegate {
public:
    static constexpr const char* kBundleIdentifier = "com.ruzovid.vuzidorazav.ios";
    static constexpr const char* kDisplayVersion = kVZRDisplayVersion;
    static constexpr const char* kBuildVersion = kVZRBuildVersion;

    explicit Vuzidorazav(plat::rt::Class* cls) : plat::rt::Object(cls) {}

    // Registered with its class methods on first use.
    static plat::rt::Class* runtimeClass();
    static std::shared_ptr<Vuzidorazav> sharedInstance();
    // A fresh allocation gives itself up for the shared instance.
    static std::shared_ptr<Vuzidorazav> allocInit() { return sharedInstance(); }

    // Class side.
    static void initializeIfNeeded() { sharedInstance()->start(); }
    static void disableUninitializedKitMessaging();
    static std::shared_ptr<Vuzidorazav> startWithAPIKey(const std::string& apiKey,
                                                        const plat::rt::ObjectPtr& delegate = nullptr);
    static std::shared_ptr<Vuzidorazav> startWithAPIKeyAfterDelay(const std::string& apiKey, double delay);
    static std::shared_ptr<Vuzidorazav> startWithAPIKeyDelegateAfterDelay(const std::string& apiKey,
                                                                          const plat::rt::ObjectPtr& delegate,
                                                                          double delay);

    // Once per instance (the shared one: once per process); later calls do nothing.
    void start();
    bool hasStarted() const;
    bool isVuzidorazavStarted() const { return crashReportingController() != nullptr; }

    std::string version() const { return kDisplayVersion; }
    std::string bundleIdentifier() const { return kBundleIdentifier; }
    std::optional<std::string> APIKey() const;
    std::string installID() const;
    bool isFirstInstall() const;
    std::optional<plat::Dictionary> settingsDictionary() const { return std::nullopt; }
    std::optional<plat::Dictionary> kitInfo() const { return std::nullopt; }
    void setKitInfo(const std::optional<plat::Dictionary>&) {}
    void setDebugMode(bool debug);
    bool debugMode() const;
    plat::rt::ObjectPtr delegate() const;
    void setDelegate(plat::rt::ObjectPtr delegate);
    std::shared_ptr<VZRBetaController> betaController() const;
    std::shared_ptr<VZRCrashReportingController> crashReportingController() const;

    [[noreturn]] void crash();
    [[noreturn]] void throwException();

    void setUserIdentifier(const std::optional<std::string>& identifier);
    void setUserName(const std::optional<std::string>& name);
    void setUserEmail(const std::optional<std::string>& email);
    void setDevelopmentPlatformName(const std::optional<std::string>& name);
    void setDevelopmentPlatformVersion(const std::optional<std::string>& version);
    std::optional<std::string> developmentPlatformName() const;
    std::optional<std::string> developmentPlatformVersion() const;
    void setObjectValue(const std::optional<plat::Value>& value, const std::optional<std::string>& key);
    void setIntValue(int32_t value, const std::optional<std::string>& key);
    void setBoolValue(bool value, const std::optional<std::string>& key);
    void setFloatValue(float value, const std::optional<std::string>& key);
    void recordError(const plat::Error& error, const std::optional<plat::Dictionary>& additionalUserInfo = std::nullopt);
    void recordCustomExceptionName(const std::string& name, const std::string& reason,
                                   const std::vector<VZRStackFrame>& frames);
    void logEvent(const std::string& name, const std::optional<plat::Dictionary>& attributes = std::nullopt);

    // Web views: JavaScript errors of a page become non-fatal exceptions (type 3, name "exception").
    // The injected script: a shared part that chains itself before the page's window.onerror (again at
    // load, should the page replace it), then the part that hands an error to this side.
    static std::string webViewScriptForUIWebView();
    static std::string webViewScriptForWKWebView();
    void monitorErrorsForUIWebView(const plat::rt::ObjectPtr& webView);
    // True (and the error recorded) for a "vuzidorazav" request; every other request is left alone.
    bool handleWebViewShouldStartLoadWithRequest(const plat::rt::ObjectPtr& webView, const plat::URLRequest& request,
                                                 int64_t navigationType);
    void monitorErrorsForWKWebViewConfiguration(plat::WKWebViewConfiguration& configuration);
    void userContentControllerDidReceiveScriptMessage(const std::shared_ptr<plat::WKUserContentController>& controller,
                                                      const plat::WKScriptMessage& message);

    // The delegate's older selectors warned about, on the main thread.
    void warnDelegateAboutMethods();

    // VZRCrashReportingControllerDelegate
    bool shouldInstallCrashCallback() override;
    void detectedCrash() override;
    bool reportingControllerCanUseBackgroundSessions(VZRCrashReportingController& controller) override;
    bool reportingControllerMustInformDelegateOfReports(VZRCrashReportingController& controller) override;
    void reportingControllerDidDetectReportForLastExecution(VZRCrashReportingController& controller,
                                                            const std::shared_ptr<VZRInternalReport>& report,
                                                            std::function<void(bool submit)> completion) override;
    void reportingControllerInternalDidDetectReportForLastExecution(
        VZRCrashReportingController& controller, const std::shared_ptr<VZRInternalReport>& report) override;
    bool reportingControllerEnsureDeliveryOfUnixSignal(VZRCrashReportingController& controller, int signal) override;
    std::optional<std::string> APIKeyForCrashReportingController(VZRCrashReportingController&) override {
        return APIKey();
    }
    std::string installIDForCrashReportingController(VZRCrashReportingController&) override { return installID(); }
    bool isFirstInstallForCrashReportingController(VZRCrashReportingController&) override { return isFirstInstall(); }
    VZRSettings settingsForCrashReportingController(VZRCrashReportingController&) override {
        return VZRSettings::fromKitHost();
    }

    // VZRBetaControllerDelegate
    std::optional<std::string> APIKeyForBetaController(VZRBetaController&) override { return APIKey(); }
    VZRSettings settingsForBetaController(VZRBetaController&) override { return VZRSettings::fromKitHost(); }

private:
    void run();

    std::once_flag startOnce_;
    mutable std::mutex mutex_; // everything below
    bool started_ = false;
    plat::rt::ObjectPtr delegate_;
    std::shared_ptr<VZRCrashReportingController> crashReportingController_;
    std::shared_ptr<VZRBetaController> betaController_;
    std::shared_ptr<VZRFileManager> fileManager_;
};
