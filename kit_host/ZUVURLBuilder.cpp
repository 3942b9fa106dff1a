#include "kit_host/ZUVURLBuilder.hpp"

#include "platform/foundation/String.hpp"

namespace {

// Everything a URL may hold as it is, as the platform's legacy escaping leaves it: letters, digits and
// -._~!$&'()*+,/:;=?@#. The two tables below take out what would change the meaning of a piece.
constexpr std::string_view kURLBuilderLegalMarks = "-._~!$'()*,/:;@";

const plat::CharacterSet& pathPieceAllowed() {
    static const plat::CharacterSet set =
        plat::CharacterSet::alphanumericASCII().united(plat::CharacterSet::fromCharacters(std::string(kURLBuilderLegalMarks) + "&=+"));
    return set;
}

const plat::CharacterSet& queryValueAllowed() {
    static const plat::CharacterSet set =
        plat::CharacterSet::alphanumericASCII().united(plat::CharacterSet::fromCharacters(kURLBuilderLegalMarks));
    return set;
}

} // namespace

std::shared_ptr<ZUVURLBuilder> ZUVURLBuilder::URLWithBase(std::string_view base) {
    return std::make_shared<ZUVURLBuilder>(base);
}

void ZUVURLBuilder::appendComponent(std::string_view component) {
    URLString_ += component;
}

void ZUVURLBuilder::escapeAndAppendComponent(std::string_view component) {
    if (auto escaped = escapeString(component))
        URLString_ += *escaped;
}

std::optional<std::string> ZUVURLBuilder::escapeString(std::string_view text) {
    return plat::String::addingPercentEncoding(text, pathPieceAllowed());
}

std::optional<std::string> ZUVURLBuilder::escapeQueryValue(std::string_view text) {
    return plat::String::addingPercentEncoding(text, queryValueAllowed());
}

void ZUVURLBuilder::appendValue(const plat::Value& value, std::string_view queryParam) {
    if (value.isNull())
        return;
    auto escaped = escapeQueryValue(value.isString() ? *value.ifString() : value.description());
    if (!escaped)
        return;
    URLString_ += queryParams_ == 0 ? '?' : '&';
    URLString_ += queryParam;
    URLString_ += '=';
    URLString_ += *escaped;
    ++queryParams_;
}

void ZUVURLBuilder::appendValue(const std::optional<std::string>& value, std::string_view queryParam) {
    appendValue(value ? plat::Value(*value) : plat::Value(), queryParam);
}

std::optional<plat::URL> ZUVURLBuilder::URL() const {
    return plat::URL::parse(URLString_);
}
