#pragma once
// The root object of the app-services core: the app shell configures the default app once at launch from
// the bundle's options file; the service clients that wait for it learn of it through
// "DAVAppReadyToConfigureSDKNotification" and look apps up by name. Apps are runtime objects of the class
// "DAVApp", so clients that do not link the core find it by name.

#include "core/DAVComponentContainer.hpp"
#include "core/DAVOptions.hpp"
#include "deployment/Deployment.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/runtime/Class.hpp"
#include "platform/runtime/Object.hpp"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class DAVApp : public plat::rt::Object {
    struct Key {};

public:
    static constexpr std::string_view kDefaultAppName = "__DAVAPP_DEFAULT";
    // Exception name and error domain of the core.
    static constexpr std::string_view kCoreDomain = "com.vedudodu.core";
    static constexpr std::string_view kReadyToConfigureSDKNotification = "DAVAppReadyToConfigureSDKNotification";
    static constexpr std::string_view kDeleteNotification = "DAVAppDeleteNotification";
    static constexpr std::string_view kDiagnosticsNotification = "DAVAppDiagnosticsNotification";
    // Where a developer downloads a new options file; named in the configuration messages.
    static constexpr std::string_view kDeveloperConsoleURL = deployment::kDeveloperConsoleURL;

    // The runtime class "DAVApp" (class method "defaultApp", instance method "isDataCollectionDefaultEnabled").
    static plat::rt::Class* runtimeClass();
    // The core's class load hook: registers the runtime class before the app's entry point.
    static void load() { runtimeClass(); }

    // Configures the default app from the bundle's options file. Raises (plat::Exception named
    // "com.vedudodu.core") when the file is missing, the default app is already configured, or the
    // configuration fails.
    static void configure();
    // Raises on none.
    static void configureWithOptions(std::shared_ptr<DAVOptions> options);
    // The name is letters, digits, '-' and '_' (the default name aside); raises on a name in use.
    static void configureWithName(const std::optional<std::string>& name, std::shared_ptr<DAVOptions> options);

    // Each logs when there is nothing to give.
    static std::shared_ptr<DAVApp> defaultApp();
    static std::shared_ptr<DAVApp> appNamed(std::string_view name);
    static std::map<std::string, std::shared_ptr<DAVApp>> allApps();
    static bool isDefaultAppConfigured();
    // The class answers the class method "configureWithApp:" (the app), sent after each configuration.
    static void registerAsConfigurable(plat::rt::Class* cls);
    // Names and versions of letters, digits, '-', '_' and '.'; others are logged (I-COR000027) and dropped.
    static void registerLibrary(const std::optional<std::string>& name, const std::optional<std::string>& version);
    // "name/version" of every library, sorted case-insensitively, joined by spaces.
    static std::string vedudoduUserAgent();
    static void resetApps();

    static std::optional<plat::Value> readDataCollectionSwitchFromPlist();
    static std::optional<plat::Value> readDataCollectionSwitchFromUserDefaultsForApp(const DAVApp& app);
    static bool validateAppID(const std::optional<std::string>& appID);
    static bool validateAppIDFormat(std::string_view appID, std::string_view version);
    static bool validateAppIDFingerprint(std::string_view appID, std::string_view version);
    static std::optional<std::string> actualBundleID();

    static plat::Error errorForMissingOptions();
    static plat::Error errorForInvalidAppID();
    static plat::Error errorForSubspecConfigurationFailure(std::string domain, int64_t code,
                                                           const std::string& service, std::string reason);

    // The sender of the core's notifications: the runtime class.
    static const void* classObject();

    // Made only by configureWithName (through initInstanceWithName).
    DAVApp(plat::rt::Class* cls, Key, std::string name, std::shared_ptr<DAVOptions> options);
    static std::shared_ptr<DAVApp> initInstanceWithName(const std::string& name, const std::shared_ptr<DAVOptions>& options);

    const std::string& name() const { return name_; }
    bool isDefaultApp() const { return isDefaultApp_; }
    // A fresh, locked copy of the app's options on every call.
    std::shared_ptr<DAVOptions> options() const { return options_->copy(); }
    DAVComponentContainer& container() const { return *container_; }

    // Removes the app; the block learns whether it was configured.
    void deleteApp(const std::function<void(bool)>& completion);

    using TokenCallback = std::function<void(std::optional<std::string> token, std::optional<plat::Error> error)>;
    using GetTokenImplementation = std::function<void(bool forceRefresh, TokenCallback callback)>;
    using GetUIDImplementation = std::function<std::optional<std::string>()>;
    void setGetTokenImplementation(GetTokenImplementation implementation);
    void setGetUIDImplementation(GetUIDImplementation implementation);
    // Without an implementation the callback gets neither token nor error.
    void getTokenForcingRefresh(bool forceRefresh, const TokenCallback& callback) const;
    std::optional<std::string> getUID() const;

    // A diagnostics notification for an SDK's logs, when data collection is on.
    void sendLogsWithServiceName(const std::string& service, const std::string& version,
                                 const std::optional<plat::Error>& error);

    // The per-app switch in the user defaults, else the Info.plist switch, else on.
    bool isDataCollectionDefaultEnabled() const;
    void setDataCollectionDefaultEnabled(bool enabled);
    void clearDataCollectionSwitchFromUserDefaults();

    bool configureCore();
    void checkExpectedBundleID();
    bool isAppIDValid();
    std::optional<std::string> expectedBundleID() const { return options_->bundleID(); }

private:
    std::string dataCollectionKey() const;
    void postDiagnostics(plat::Dictionary info) const;
    static void addAppToAppDictionary(const std::shared_ptr<DAVApp>& app);
    static void sendNotificationsToSDKs(const std::shared_ptr<DAVApp>& app);

    std::string name_;
    bool isDefaultApp_;
    // The app's own locked copy; shares its store with the options it was configured with.
    std::shared_ptr<DAVOptions> options_;
    std::unique_ptr<DAVComponentContainer> container_;
    mutable std::mutex implementationsMutex_;
    GetTokenImplementation getTokenImplementation_;
    GetUIDImplementation getUIDImplementation_;
};
