#pragma once
// The C-level preferences front end of the preference store: values addressed by key and domain name.
// kCurrentApplication names the standard domain (the bundle identifier).

#include "platform/foundation/PreferenceStore.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

struct PreferenceDomain {
    static constexpr std::string_view kCurrentApplication = "kCFPreferencesCurrentApplication";

    static std::optional<Value> copyValue(std::string_view key, std::string_view domain);
    // A value of none (or null) removes the key. False when the value is no property list.
    static bool setValue(std::string_view key, std::optional<Value> value, std::string_view domain);
    static std::vector<std::string> copyKeyList(std::string_view domain);
    static bool setMultiple(const Dictionary& set, const std::vector<std::string>& remove,
                            std::string_view domain);
    static bool synchronize(std::string_view domain);
};

} // namespace plat
