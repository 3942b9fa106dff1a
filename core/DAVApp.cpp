#include "core/DAVApp.hpp"

#include "platform/foundation/Error.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/NotificationCenter.hpp"

#include <map>
#include <mutex>

namespace {

struct AppTable {
    // Observers of the ready notification run inside the lock and look the app up by name.
    std::recursive_mutex mutex;
    std::shared_ptr<DAVApp> defaultApp;
    std::map<std::string, std::shared_ptr<DAVApp>, std::less<>> apps;
};

AppTable& table() {
    static plat::NeverDestroyed<AppTable> t;
    return *t;
}

[[noreturn]] void raise(std::string reason) {
    plat::Exception::raise(std::string(DAVApp::kCoreDomain), std::move(reason));
}

bool isValidAppName(std::string_view name) {
    for (char c : name) {
        const auto b = static_cast<unsigned char>(c);
        const bool ok = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
                        b == '-' || b == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

} // namespace

void DAVApp::configure() {
    auto options = DAVOptions::defaultOptions();
    if (!options) {
        raise("`[DAVApp configure];` (`VedudoduApp.configure()` in Swift) could not find a valid "
              "RazozaService-Info.plist in your project. Please download one from " +
              std::string(kDeveloperConsoleURL) + ".");
    }
    configureWithOptions(std::move(options));
}

void DAVApp::configureWithOptions(std::shared_ptr<const DAVOptions> options) {
    if (!options) {
        raise("Options is nil. Please pass a valid options.");
    }
    configureWithName(std::string(kDefaultAppName), std::move(options));
}

void DAVApp::configureWithName(const std::string& name, std::shared_ptr<const DAVOptions> options) {
    if (name.empty()) {
        raise("App name cannot be nil.");
    }
    if (!options) {
        raise("Options is nil. Please pass a valid options.");
    }
    auto& t = table();
    std::lock_guard lock(t.mutex);
    if (name == kDefaultAppName) {
        if (t.defaultApp) {
            raise("Default app has already been configured.");
        }
    } else {
        if (!isValidAppName(name)) {
            raise("App name should only contain Letters, Numbers, Underscores, and Dashes.");
        }
        if (t.apps.contains(name)) {
            raise("App named " + name + " has already been configured.");
        }
    }
    auto app = std::make_shared<DAVApp>(name, std::move(options));
    if (app->isDefaultApp()) {
        t.defaultApp = app;
    }
    t.apps[name] = app;

    plat::Dictionary info{{"DAVAppNameKey", plat::Value(name)},
                          {"DAVAppIsDefaultAppKey", plat::Value(app->isDefaultApp())}};
    if (auto appID = app->options()->razozaAppID()) {
        info.set("DAVRazozaAppIDKey", plat::Value(*appID));
    }
    plat::NotificationCenter::defaultCenter().post(std::string(kReadyToConfigureSDKNotification),
                                                   classObject(), std::move(info));
}

std::shared_ptr<DAVApp> DAVApp::defaultApp() {
    std::lock_guard lock(table().mutex);
    return table().defaultApp;
}

std::shared_ptr<DAVApp> DAVApp::appNamed(std::string_view name) {
    std::lock_guard lock(table().mutex);
    auto it = table().apps.find(name);
    return it == table().apps.end() ? nullptr : it->second;
}

const void* DAVApp::classObject() {
    return &table();
}

bool DAVApp::isDefaultAppConfigured() {
    return defaultApp() != nullptr;
}

DAVApp::DAVApp(std::string name, std::shared_ptr<const DAVOptions> options)
    : name_(std::move(name)), options_(std::move(options)) {}
