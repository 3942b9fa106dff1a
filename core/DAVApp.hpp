#pragma once
// The root object of the app-services core: the app shell configures the default app once at launch from
// the bundle's options file; the service clients that wait for it learn of it through
// "DAVAppReadyToConfigureSDKNotification" and look apps up by name.

#include "core/DAVOptions.hpp"
#include "deployment/Deployment.hpp"

#include <memory>
#include <string>
#include <string_view>

class DAVApp {
public:
    static constexpr std::string_view kDefaultAppName = "__DAVAPP_DEFAULT";
    // Exception name and error domain of the core.
    static constexpr std::string_view kCoreDomain = "com.vedudodu.core";
    static constexpr std::string_view kReadyToConfigureSDKNotification =
        "DAVAppReadyToConfigureSDKNotification";
    // Where a developer downloads a new options file; named in the missing-file message.
    static constexpr std::string_view kDeveloperConsoleURL = deployment::kDeveloperConsoleURL;

    // Configures the default app from the bundle's options file. Raises (plat::Exception named
    // "com.vedudodu.core") when the file is missing, or when the default app is already configured.
    static void configure();
    // Raises on none.
    static void configureWithOptions(std::shared_ptr<const DAVOptions> options);
    // The name is letters, digits, '-' and '_' (the default name aside); raises on a name in use.
    static void configureWithName(const std::string& name, std::shared_ptr<const DAVOptions> options);

    static std::shared_ptr<DAVApp> defaultApp();
    static std::shared_ptr<DAVApp> appNamed(std::string_view name);
    static bool isDefaultAppConfigured();
    // The sender of the core's notifications, so observers can tell them from others of the same name.
    static const void* classObject();

    DAVApp(std::string name, std::shared_ptr<const DAVOptions> options);

    const std::string& name() const { return name_; }
    bool isDefaultApp() const { return name_ == kDefaultAppName; }
    const std::shared_ptr<const DAVOptions>& options() const { return options_; }

private:
    std::string name_;
    std::shared_ptr<const DAVOptions> options_;
};
