#include "crash/capture/VZRApplication.hpp"

#include "crash/capture/VZRSDKLog.hpp"

#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/uikit/UIApplication.hpp"

std::optional<std::string> VZRApplicationExtensionPointIdentifier() {
    const auto extension = plat::Bundle::main()->objectForInfoDictionaryKey("NSExtension");
    if (!extension)
        return std::nullopt;
    if (!extension->isDictionary()) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: NSExtension Info.plist entry is mal-formed\n", VZR_HERE);
        return std::nullopt;
    }
    const plat::Value* identifier = extension->find("NSExtensionPointIdentifier");
    if (!identifier)
        return std::nullopt;
    if (!identifier->isString()) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n",
                  VZR_HERE);
        return std::nullopt;
    }
    return identifier->asString();
}

bool VZRApplicationIsExtension() {
    return VZRApplicationExtensionPointIdentifier().has_value();
}

std::shared_ptr<plat::UIApplication> VZRApplicationSharedApplication() {
    if (VZRApplicationIsExtension())
        return nullptr;
    return plat::UIApplication::sharedApplication();
}

void VZRApplicationOpenURL(const std::string& url, const plat::rt::ObjectPtr& extensionContext,
                           const std::function<void(bool)>& completion) {
    if (extensionContext) {
        plat::rt::msgSend(extensionContext, "openURL:completionHandler:", url,
                          std::function<void(bool)>(completion ? completion : [](bool) {}));
        return;
    }
    const auto application = VZRApplicationSharedApplication();
    const bool opened = application && application->openURL(url);
    if (completion)
        completion(opened);
}

VZRActivity VZRApplicationBeginActivity(uint64_t options, const std::string& reason) {
    return plat::ProcessInfo::processInfo().beginActivity(options, reason);
}

void VZRApplicationEndActivity(VZRActivity activity) {
    plat::ProcessInfo::processInfo().endActivity(activity);
}

void VZRApplicationActivity(uint64_t options, const std::string& reason, const std::function<void()>& block) {
    const VZRActivity activity = VZRApplicationBeginActivity(options, reason);
    if (block)
        block();
    VZRApplicationEndActivity(activity);
}
