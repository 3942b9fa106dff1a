#pragma once
// The host application as its Info.plist describes it: identifier and versions, and whether it is an app
// extension (which has no shared application object and no background tasks).

#include "platform/foundation/Value.hpp"
#include "platform/uikit/UIApplication.hpp"

#include <memory>
#include <optional>
#include <string>

class ZDAApplication {
public:
    // Over the main bundle's Info.plist.
    static ZDAApplication hostApplication();
    explicit ZDAApplication(std::optional<plat::Dictionary> infoPlistDict) : info_(std::move(infoPlistDict)) {}

    const std::optional<plat::Dictionary>& infoPlistDict() const { return info_; }
    std::optional<std::string> bundleIdentifier() const;
    std::optional<std::string> bundleVersion() const;
    std::optional<std::string> shortVersionString() const;
    // "NSExtension" when it is a dictionary; a present value of another kind prints its error line.
    std::optional<plat::Dictionary> extensionDefinitionDictionary() const;
    std::optional<std::string> extensionPointIdentifier() const;
    bool isExtension() const { return extensionPointIdentifier().has_value(); }
    // None in an extension.
    std::shared_ptr<plat::UIApplication> appSharedInstance() const;

private:
    std::optional<std::string> stringValue(const char* key) const;

    std::optional<plat::Dictionary> info_;
};
