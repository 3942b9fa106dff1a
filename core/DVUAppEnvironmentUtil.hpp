#pragma once
// Facts about the device and the running bundle that the utility layer and its clients ask for.

#include <optional>
#include <string>

class DVUAppEnvironmentUtil {
public:
    // The `machine` field of uname, read once per process; none when uname fails.
    static std::optional<std::string> deviceModel();
    // The device's system version text, e.g. "12.4".
    static std::string systemVersion();
    // Whether the main bundle's path ends with ".appex" (case-sensitive).
    static bool isAppExtension();
};
