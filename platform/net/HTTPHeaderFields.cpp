#include "platform/net/HTTPHeaderFields.hpp"

#include "platform/foundation/String.hpp"

#include <algorithm>

namespace plat {

bool HTTPHeaderFields::namesEqual(std::string_view a, std::string_view b) {
    return String::equalsIgnoringASCIICase(a, b);
}

HTTPHeaderFields::HTTPHeaderFields(std::initializer_list<Field> fields) {
    for (const auto& [name, value] : fields) {
        add(name, value);
    }
}

HTTPHeaderFields::HTTPHeaderFields(const std::vector<Field>& fields) {
    for (const auto& [name, value] : fields) {
        add(name, value);
    }
}

std::vector<HTTPHeaderFields::Field>::iterator HTTPHeaderFields::find(std::string_view name) {
    return std::find_if(fields_.begin(), fields_.end(),
                        [&](const Field& f) { return namesEqual(f.first, name); });
}

std::vector<HTTPHeaderFields::Field>::const_iterator HTTPHeaderFields::find(std::string_view name) const {
    return std::find_if(fields_.begin(), fields_.end(),
                        [&](const Field& f) { return namesEqual(f.first, name); });
}

std::optional<std::string> HTTPHeaderFields::value(std::string_view name) const {
    const auto it = find(name);
    if (it == fields_.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool HTTPHeaderFields::contains(std::string_view name) const {
    return find(name) != fields_.end();
}

void HTTPHeaderFields::set(std::string_view name, std::string_view value) {
    if (auto it = find(name); it != fields_.end()) {
        it->second = std::string(value);
    } else {
        fields_.emplace_back(std::string(name), std::string(value));
    }
}

void HTTPHeaderFields::add(std::string_view name, std::string_view value) {
    if (auto it = find(name); it != fields_.end()) {
        it->second += ", ";
        it->second += value;
    } else {
        fields_.emplace_back(std::string(name), std::string(value));
    }
}

bool HTTPHeaderFields::remove(std::string_view name) {
    const auto it = find(name);
    if (it == fields_.end()) {
        return false;
    }
    fields_.erase(it);
    return true;
}

} // namespace plat
