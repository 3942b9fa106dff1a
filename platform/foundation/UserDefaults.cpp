#include "platform/foundation/UserDefaults.hpp"

#include "platform/foundation/NeverDestroyed.hpp"

namespace plat {

UserDefaults& UserDefaults::standardUserDefaults() {
    static NeverDestroyed<UserDefaults> defaults;
    return *defaults;
}

UserDefaults::UserDefaults(std::optional<std::string> suiteName)
    : domain_(suiteName && !suiteName->empty() ? PreferenceStore::domain(*suiteName)
                                               : PreferenceStore::standardDomain()) {}

const std::string& UserDefaults::domainName() const {
    return domain_->name();
}

std::optional<Value> UserDefaults::object(std::string_view key) const {
    return domain_->value(key);
}

std::optional<std::string> UserDefaults::string(std::string_view key) const {
    auto v = object(key);
    if (!v)
        return std::nullopt;
    if (v->isString())
        return v->asString();
    if (v->isNumber())
        return v->stringValue();
    return std::nullopt;
}

namespace {
bool convertible(const std::optional<Value>& v) {
    return v && (v->isNumber() || v->isString());
}
} // namespace

bool UserDefaults::boolean(std::string_view key) const {
    auto v = object(key);
    return convertible(v) && v->boolValue();
}

int64_t UserDefaults::integer(std::string_view key) const {
    auto v = object(key);
    return convertible(v) ? v->integerValue() : 0;
}

double UserDefaults::doubleValue(std::string_view key) const {
    auto v = object(key);
    return convertible(v) ? v->doubleValue() : 0.0;
}

float UserDefaults::floatValue(std::string_view key) const {
    return static_cast<float>(doubleValue(key));
}

std::optional<Array> UserDefaults::array(std::string_view key) const {
    auto v = object(key);
    if (v && v->isArray())
        return v->asArray();
    return std::nullopt;
}

std::optional<Dictionary> UserDefaults::dictionary(std::string_view key) const {
    auto v = object(key);
    if (v && v->isDictionary())
        return v->asDictionary();
    return std::nullopt;
}

std::optional<Data> UserDefaults::data(std::string_view key) const {
    auto v = object(key);
    if (v && v->isData())
        return v->asData();
    return std::nullopt;
}

bool UserDefaults::set(std::string_view key, Value value) {
    if (value.isNull())
        return domain_->setValue(key, std::nullopt);
    return domain_->setValue(key, std::move(value));
}

void UserDefaults::setBool(std::string_view key, bool value) {
    set(key, Value(value));
}
void UserDefaults::setInteger(std::string_view key, int64_t value) {
    set(key, Value(value));
}
void UserDefaults::setDouble(std::string_view key, double value) {
    set(key, Value(value));
}
void UserDefaults::setFloat(std::string_view key, float value) {
    set(key, Value(value));
}
void UserDefaults::remove(std::string_view key) {
    domain_->setValue(key, std::nullopt);
}

Dictionary UserDefaults::dictionaryRepresentation() const {
    return domain_->snapshot();
}

void UserDefaults::removePersistentDomainForName(std::string_view name) {
    PreferenceStore::domain(name.empty() ? PreferenceStore::standardDomainName() : std::string(name))
        ->removeAll();
}

bool UserDefaults::synchronize() {
    return domain_->synchronize();
}

bool UserDefaults::update(std::string_view key, const PreferenceStore::Domain::Change& change) {
    return domain_->update(key, change);
}

} // namespace plat
