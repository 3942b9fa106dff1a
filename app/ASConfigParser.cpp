#include "app/ASConfigParser.hpp"

#include "app/Strings.hpp"

namespace {

const std::string* lookUp(const ASConfigDictionary& dictionary, std::string_view key) {
    auto it = dictionary.find(key);
    return it == dictionary.end() ? nullptr : &it->second;
}

} // namespace

std::shared_ptr<ASConfig> ASConfigParser::parse(const ASConfigDictionary& dictionary) const {
    const std::string* base = lookUp(dictionary, Strings::DictionaryKey::baseUrl);
    // The empty string is refused by the URL conversion, so an absent key and "" both give no URL.
    std::optional<plat::URL> baseURL = plat::URL::parse(base ? *base : std::string());

    const std::string* push = lookUp(dictionary, Strings::DictionaryKey::pushNotificationsEnabled);
    const bool pushEnabled = push && *push == Strings::BoolValue::trueValue;

    const std::string* home = lookUp(dictionary, Strings::DictionaryKey::baseUrlHomeHost);
    std::optional<std::string> homeHost = home ? std::optional<std::string>(*home) : std::nullopt;

    return std::make_shared<ASConfig>(std::move(baseURL), pushEnabled, std::move(homeHost));
}
