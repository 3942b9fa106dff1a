#include "platform/net/URLRequest.hpp"

#include "platform/foundation/NeverDestroyed.hpp"

namespace plat {

URLRequest::URLRequest(std::optional<URL> url, URLRequestCachePolicy cachePolicy, double timeoutInterval)
    : fields_(std::make_shared<Fields>()) {
    fields_->url = std::move(url);
    fields_->cachePolicy = cachePolicy;
    fields_->timeoutInterval = timeoutInterval;
}

const URLRequest::Fields& URLRequest::defaultFields() {
    static NeverDestroyed<Fields> fields;
    return *fields;
}

URLRequest::Fields& URLRequest::edit() {
    if (!fields_) {
        fields_ = std::make_shared<Fields>();
    } else if (fields_.use_count() > 1) {
        fields_ = std::make_shared<Fields>(*fields_);
    }
    return *fields_;
}

bool URLRequest::isSafeHeaderText(std::string_view text) {
    // CR or LF would let a value start a new header line (or a body) on the wire; NUL cuts it short.
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool URLRequest::setValue(std::optional<std::string_view> value, std::string_view field) {
    if (field.empty() || !isSafeHeaderText(field) || (value && !isSafeHeaderText(*value))) {
        return false;
    }
    if (!value) {
        edit().headers.remove(field);
    } else {
        edit().headers.set(field, *value);
    }
    return true;
}

bool URLRequest::addValue(std::string_view value, std::string_view field) {
    if (field.empty() || !isSafeHeaderText(field) || !isSafeHeaderText(value)) {
        return false;
    }
    edit().headers.add(field, value);
    return true;
}

bool URLRequest::setAllHTTPHeaderFields(const HTTPHeaderFields& fields) {
    for (const auto& [name, value] : fields) {
        if (name.empty() || !isSafeHeaderText(name) || !isSafeHeaderText(value)) {
            return false;
        }
    }
    edit().headers = fields;
    return true;
}

void URLRequest::setHTTPBody(std::optional<std::vector<std::uint8_t>> body) {
    Fields& f = edit();
    f.body = std::move(body);
    if (f.body) {
        f.bodyStream.reset();
    }
}

void URLRequest::setHTTPBodyStream(std::shared_ptr<InputStream> stream) {
    Fields& f = edit();
    f.bodyStream = std::move(stream);
    if (f.bodyStream) {
        f.body.reset();
    }
}

} // namespace plat
