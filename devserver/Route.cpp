#include "devserver/Route.hpp"

#include <algorithm>
#include <cctype>

namespace devserver {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

std::string RecordedRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name)) {
            return value;
        }
    }
    return {};
}

bool RecordedRequest::hasHeader(std::string_view name) const {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& h) { return equalsIgnoringCase(h.first, name); });
}

Reply Reply::text(int status, std::string body, std::string contentType) {
    Reply r;
    r.status = status;
    r.body = std::move(body);
    r.headers.emplace_back("Content-Type", std::move(contentType));
    return r;
}

Reply Reply::json(int status, std::string body) {
    return text(status, std::move(body), "application/json");
}

Reply Reply::redirect(int status, std::string location) {
    Reply r;
    r.status = status;
    r.headers.emplace_back("Location", std::move(location));
    return r;
}

Reply Reply::stalled(uint64_t declaredLength, std::string partialBody) {
    Reply r;
    r.kind = Kind::Stall;
    r.declaredLength = declaredLength;
    r.body = std::move(partialBody);
    return r;
}

Reply Reply::dropped() {
    Reply r;
    r.kind = Kind::Drop;
    return r;
}

Reply Reply::generated(uint64_t size, bool chunked) {
    Reply r;
    r.kind = Kind::Generate;
    r.generatedSize = size;
    r.chunked = chunked;
    return r;
}

Reply& Reply::withHeader(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
}

Reply& Reply::after(std::chrono::milliseconds wait) {
    delay = wait;
    return *this;
}

bool Route::matches(std::string_view requestMethod, std::string_view requestHost,
                    std::string_view requestPath) const {
    if (!method.empty() && !equalsIgnoringCase(method, requestMethod)) {
        return false;
    }
    if (!host.empty() && !equalsIgnoringCase(host, requestHost)) {
        return false;
    }
    return match == PathMatch::Exact ? requestPath == path : requestPath.starts_with(path);
}

} // namespace devserver
