#pragma once
// HTTP header fields: case-insensitive names, insertion order kept, one entry per name
// (a repeated field is joined with ", "), as requests and responses hold them.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plat {

class HTTPHeaderFields {
public:
    using Field = std::pair<std::string, std::string>;

    HTTPHeaderFields() = default;
    // Repeated names are joined in the order given.
    HTTPHeaderFields(std::initializer_list<Field> fields);
    HTTPHeaderFields(const std::vector<Field>& fields);

    std::optional<std::string> value(std::string_view name) const;
    bool contains(std::string_view name) const;
    // Replaces the value; the field keeps its position and first spelling of the name.
    void set(std::string_view name, std::string_view value);
    // Appends to an existing value with ", ", or adds the field.
    void add(std::string_view name, std::string_view value);
    bool remove(std::string_view name);

    const std::vector<Field>& fields() const { return fields_; }
    std::vector<Field>::const_iterator begin() const { return fields_.begin(); }
    std::vector<Field>::const_iterator end() const { return fields_.end(); }
    std::size_t size() const { return fields_.size(); }
    bool empty() const { return fields_.empty(); }

    friend bool operator==(const HTTPHeaderFields&, const HTTPHeaderFields&) = default;

    static bool namesEqual(std::string_view a, std::string_view b);

private:
    std::vector<Field>::iterator find(std::string_view name);
    std::vector<Field>::const_iterator find(std::string_view name) const;
    std::vector<Field> fields_;
};

} // namespace plat
