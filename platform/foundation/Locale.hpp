#pragma once
// The device's language and region settings: preferred languages (`de-DE` style) and the current locale
// (`de_DE` style), taken from the environment unless the device configuration or a test sets them.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

class Locale {
public:
    explicit Locale(std::string identifier);

    // The user's languages in order, e.g. {"de-DE", "en"}; never empty.
    static std::vector<std::string> preferredLanguages();
    static Locale current();

    const std::string& identifier() const { return identifier_; }
    std::string languageCode() const;                // "de" of "de_DE"
    std::optional<std::string> countryCode() const;  // "DE" of "de_DE"; none without a region
    std::optional<std::string> currencyCode() const; // "EUR" for a region that has one

    // `de_DE.UTF-8` -> `de-DE`; `C`/`POSIX`/empty -> none.
    static std::optional<std::string> languageTagFromPosix(std::string_view posix);

private:
    std::string identifier_;
};

namespace sim {

struct LocaleSettings {
    static void setPreferredLanguages(std::vector<std::string> languages);
    static void setCurrentIdentifier(std::string identifier);
    static void reset(); // back to the environment
};

} // namespace sim
} // namespace plat
