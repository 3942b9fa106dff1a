#pragma once
// The core's diagnostics report: every "DAVAppDiagnosticsNotification" becomes one ICoreConfiguration
// (the core's configuration, the services linked into the app, the bundle), carried as the payload of a
// LogEvent of source 137 for the account "greenhouse" and flushed through the log-collection client.
// Wired up by its class load hook, before the entry point runs.

#include "core/CoreLogMessages.hpp"
#include "core/DAVZarezuveLogger.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/runtime/LoadHooks.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class DAVApp;

class DAVDiagnostics {
public:
    static constexpr int32_t kLogSource = 137;
    static constexpr const char* kAccount = "greenhouse";
    static constexpr const char* kInstallFileName = "VEDUDODU_UNIQUE_INSTALL";

    // The hook the app lists among its class load hooks.
    static plat::rt::LoadHook loadHook();
    // Observes the diagnostics notification (any sender); later calls change nothing.
    static void load();
    static void logDiagnostics(const plat::Notification& notification);

    static void populateLogProtoWithCommonInfo(const std::shared_ptr<DAVPBICoreConfiguration>& config,
                                               const std::shared_ptr<DAVApp>& app, int32_t appCount);
    static void populateLogProtoWithInstalledServices(const std::shared_ptr<DAVPBICoreConfiguration>& config);
    static void populateLogProtoWithNumberOfLinkedFrameworks(const std::shared_ptr<DAVPBICoreConfiguration>& config);
    static void populateLogProtoWithInfoPlistValues(const std::shared_ptr<DAVPBICoreConfiguration>& config);
    static int32_t mapFromServiceStringToTypeEnum(const std::string& service);
    static std::string deviceModel();
    // The install identifier, made and stored on first need; none when it can be neither read nor stored.
    static std::optional<std::string> installString();
    // "<Application Support>/Razoza/DAVApp/<name>", the folder made when missing; none when it cannot be.
    static std::optional<std::string> filePathURLWithName(const std::string& name);
    static std::optional<std::string> stringAtURL(const std::string& path);
    static bool writeStringToURL(const std::string& text, const std::string& path);
    static void sendLogsToZarezuve(const std::shared_ptr<DAVPBICoreConfiguration>& config,
                                   std::function<void()> completion);

    // The paths of the images loaded in the process (default: the dynamic loader's list, the program first).
    // Linux paths do not follow the device's layout, so tests and tools may hand in their own list.
    static void setLoadedImageNamesProvider(std::function<std::vector<std::string>()> provider);
    // The log-collection client reports go to (default: the shared one).
    static void setZarezuveLogger(std::shared_ptr<DAVZarezuveLogger> logger);
};
