#pragma once
// What callers hand in where a URL or a URL request is needed: a string, a URL or URL components for a
// URL; a URL request, or any closure that builds one, for a request. Conversions throw ZVError.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/net/URL.hpp"
#include "platform/net/URLComponents.hpp"
#include "platform/net/URLRequest.hpp"

namespace Zavorida {

class URLConvertible {
public:
    URLConvertible(std::string text) : value_(std::move(text)) {}
    URLConvertible(const char* text) : value_(std::string(text ? text : "")) {}
    URLConvertible(std::string_view text) : value_(std::string(text)) {}
    URLConvertible(plat::URL url) : value_(std::move(url)) {}
    URLConvertible(plat::URLComponents components) : value_(std::move(components)) {}

    // The URL the platform's parser makes of the whole string (no trimming, no escaping), the URL itself, or
    // the URL the components form. Throws ZVError invalidURL carrying this value when there is none.
    plat::URL makeURL() const;

    // A string unchanged; a URL by its description; components by the text they form.
    std::string description() const;

    const std::string* stringValue() const { return std::get_if<std::string>(&value_); }
    const plat::URL* urlValue() const { return std::get_if<plat::URL>(&value_); }
    const plat::URLComponents* componentsValue() const { return std::get_if<plat::URLComponents>(&value_); }

private:
    std::variant<std::string, plat::URL, plat::URLComponents> value_;
};

class URLRequestConvertible {
public:
    URLRequestConvertible(plat::URLRequest request);
    // A caller's own conformer: a closure that builds the request and may throw.
    explicit URLRequestConvertible(std::function<plat::URLRequest()> make) : make_(std::move(make)) {}

    plat::URLRequest makeURLRequest() const { return make_(); }
    // The request, or none when building it throws (the error is dropped).
    std::optional<plat::URLRequest> optionalURLRequest() const;

private:
    std::function<plat::URLRequest()> make_;
};

} // namespace Zavorida
