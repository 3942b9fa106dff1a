#include "core/DAVDiagnostics.hpp"

#include "core/DAVApp.hpp"
#include "core/DAVErrorObject.hpp"
#include "core/DAVLogger.hpp"
#include "core/DAVOptions.hpp"
#include "core/DVUAppEnvironmentUtil.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/runtime/Runtime.hpp"

#include <link.h>
#include <unistd.h>

#include <map>
#include <mutex>

namespace {

// Reports never interleave; the install file is read and written under the same lock.
std::recursive_mutex& diagnosticsLock() {
    static plat::NeverDestroyed<std::recursive_mutex> lock;
    return lock.get();
}

struct DiagnosticsHooks {
    std::mutex mutex;
    std::function<std::vector<std::string>()> imageNames;
    std::shared_ptr<DAVZarezuveLogger> logger;
    bool observing = false;
};

DiagnosticsHooks& diagnosticsHooks() {
    static plat::NeverDestroyed<DiagnosticsHooks> hooks;
    return hooks.get();
}

std::vector<std::string> diagnosticsDynamicLoaderImages() {
    std::vector<std::string> names;
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        names.emplace_back(self, static_cast<std::size_t>(length));
    }
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* out) {
            if (info->dlpi_name && info->dlpi_name[0]) {
                static_cast<std::vector<std::string>*>(out)->emplace_back(info->dlpi_name);
            }
            return 0;
        },
        &names);
    return names;
}

const std::map<std::string, int32_t>& diagnosticsServiceTable() {
    static const std::map<std::string, int32_t> table{
        {"AdNet", 2},         {"SignIn", 5},         {"Analytics", 9},
        {"Crash", 13},        {"Auth", 14},          {"Database", 15},
        {"Storage", 16},      {"Messaging", 17},     {"Measurement", 18},
        {"RemoteConfig", 19}, {"DynamicLinks", 20},  {"Invites", 21},
        {"AuthUI", 22},       {"DocStore", 23},      {"Performance", 24},
        {"MLVisionOnDeviceFace", 26}, {"MLVisionOnDeviceBarcode", 27}, {"MLVisionOnDeviceText", 28},
        {"MLVisionOnDeviceLabel", 29}, {"MLModelInterpreter", 30}, {"InAppMessaging", 31},
        {"Functions", 32}};
    return table;
}

struct DiagnosticsDetection {
    std::vector<const char*> classes;
    const char* service;
};

const std::vector<DiagnosticsDetection>& diagnosticsDetections() {
    static const std::vector<DiagnosticsDetection> detections{
        {{"RADBannerView"}, "AdNet"},
        {{"DAVInvites"}, "Invites"},
        {{"DAVMessaging"}, "Messaging"},
        {{"DAVRemoteConfig"}, "RemoteConfig"},
        {{"DCRClient"}, "Crash"},
        {{"DAVAnalytics"}, "Measurement"},
        {{"DAVVisionFaceDetector", "RMVFaceDetector"}, "MLVisionOnDeviceFace"},
        {{"DAVVisionBarcodeDetector", "RMVBarcodeDetector"}, "MLVisionOnDeviceBarcode"},
        {{"DAVVisionTextDetector", "RMVTextDetector"}, "MLVisionOnDeviceText"},
        {{"DAVVisionLabelDetector", "RMVLabelDetector"}, "MLVisionOnDeviceLabel"},
        {{"DAVCustomModelInterpreter"}, "MLModelInterpreter"},
        {{"DAVDatabase"}, "Database"},
        {{"DAVDynamicLinks"}, "DynamicLinks"},
        {{"DAVAuth"}, "Auth"},
        {{"DUIAuth"}, "AuthUI"},
        {{"DAVDocStore"}, "DocStore"},
        {{"DAVFunctions"}, "Functions"},
        {{"DAVPerformance"}, "Performance"},
        {{"DAVStorage"}, "Storage"},
        {{"RIDSignIn", "RGLContext"}, "SignIn"},
        {{"RAI", "RGLContext"}, "Analytics"},
        {{"DAVInAppMessaging"}, "InAppMessaging"},
    };
    return detections;
}

void diagnosticsSetString(const std::shared_ptr<DAVPBICoreConfiguration>& config, int32_t field,
                          const std::optional<std::string>& value) {
    if (value && !value->empty()) {
        NANOSetString(config, field, plat::Value(*value));
    }
}

std::string diagnosticsInfoString(const char* key) {
    auto bundle = plat::Bundle::main();
    auto value = bundle ? bundle->objectForInfoDictionaryKey(key) : std::nullopt;
    return value && value->isString() ? value->asString() : std::string();
}

} // namespace

plat::rt::LoadHook DAVDiagnostics::loadHook() {
    return plat::rt::LoadHook{"DAVDiagnostics", &DAVDiagnostics::load};
}

void DAVDiagnostics::load() {
    auto& hooks = diagnosticsHooks();
    {
        std::lock_guard lock(hooks.mutex);
        if (hooks.observing) {
            return;
        }
        hooks.observing = true;
    }
    plat::NotificationCenter::defaultCenter().addObserver(&hooks, std::string(DAVApp::kDiagnosticsNotification), nullptr,
                                                          [](const plat::Notification& n) { logDiagnostics(n); });
}

void DAVDiagnostics::setLoadedImageNamesProvider(std::function<std::vector<std::string>()> provider) {
    std::lock_guard lock(diagnosticsHooks().mutex);
    diagnosticsHooks().imageNames = std::move(provider);
}

void DAVDiagnostics::setZarezuveLogger(std::shared_ptr<DAVZarezuveLogger> logger) {
    std::lock_guard lock(diagnosticsHooks().mutex);
    diagnosticsHooks().logger = std::move(logger);
}

void DAVDiagnostics::logDiagnostics(const plat::Notification& notification) {
    // Read before taking the report's lock: the app registry has a lock of its own, under which
    // configuration posts this very notification.
    const int32_t appCount = static_cast<int32_t>(DAVApp::allApps().size());
    std::lock_guard lock(diagnosticsLock());
    auto config = DAVPBICoreConfiguration::init();
    const plat::Dictionary& info = notification.userInfo;
    if (const plat::Value* type = info.find("ConfigType"); type && type->isNumber()) {
        const int64_t value = type->integerValue();
        if (value == 1 || value == 2) {
            NANOSetInt32(config, DAVPBICoreConfiguration::kConfigurationType, static_cast<int32_t>(value));
        }
    }
    if (const plat::Value* name = info.find("SDKName"); name && name->isString()) {
        NANOSetInt32(config, DAVPBICoreConfiguration::kServiceType, mapFromServiceStringToTypeEnum(name->asString()));
    }
    if (const plat::Value* version = info.find("SDKVersion"); version && version->isString()) {
        NANOSetString(config, DAVPBICoreConfiguration::kServiceVersion, *version);
    }
    if (const plat::Value* errorValue = info.find("Error")) {
        if (auto error = DAVErrorObject::errorFromValue(*errorValue)) {
            auto errorInfo = DAVPBErrorInfo::init();
            NANOSetBool(errorInfo, DAVPBErrorInfo::kErrorPresent, true);
            NANOSetInt32(errorInfo, DAVPBErrorInfo::kErrorCode, static_cast<int32_t>(error->code));
            if (!error->domain.empty()) {
                NANOSetString(errorInfo, DAVPBErrorInfo::kErrorDomain, plat::Value(error->domain));
            }
            NANOSetMessage(config, DAVPBICoreConfiguration::kErrorInfo, errorInfo);
        }
    }
    std::shared_ptr<DAVApp> app;
    if (const plat::Value* appValue = info.find("DAVApp"); appValue && appValue->isObject()) {
        app = std::dynamic_pointer_cast<DAVApp>(appValue->asObject());
    }
    populateLogProtoWithCommonInfo(config, app, appCount);
    populateLogProtoWithInstalledServices(config);
    populateLogProtoWithNumberOfLinkedFrameworks(config);
    populateLogProtoWithInfoPlistValues(config);
    sendLogsToZarezuve(config, nullptr);
}

void DAVDiagnostics::populateLogProtoWithCommonInfo(const std::shared_ptr<DAVPBICoreConfiguration>& config,
                                                    const std::shared_ptr<DAVApp>& app, int32_t appCount) {
    NANOSetInt32(config, DAVPBICoreConfiguration::kFixedCode16, 2);
    NANOSetInt32(config, DAVPBICoreConfiguration::kAppCount, appCount);
    if (app) {
        if (auto options = app->options()) {
            diagnosticsSetString(config, DAVPBICoreConfiguration::kAppID, options->razozaAppID());
            diagnosticsSetString(config, DAVPBICoreConfiguration::kBundleID, options->bundleID());
            NANOSetBool(config, DAVPBICoreConfiguration::kUsingOptionsFromDefaultPlist,
                        options->usingOptionsFromDefaultPlist());
            NANOSetString(config, DAVPBICoreConfiguration::kLibraryVersionID,
                          plat::Value(std::string(DAVOptions::libraryVersionID())));
        }
    }
    diagnosticsSetString(config, DAVPBICoreConfiguration::kInstallString, installString());
    diagnosticsSetString(config, DAVPBICoreConfiguration::kDeviceModel, deviceModel());
    diagnosticsSetString(config, DAVPBICoreConfiguration::kOSVersion, DVUAppEnvironmentUtil::systemVersion());
    NANOSetBool(config, DAVPBICoreConfiguration::kFixedFlag29, false);
    NANOSetInt32(config, DAVPBICoreConfiguration::kFixedCode30, 1);
    // The application-environment state: whether the report comes from an app extension.
    NANOSetBool(config, DAVPBICoreConfiguration::kAppEnvironmentFlag, DVUAppEnvironmentUtil::isAppExtension());
    if (app) {
        diagnosticsSetString(config, DAVPBICoreConfiguration::kUserAgent, DAVApp::vedudoduUserAgent());
    }
}

void DAVDiagnostics::populateLogProtoWithInstalledServices(const std::shared_ptr<DAVPBICoreConfiguration>& config) {
    plat::Array codes;
    for (const auto& detection : diagnosticsDetections()) {
        bool present = true;
        for (const char* name : detection.classes) {
            present = present && plat::rt::getClass(name) != nullptr;
        }
        if (present) {
            codes.push_back(plat::Value(mapFromServiceStringToTypeEnum(detection.service)));
        }
    }
    NANOSetArray(config, DAVPBICoreConfiguration::kSdkServiceInstalled, codes);
}

void DAVDiagnostics::populateLogProtoWithNumberOfLinkedFrameworks(
    const std::shared_ptr<DAVPBICoreConfiguration>& config) {
    std::function<std::vector<std::string>()> provider;
    {
        std::lock_guard lock(diagnosticsHooks().mutex);
        provider = diagnosticsHooks().imageNames;
    }
    const std::vector<std::string> names = provider ? provider() : diagnosticsDynamicLoaderImages();
    int32_t count = 0;
    for (const auto& name : names) {
        if (name.find("System/Library") == std::string::npos && name.find("Developer/Library") == std::string::npos &&
            name.find("usr/lib") == std::string::npos) {
            ++count;
        }
    }
    NANOSetInt32(config, DAVPBICoreConfiguration::kLinkedFrameworkCount, count - 1);
}

void DAVDiagnostics::populateLogProtoWithInfoPlistValues(const std::shared_ptr<DAVPBICoreConfiguration>& config) {
    NANOSetString(config, DAVPBICoreConfiguration::kToolchainBuild,
                  plat::Value(diagnosticsInfoString("DTXcodeBuild") + "-" + diagnosticsInfoString("DTSDKBuild")));
    auto bundle = plat::Bundle::main();
    if (bundle) {
        if (auto minimum = bundle->objectForInfoDictionaryKey("MinimumOSVersion"); minimum && !minimum->isNull()) {
            NANOSetString(config, DAVPBICoreConfiguration::kMinimumOSVersion, plat::Value(minimum->stringValue()));
        }
    }
    auto proxy = bundle ? bundle->objectForInfoDictionaryKey("VedudoduAppDelegateProxyEnabled") : std::nullopt;
    NANOSetBool(config, DAVPBICoreConfiguration::kAppDelegateProxyEnabled,
                proxy && proxy->isNumber() ? proxy->boolValue() : true);
}

int32_t DAVDiagnostics::mapFromServiceStringToTypeEnum(const std::string& service) {
    const auto& table = diagnosticsServiceTable();
    auto it = table.find(service);
    return it == table.end() ? 0 : it->second;
}

std::string DAVDiagnostics::deviceModel() {
    static const std::string model = DVUAppEnvironmentUtil::deviceModel().value_or("");
    return model;
}

std::optional<std::string> DAVDiagnostics::filePathURLWithName(const std::string& name) {
    const std::string folder = plat::AppHome::applicationSupport() + "/Razoza/DAVApp";
    auto& fm = plat::FileManager::defaultManager();
    bool isDirectory = false;
    if (!fm.fileExists(folder, &isDirectory) || !isDirectory) {
        auto created = fm.createDirectory(folder, true, {});
        if (!created) {
            DAVLoggerWriteWarning(kDAVLoggerCore, "I-COR100001", "Unable to create internal state storage: %@",
                                  created.error());
            return std::nullopt;
        }
    }
    return folder + "/" + name;
}

std::optional<std::string> DAVDiagnostics::stringAtURL(const std::string& path) {
    auto data = plat::readData(path);
    if (!data) {
        return std::nullopt;
    }
    return std::string(data->begin(), data->end());
}

bool DAVDiagnostics::writeStringToURL(const std::string& text, const std::string& path) {
    plat::WriteOptions options;
    options.atomic = true;
    auto written = plat::writeData(path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), options);
    if (!written) {
        DAVLoggerWriteWarning(kDAVLoggerCore, "I-COR100004", "Unable to persist internal state: %@", written.error());
        return false;
    }
    if (!plat::FileManager::defaultManager().setExcludedFromBackup(path, true)) {
        DAVLoggerWriteWarning(kDAVLoggerCore, "I-COR100003", "Unable to update internal resource: %@",
                              plat::Value(path));
    }
    return true;
}

std::optional<std::string> DAVDiagnostics::installString() {
    std::lock_guard lock(diagnosticsLock());
    auto path = filePathURLWithName(kInstallFileName);
    if (!path || path->empty()) {
        return std::nullopt;
    }
    if (auto stored = stringAtURL(*path); stored && !stored->empty()) {
        return stored;
    }
    std::string fresh = plat::UUID::random().uuidString();
    if (!writeStringToURL(fresh, *path)) {
        return std::nullopt;
    }
    return fresh;
}

void DAVDiagnostics::sendLogsToZarezuve(const std::shared_ptr<DAVPBICoreConfiguration>& config,
                                        std::function<void()> completion) {
    auto event = DLCPBLogEvent::init();
    NANOSetBytes(event, DLCPBLogEvent::kSourceExtension,
                 config->protoBuffer() ? plat::Value(*config->protoBuffer()) : plat::Value());
    std::shared_ptr<DAVZarezuveLogger> logger;
    {
        std::lock_guard lock(diagnosticsHooks().mutex);
        logger = diagnosticsHooks().logger;
    }
    if (!logger) {
        logger = DAVZarezuveLogger::sharedInstance();
    }
    std::lock_guard lock(diagnosticsLock());
    logger->logEvent(event, kLogSource, kAccount);
    logger->flushWithCompletionHandler(std::move(completion));
}
