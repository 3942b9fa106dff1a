#pragma once
// The shell's literal texts in one place: file names, alert titles, portal addresses, dictionary and
// configuration keys, header and parameter names, the push application identifier, storyboard names and
// the two address lists of the navigation policy. Nothing else in the shell spells these inline.

#include "deployment/Deployment.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace strings_detail {

// The concatenation of constant texts, made at compile time so that the portal addresses need no
// start-up work yet share one deployment root.
template <const std::string_view&... Parts> struct Joined {
    static constexpr auto storage = [] {
        std::array<char, (Parts.size() + ... + 0) + 1> out{};
        std::size_t at = 0;
        for (std::string_view part : {Parts...})
            for (char c : part)
                out[at++] = c;
        return out;
    }();
    static constexpr std::string_view value{storage.data(), storage.size() - 1};
};

inline constexpr std::string_view kLoginPath = "/login?ignore_ntlm=1/";
inline constexpr std::string_view kRegisterPath = "/api/radirivoz/register";

} // namespace strings_detail

struct Strings {
    Strings() = delete;

    struct File {
        File() = delete;
        struct Name {
            Name() = delete;
            static constexpr std::string_view config = "Config";
        };
        struct Extension {
            Extension() = delete;
            static constexpr std::string_view json = "json";
        };
    };

    struct AlertAction {
        AlertAction() = delete;
        static constexpr std::string_view ok = "OK";
        static constexpr std::string_view cancel = "Cancel";
    };

    struct BoolValue {
        BoolValue() = delete;
        static constexpr std::string_view trueValue = "true";
    };

    struct Endpoint {
        Endpoint() = delete;
        // The trailing '/' after "1" is what the portal expects and is sent unchanged.
        static constexpr std::string_view login =
            strings_detail::Joined<deployment::kPortalRoot, strings_detail::kLoginPath>::value;
        // Appended to the configured base URL, not to the portal root.
        static constexpr std::string_view device = "/intranet/rest/device/";
        static constexpr std::string_view register_ =
            strings_detail::Joined<deployment::kPortalRoot, strings_detail::kRegisterPath>::value;
    };

    struct DictionaryKey {
        DictionaryKey() = delete;
        static constexpr std::string_view phpSessionId = "PHPSESSID";
        static constexpr std::string_view baseUrl = "base_url";
        static constexpr std::string_view pushNotificationsEnabled = "push_notifications_enabled";
        static constexpr std::string_view baseUrlHomeHost = "base_url_home_host";
    };

    struct Networking {
        Networking() = delete;
        static constexpr std::string_view contentType = "content-type";
        static constexpr std::string_view applicationJson = "application/json";
        static constexpr std::string_view deviceType = "device_type";
        static constexpr std::string_view ios = "ios";
        static constexpr std::string_view deviceToken = "device_token";
    };

    struct RadIrivoz {
        RadIrivoz() = delete;
        static constexpr std::string_view appId = deployment::kPushAppId;
    };

    struct Storyboard {
        Storyboard() = delete;
        static constexpr std::string_view main = "Main";
    };

    struct ViewController {
        ViewController() = delete;
        static constexpr std::string_view identifier = "ViewController";
    };

    struct ExternalLinks {
        ExternalLinks() = delete;
        // Addresses that contain an entry open outside the app.
        static const std::vector<std::string>& links();
    };

    struct BaseUrls {
        BaseUrls() = delete;
        // A link to another host whose address contains an entry stays in the app.
        static const std::vector<std::string>& urls();
    };
};
