#include "platform/foundation/PreferenceDomain.hpp"

namespace plat {
namespace {

PreferenceStore::DomainPtr resolve(std::string_view domain) {
    if (domain.empty() || domain == PreferenceDomain::kCurrentApplication)
        return PreferenceStore::standardDomain();
    return PreferenceStore::domain(domain);
}

} // namespace

std::optional<Value> PreferenceDomain::copyValue(std::string_view key, std::string_view domain) {
    return resolve(domain)->value(key);
}

bool PreferenceDomain::setValue(std::string_view key, std::optional<Value> value, std::string_view domain) {
    if (value && value->isNull())
        value.reset();
    return resolve(domain)->setValue(key, std::move(value));
}

std::vector<std::string> PreferenceDomain::copyKeyList(std::string_view domain) {
    return resolve(domain)->keys();
}

bool PreferenceDomain::setMultiple(const Dictionary& set, const std::vector<std::string>& remove,
                                   std::string_view domain) {
    return resolve(domain)->setMultiple(set, remove);
}

bool PreferenceDomain::synchronize(std::string_view domain) {
    return resolve(domain)->synchronize();
}

} // namespace plat
