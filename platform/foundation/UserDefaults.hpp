#pragma once
// The user-defaults front end of the preference store: the standard domain (the bundle identifier) or a
// named suite. Every handle on one domain, from this front end or PreferenceDomain, shares its values.

#include "platform/foundation/PreferenceStore.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plat {

class UserDefaults {
public:
    static UserDefaults& standardUserDefaults();
    // none or empty: the standard domain.
    explicit UserDefaults(std::optional<std::string> suiteName = std::nullopt);

    const std::string& domainName() const;

    std::optional<Value> object(std::string_view key) const;
    // A string, or a number's description; else none.
    std::optional<std::string> string(std::string_view key) const;
    // Numbers and strings by the platform's conversion rules; anything else false / 0.
    bool boolean(std::string_view key) const;
    int64_t integer(std::string_view key) const;
    double doubleValue(std::string_view key) const;
    float floatValue(std::string_view key) const;
    // The stored value when it has that kind; else none.
    std::optional<Array> array(std::string_view key) const;
    std::optional<Dictionary> dictionary(std::string_view key) const;
    std::optional<Data> data(std::string_view key) const;

    // Property-list kinds only (false and nothing stored otherwise); null removes.
    bool set(std::string_view key, Value value);
    void setBool(std::string_view key, bool value);
    void setInteger(std::string_view key, int64_t value);
    void setDouble(std::string_view key, double value);
    void setFloat(std::string_view key, float value);
    void remove(std::string_view key);

    Dictionary dictionaryRepresentation() const;
    // Empties the domain of that name (a suite, or the bundle identifier's).
    void removePersistentDomainForName(std::string_view name);
    bool synchronize();
    // One key's read-modify-write, whole across processes and written at once (PreferenceStore::Domain::update).
    bool update(std::string_view key, const PreferenceStore::Domain::Change& change);

private:
    PreferenceStore::DomainPtr domain_;
};

} // namespace plat
