#include "ZazududIda/ZDAApplication.hpp"

#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Console.hpp"

ZDAApplication ZDAApplication::hostApplication() {
    return ZDAApplication(plat::Bundle::main()->infoDictionary());
}

std::optional<std::string> ZDAApplication::stringValue(const char* key) const {
    const plat::Value* v = info_ ? info_->find(key) : nullptr;
    if (v && v->isString()) {
        return v->asString();
    }
    return std::nullopt;
}

std::optional<std::string> ZDAApplication::bundleIdentifier() const {
    return stringValue("CFBundleIdentifier");
}

std::optional<std::string> ZDAApplication::bundleVersion() const {
    return stringValue("CFBundleVersion");
}

std::optional<std::string> ZDAApplication::shortVersionString() const {
    return stringValue("CFBundleShortVersionString");
}

std::optional<plat::Dictionary> ZDAApplication::extensionDefinitionDictionary() const {
    const plat::Value* v = info_ ? info_->find("NSExtension") : nullptr;
    if (!v) {
        return std::nullopt;
    }
    if (const plat::Dictionary* d = v->ifDictionary()) {
        return *d;
    }
    plat::NSLog("Error: NSExtension Info.plist entry is mal-formed %@\n", *v);
    return std::nullopt;
}

std::optional<std::string> ZDAApplication::extensionPointIdentifier() const {
    auto definition = extensionDefinitionDictionary();
    if (!definition) {
        return std::nullopt;
    }
    const plat::Value* v = definition->find("NSExtensionPointIdentifier");
    if (!v || !v->isString()) {
        plat::NSLogText("Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n");
        return std::nullopt;
    }
    return v->asString();
}

std::shared_ptr<plat::UIApplication> ZDAApplication::appSharedInstance() const {
    if (isExtension()) {
        return nullptr;
    }
    return plat::UIApplication::sharedApplication();
}
