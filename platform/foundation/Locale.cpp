#include "platform/foundation/Locale.hpp"

#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/ProcessInfo.hpp"

#include <unicode/ucurr.h>

#include <algorithm>
#include <cctype>
#include <mutex>

namespace plat {
namespace {

struct Overrides {
    std::mutex mutex;
    std::optional<std::vector<std::string>> languages;
    std::optional<std::string> identifier;
};

Overrides& overrides() {
    static NeverDestroyed<Overrides> o;
    return *o;
}

// Strips the codeset and modifier: `de_DE.UTF-8@euro` -> `de_DE`.
std::string_view posixBase(std::string_view posix) {
    return posix.substr(0, posix.find_first_of(".@"));
}

std::optional<std::string> env(const char* name) {
    auto v = ProcessInfo::processInfo().environmentValue(name);
    if (v && v->empty())
        return std::nullopt;
    return v;
}

} // namespace

Locale::Locale(std::string identifier) : identifier_(std::move(identifier)) {}

std::optional<std::string> Locale::languageTagFromPosix(std::string_view posix) {
    std::string_view base = posixBase(posix);
    if (base.empty() || base == "C" || base == "POSIX")
        return std::nullopt;
    std::string tag(base);
    for (auto& c : tag)
        if (c == '_')
            c = '-';
    return tag;
}

std::vector<std::string> Locale::preferredLanguages() {
    {
        auto& o = overrides();
        std::lock_guard lock(o.mutex);
        if (o.languages && !o.languages->empty())
            return *o.languages;
    }
    std::vector<std::string> out;
    auto add = [&out](std::string_view posix) {
        if (auto tag = languageTagFromPosix(posix))
            if (std::find(out.begin(), out.end(), *tag) == out.end())
                out.push_back(*tag);
    };
    // LANGUAGE is a colon-separated priority list; the C library ignores it under the C locale, so do we.
    auto lcAll = env("LC_ALL");
    auto lang = env("LANG");
    std::string effective = lcAll ? *lcAll : lang.value_or("");
    if (auto language = env("LANGUAGE"); language && languageTagFromPosix(effective)) {
        std::string_view rest(*language);
        while (!rest.empty()) {
            auto colon = rest.find(':');
            add(rest.substr(0, colon));
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        }
    }
    add(effective);
    if (out.empty())
        out.push_back("en-US");
    return out;
}

Locale Locale::current() {
    {
        auto& o = overrides();
        std::lock_guard lock(o.mutex);
        if (o.identifier)
            return Locale(*o.identifier);
    }
    auto lcAll = env("LC_ALL");
    auto lang = env("LANG");
    if (!lcAll && !lang)
        return Locale("en_US");
    std::string_view base = posixBase(lcAll ? *lcAll : *lang);
    if (base.empty() || base == "C" || base == "POSIX")
        return Locale("en_US_POSIX");
    return Locale(std::string(base));
}

std::string Locale::languageCode() const {
    auto cut = identifier_.find_first_of("_-");
    return identifier_.substr(0, cut);
}

std::optional<std::string> Locale::countryCode() const {
    auto cut = identifier_.find_first_of("_-");
    if (cut == std::string::npos)
        return std::nullopt;
    std::string rest = identifier_.substr(cut + 1);
    // Skip a script subtag (`zh_Hans_CN`): regions are two letters or three digits.
    while (!rest.empty()) {
        auto next = rest.find_first_of("_-");
        std::string part = rest.substr(0, next);
        bool alpha2 = part.size() == 2 && std::isalpha(static_cast<unsigned char>(part[0])) &&
                      std::isalpha(static_cast<unsigned char>(part[1]));
        bool digit3 = part.size() == 3 &&
                      std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (alpha2 || digit3) {
            for (auto& c : part)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return part;
        }
        if (next == std::string::npos)
            break;
        rest = rest.substr(next + 1);
    }
    return std::nullopt;
}

std::optional<std::string> Locale::currencyCode() const {
    auto region = countryCode();
    if (!region)
        return std::nullopt;
    std::string loc = languageCode() + "_" + *region;
    UChar buffer[8] = {};
    UErrorCode status = U_ZERO_ERROR;
    int32_t len = ucurr_forLocale(loc.c_str(), buffer, 8, &status);
    if (U_FAILURE(status) || len <= 0 || len > 7)
        return std::nullopt;
    std::string out;
    for (int32_t i = 0; i < len; ++i)
        out.push_back(static_cast<char>(buffer[i]));
    return out;
}

namespace sim {

void LocaleSettings::setPreferredLanguages(std::vector<std::string> languages) {
    auto& o = overrides();
    std::lock_guard lock(o.mutex);
    o.languages = std::move(languages);
}

void LocaleSettings::setCurrentIdentifier(std::string identifier) {
    auto& o = overrides();
    std::lock_guard lock(o.mutex);
    o.identifier = std::move(identifier);
}

void LocaleSettings::reset() {
    auto& o = overrides();
    std::lock_guard lock(o.mutex);
    o.languages.reset();
    o.identifier.reset();
}

} // namespace sim
} // namespace plat
