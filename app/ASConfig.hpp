#pragma once
// The shell's configuration as read from the bundle's "Config.json": the portal REST base URL, the push
// switch and the portal's home host. Shared by reference; the universal-link handling rewrites baseURL.

#include "platform/net/URL.hpp"

#include <mutex>
#include <optional>
#include <string>

class ASConfig {
public:
    ASConfig(std::optional<plat::URL> baseURL, bool pushNotificationsEnabled,
             std::optional<std::string> baseUrlHomeHost);

    std::optional<plat::URL> baseURL() const;
    void setBaseURL(std::optional<plat::URL> url);
    // Never none for a parsed configuration; optional only because the field may be cleared.
    std::optional<bool> pushNotificationsEnabled() const;
    void setPushNotificationsEnabled(std::optional<bool> enabled);
    std::optional<std::string> baseUrlHomeHost() const;
    void setBaseUrlHomeHost(std::optional<std::string> host);

private:
    // The shell reads these on the main thread, but the object is shared, so a stray reader elsewhere must
    // not race the universal-link writer.
    mutable std::mutex mutex_;
    std::optional<plat::URL> baseURL_;
    std::optional<bool> pushNotificationsEnabled_;
    std::optional<std::string> baseUrlHomeHost_;
};
