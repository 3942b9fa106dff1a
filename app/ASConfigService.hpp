#pragma once
// The process-wide configuration service: reads the bundle's "Config.json" once, on first use, and holds
// the parsed settings. A missing or malformed file leaves every setting at its default.

#include "app/ASConfig.hpp"
#include "app/ASConfigParser.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

#include <memory>
#include <optional>
#include <string>

class ASConfigService {
public:
    // Created on first use (reading the file on the calling thread) and never destroyed.
    static ASConfigService& shared();

    // The file's members when it is one JSON object whose values are all text; otherwise empty.
    static ASConfigDictionary readConfigFile();

    const ASConfigParser& parser() const { return parser_; }
    const std::shared_ptr<ASConfig>& config() const { return config_; }

    // Forwarded to config().
    std::optional<bool> pushNotificationsEnabled() const { return config_->pushNotificationsEnabled(); }
    std::optional<std::string> baseUrlHomeHost() const { return config_->baseUrlHomeHost(); }
    std::optional<plat::URL> baseURL() const { return config_->baseURL(); }
    void setBaseURL(std::optional<plat::URL> url) { config_->setBaseURL(std::move(url)); }

    ASConfigService(const ASConfigService&) = delete;
    ASConfigService& operator=(const ASConfigService&) = delete;

private:
    friend class plat::NeverDestroyed<ASConfigService>;
    ASConfigService();

    ASConfigParser parser_;
    std::shared_ptr<ASConfig> config_;
};
