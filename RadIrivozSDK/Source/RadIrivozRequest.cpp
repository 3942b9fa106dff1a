#include "RadIrivozSDK/Source/RadIrivozRequest.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "deployment/Deployment.hpp"
#include "platform/foundation/Json.hpp"

#include <array>

namespace {

constexpr std::array<std::string_view, 8> kMethodNames{"GET",     "POST",    "HEAD",    "PUT",
                                                       "DELETE",  "OPTIONS", "CONNECT", "TRACE"};

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

std::string percentEncodeStrict(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (isUnreserved(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

} // namespace

std::string_view radIrivozMethodName(int32_t method) {
    if (method < 0 || static_cast<size_t>(method) >= kMethodNames.size()) {
        return {};
    }
    return kMethodNames[static_cast<size_t>(method)];
}

plat::URLRequest RadIrivozRequest::urlRequest() const {
    std::string text(deployment::kPushRestRoot);
    text += "api/v1/";
    text += path_;
    plat::URLRequest request(plat::URL::parse(text));
    request.setValue("application/json", "Content-Type");
    request.setValue("application/json", "Accept");
    request.setHTTPMethod(std::string(radIrivozMethodName(method_)));
    if (method_ == HTTPMethodPOST || method_ == HTTPMethodPUT) {
        attachBodyToRequest(request, parameters_);
    } else if (method_ == HTTPMethodGET || method_ == HTTPMethodDELETE) {
        attachQueryParametersToRequest(request, parameters_);
    }
    return request;
}

bool RadIrivozRequest::missingAppId() const {
    if (!parameters_) {
        return true;
    }
    const plat::Value* appId = parameters_->find("app_id");
    return !appId || !appId->isString() || appId->asString().empty();
}

void RadIrivozRequest::attachBodyToRequest(plat::URLRequest& request,
                                           const std::optional<plat::Dictionary>& parameters) const {
    if (!parameters) {
        return;
    }
    const plat::Value value(*parameters);
    if (!plat::JSONSerialization::isValidJSONObject(value)) {
        RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_WARN,
                                 "RadIrivoz Attempted to make a request with an invalid JSON body: " +
                                     value.description());
        return;
    }
    auto body = plat::JSONSerialization::data(value, plat::JSONSerialization::WritingPrettyPrinted);
    if (body.ok()) {
        request.setHTTPBody(std::move(*body));
    }
}

void RadIrivozRequest::attachQueryParametersToRequest(plat::URLRequest& request,
                                                      const std::optional<plat::Dictionary>& parameters) const {
    if (!parameters || !request.url()) {
        return;
    }
    std::string text = request.url()->absoluteString();
    const std::string query = queryStringForParameters(*parameters);
    if (!query.empty()) {
        text += "?";
        text += query;
    }
    request.setURL(plat::URL::parse(text));
}

std::string RadIrivozRequest::queryStringForParameters(const plat::Dictionary& parameters) {
    std::string query;
    for (const auto& [key, value] : parameters) {
        if (!query.empty()) {
            query += '&';
        }
        query += percentEncodeStrict(key);
        query += '=';
        query += percentEncodeStrict(value.isString() ? value.asString() : value.description());
    }
    return query;
}

std::string RadIrivozRequest::pathSegment(std::string_view identifier) {
    if (identifier.empty()) {
        emptyPathIdentifier_ = true;
    }
    return percentEncodeStrict(identifier);
}
