#pragma once
// Builds the kit host's endpoint URLs (settings, onboarding, beta and report URLs) from a base, path pieces
// and escaped query parameters.

#include "platform/foundation/Value.hpp"
#include "platform/net/URL.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class ZUVURLBuilder {
public:
    static std::shared_ptr<ZUVURLBuilder> URLWithBase(std::string_view base);
    explicit ZUVURLBuilder(std::string_view base) : URLString_(base) {}

    void appendComponent(std::string_view component);
    // A piece of a path: besides what a URL cannot hold, "?" and "#" are escaped so the piece stays in
    // the path. Text that is not UTF-8 appends nothing.
    void escapeAndAppendComponent(std::string_view component);
    // Percent-escapes what a URL cannot hold (space, '"', '%', '<', '>', '[', '\', ']', '^', '`', '{',
    // '|', '}', controls and non-ASCII bytes) and "?" and "#". None for text that is not UTF-8.
    static std::optional<std::string> escapeString(std::string_view text);
    // As escapeString, also "&", "=" and "+", so a value cannot add parameters or change into a space.
    static std::optional<std::string> escapeQueryValue(std::string_view text);

    // A null value (or text that is not UTF-8) is neither written nor counted. "?" before the first
    // parameter, "&" before the others; the name as it is; a value that is not text as its description.
    void appendValue(const plat::Value& value, std::string_view queryParam);
    void appendValue(const std::optional<std::string>& value, std::string_view queryParam);

    const std::string& URLString() const { return URLString_; }
    uint64_t queryParams() const { return queryParams_; }
    // None when the text is not a valid URL.
    std::optional<plat::URL> URL() const;

private:
    std::string URLString_;
    uint64_t queryParams_ = 0;
};
