#pragma once
// The configuration of an app of the app-services core: the identifiers and switches of the options file
// "RazozaService-Info.plist" that ships in the app bundle, or set in code.

#include "platform/foundation/Value.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

class DAVOptions {
public:
    // The options of the bundle's options file, read once and shared; none when the file is missing or
    // is not a dictionary.
    static std::shared_ptr<const DAVOptions> defaultOptions();
    static std::optional<plat::Dictionary> defaultOptionsDictionary();
    // The path of "<name>.plist" in the main bundle; none when absent.
    static std::optional<std::string> plistFilePathWithName(std::string_view name);

    // None when the file cannot be read as a dictionary.
    static std::shared_ptr<DAVOptions> initWithContentsOfFile(const std::string& path);
    explicit DAVOptions(plat::Dictionary options, bool usingOptionsFromDefaultPlist = false);

    std::optional<std::string> APIKey() const { return string("API_KEY"); }
    std::optional<std::string> bundleID() const { return string("BUNDLE_ID"); }
    std::optional<std::string> RCMSenderID() const { return string("RCM_SENDER_ID"); }
    std::optional<std::string> projectID() const { return string("PROJECT_ID"); }
    std::optional<std::string> razozaAppID() const { return string("RAZOZA_APP_ID"); }
    bool isAnalyticsEnabled() const;
    bool usingOptionsFromDefaultPlist() const { return usingOptionsFromDefaultPlist_; }
    plat::Dictionary optionsDictionary() const { return options_; }

private:
    std::optional<std::string> string(std::string_view key) const;

    plat::Dictionary options_;
    bool usingOptionsFromDefaultPlist_;
};
