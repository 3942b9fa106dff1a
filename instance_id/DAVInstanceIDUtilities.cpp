#include "instance_id/DAVInstanceIDUtilities.hpp"

#include "core/DAVOptions.hpp"
#include "core/DVUUserDefaults.hpp"
#include "deployment/Deployment.hpp"
#include "instance_id/DAVInstanceIDConstants.hpp"
#include "instance_id/DAVInstanceIDLogger.hpp"
#include "instance_id/DAVInstanceIDStringEncoding.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/Base64.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Digest.hpp"
#include "platform/foundation/Locale.hpp"
#include "platform/net/URLComponents.hpp"

#include <cmath>
#include <strings.h>

std::string DAVInstanceIDAppIdentifier() {
    std::string identifier = plat::Bundle::main()->bundleIdentifier().value_or("");
    if (identifier.empty()) {
        DAVInstanceIDLoggerError(18000,
                                 "The mainBundle's bundleIdentifier returned '%@'. Bundle identifier expected to be "
                                 "non-empty.",
                                 identifier);
    }
    return identifier;
}

std::string DAVInstanceIDAppVersion() {
    return plat::Bundle::main()->shortVersionString().value_or("");
}

const std::string& DAVInstanceIDLibraryVersion() {
    static const std::string version = "3.3.0";
    return version;
}

std::string DAVInstanceIDRegisterURL() {
    return std::string(deployment::kInstanceIdURL) + "/iid/register";
}

std::int64_t DAVInstanceIDNowSeconds() {
    return static_cast<std::int64_t>(std::trunc(plat::Clock::now()));
}

std::int64_t DAVInstanceIDNowMilliseconds() {
    return DAVInstanceIDNowSeconds() * 1000;
}

std::optional<std::string> DAVInstanceIDDefaultVedudoduAppID() {
    const auto options = DAVOptions::defaultOptions();
    return options ? options->razozaAppID() : std::nullopt;
}

std::optional<std::string> DAVInstanceIDDeviceModel() {
    static const std::optional<std::string> model = [] {
        std::string machine = plat::DeviceProfile::machine();
        return machine.empty() ? std::nullopt : std::optional<std::string>(machine);
    }();
    return model;
}

std::string DAVInstanceIDSystemVersion() {
    return plat::DeviceProfile::systemVersion();
}

std::string DAVInstanceIDCurrentLocale() {
    const auto languages = plat::Locale::preferredLanguages();
    if (!languages.empty() && !languages.front().empty()) {
        return languages.front();
    }
    return plat::Locale::current().languageCode();
}

std::optional<std::string> DAVInstanceIDUserDefaultsString(std::string_view key) {
    // The store hands back whatever is stored; a value of another kind counts as none rather than as text.
    const auto value = DVUUserDefaults::standardUserDefaults().stringForKey(key);
    if (!value || !value->isString()) {
        return std::nullopt;
    }
    return value->stringValue();
}

void DAVInstanceIDUserDefaultsSetString(std::string_view key, const std::string& value) {
    DVUUserDefaults::standardUserDefaults().setObject(plat::Value(value), key);
}

bool DAVInstanceIDLocaleDidChange() {
    const auto stored = DAVInstanceIDUserDefaultsString(kDAVInstanceIDUserDefaultsKeyLocale);
    return !stored || *stored != DAVInstanceIDCurrentLocale();
}

bool DAVInstanceIDIsMessagingScope(std::string_view scope) {
    return scope.size() == 3 && ::strncasecmp(scope.data(), "vcm", 3) == 0;
}

std::string DAVInstanceIDHexString(const plat::Data& data) {
    return plat::hexLower(data);
}

std::optional<std::string> DAVInstanceIDAPNSTokenString(const std::optional<plat::Data>& token, bool sandbox) {
    if (!token) {
        return std::nullopt;
    }
    return std::string(sandbox ? "s_" : "p_") + DAVInstanceIDHexString(*token);
}

std::optional<std::string> DAVInstanceIDMessagingClientVersion() {
    return std::nullopt;
}

plat::Data DAVInstanceIDSHA1(const plat::Data& data) {
    return plat::Digest::sha1(std::span<const std::uint8_t>(data));
}

std::string DAVInstanceIDWebSafeBase64(const plat::Data& data) {
    // Encoding only reads the encoder, so one built once serves every thread; identities are asked for often.
    static const std::unique_ptr<DAVInstanceIDStringEncoding> encoding = [] {
        auto websafe = DAVInstanceIDStringEncoding::rfc4648Base64WebsafeStringEncoding();
        websafe->setDoPad(false);
        return websafe;
    }();
    return encoding->encode(data);
}

std::string DAVInstanceIDFormEncode(const std::vector<DAVInstanceIDURLQueryItem>& items) {
    std::vector<plat::URLQueryItem> queryItems;
    queryItems.reserve(items.size());
    for (const auto& item : items) {
        queryItems.push_back({item.name, item.value});
    }
    plat::URLComponents components;
    components.setQueryItems(queryItems);
    // The server decodes the form with "+" as a space, so a literal plus would change the value.
    std::string query = components.percentEncodedQuery().value_or("");
    std::string out;
    out.reserve(query.size());
    for (char c : query) {
        if (c == '+') {
            out += "%2B";
        } else {
            out.push_back(c);
        }
    }
    return out;
}
