#include "platform/net/URLRequest.hpp"

namespace plat {

URLRequest::URLRequest(std::optional<URL> url, URLRequestCachePolicy cachePolicy, double timeoutInterval)
    : url_(std::move(url)), cachePolicy_(cachePolicy), timeoutInterval_(timeoutInterval) {}

bool URLRequest::isSafeHeaderText(std::string_view text) {
    // CR or LF would let a value start a new header line (or a body) on the wire; NUL cuts it short.
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool URLRequest::setValue(std::optional<std::string_view> value, std::string_view field) {
    if (field.empty() || !isSafeHeaderText(field) || (value && !isSafeHeaderText(*value))) {
        return false;
    }
    if (!value) {
        headers_.remove(field);
    } else {
        headers_.set(field, *value);
    }
    return true;
}

bool URLRequest::addValue(std::string_view value, std::string_view field) {
    if (field.empty() || !isSafeHeaderText(field) || !isSafeHeaderText(value)) {
        return false;
    }
    headers_.add(field, value);
    return true;
}

bool URLRequest::setAllHTTPHeaderFields(const HTTPHeaderFields& fields) {
    for (const auto& [name, value] : fields) {
        if (name.empty() || !isSafeHeaderText(name) || !isSafeHeaderText(value)) {
            return false;
        }
    }
    headers_ = fields;
    return true;
}

void URLRequest::setHTTPBody(std::optional<std::vector<std::uint8_t>> body) {
    body_ = std::move(body);
    if (body_) {
        bodyStream_.reset();
    }
}

void URLRequest::setHTTPBodyStream(std::shared_ptr<InputStream> stream) {
    bodyStream_ = std::move(stream);
    if (bodyStream_) {
        body_.reset();
    }
}

} // namespace plat
