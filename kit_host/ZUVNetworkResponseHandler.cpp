#include "kit_host/ZUVNetworkResponseHandler.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace {

std::string lowerASCII(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && lowerASCII(a) == lowerASCII(b);
}

std::string_view trimOWS(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

bool isTokenChar(unsigned char c) {
    return std::isalnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool isToken(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return isTokenChar(c); });
}

// Splits on ';' outside quoted strings.
std::vector<std::string_view> splitParameters(std::string_view s) {
    std::vector<std::string_view> out;
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (quoted && s[i] == '\\') {
            ++i;
        } else if (s[i] == '"') {
            quoted = !quoted;
        } else if (s[i] == ';' && !quoted) {
            out.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    out.push_back(s.substr(start));
    return out;
}

std::string unquote(std::string_view v) {
    if (v.size() < 2 || v.front() != '"' || v.back() != '"')
        return std::string(v);
    std::string out;
    for (std::size_t i = 1; i + 1 < v.size(); ++i) {
        if (v[i] == '\\' && i + 2 < v.size())
            ++i;
        out += v[i];
    }
    return out;
}

// The codes of the URL-loading domain that are final: bad or unsupported requests, authentication,
// certificates, files and bodies that a retry cannot change.
constexpr int64_t kNotRetriedURLErrors[] = {-1022, -1013, -1012, -1010, -1007, -1002, -1000, -995,
                                            -1200, -1201, -1202, -1203, -1204, -1205, -1206, -1100, -1101, -1103};

} // namespace

std::optional<ZUVMediaType> ZUVMediaType::parse(std::string_view text) {
    auto pieces = splitParameters(text);
    std::string_view essence = trimOWS(pieces[0]);
    const auto slash = essence.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    const std::string_view type = essence.substr(0, slash);
    const std::string_view subtype = essence.substr(slash + 1);
    if (!isToken(type) || !isToken(subtype))
        return std::nullopt;
    ZUVMediaType out{lowerASCII(type), lowerASCII(subtype), {}};
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        std::string_view p = trimOWS(pieces[i]);
        const auto eq = p.find('=');
        if (eq == std::string_view::npos)
            continue;
        const std::string_view name = trimOWS(p.substr(0, eq));
        if (!isToken(name))
            continue;
        out.parameters.emplace_back(lowerASCII(name), unquote(trimOWS(p.substr(eq + 1))));
    }
    return out;
}

std::optional<std::string> ZUVMediaType::parameter(std::string_view name) const {
    const std::string key = lowerASCII(name);
    for (const auto& [n, v] : parameters)
        if (n == key)
            return v;
    return std::nullopt;
}

void ZUVNetworkResponseHandler::handleCompletedResponse(const plat::HTTPURLResponse* response,
                                                        const plat::URLRequest& originalRequest,
                                                        const std::optional<plat::Error>& error,
                                                        const CompletionBlock& block) {
    if (error) {
        block(retryableURLError(*error), error);
        return;
    }
    int status = 0;
    const int type = clientResponseType(response, [&status](int, int s) { status = s; });
    switch (type) {
    case success:
        if (contentTypeForResponse(response, originalRequest))
            block(false, std::nullopt);
        else
            block(false, errorForResponse(response, failure, status, kFailureErrorCode));
        return;
    case clientError:
        block(false, errorForResponse(response, type, status, kClientErrorCode));
        return;
    case retry:
    case rateLimitedRetry:
        block(true, errorForResponse(response, type, status, kRetryErrorCode));
        return;
    default:
        block(false, errorForResponse(response, type, status, kFailureErrorCode));
        return;
    }
}

int ZUVNetworkResponseHandler::clientResponseType(const plat::HTTPURLResponse* response,
                                                  const std::function<void(int, int)>& handler) {
    const int status = response ? response->statusCode() : 0;
    int type = failure;
    switch (status) {
    case 200: case 201: case 202: case 204: case 304:
        type = success;
        break;
    case 400: case 401: case 403: case 404: case 406: case 410: case 411: case 413: case 419: case 422: case 431:
        type = clientError;
        break;
    case 408:
        type = retry;
        break;
    case 420: case 429:
        type = rateLimitedRetry;
        break;
    default:
        type = status >= 500 && status <= 599 ? retry : failure;
    }
    if (handler)
        handler(type, status);
    return type;
}

bool ZUVNetworkResponseHandler::retryableURLError(const plat::Error& error) {
    if (error.domain != plat::NSURLErrorDomain)
        return false;
    return std::find(std::begin(kNotRetriedURLErrors), std::end(kNotRetriedURLErrors), error.code) ==
           std::end(kNotRetriedURLErrors);
}

double ZUVNetworkResponseHandler::parseRetryAfter(std::optional<std::string_view> value) {
    if (!value)
        return kDefaultRetryValue;
    // The leading decimal number, as the platform's doubleValue reads it; no hex, no "inf", no "nan".
    std::string_view s = *value;
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    const std::size_t digitsStart = i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
        ++i;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
            ++i;
    }
    if (i == digitsStart || (i == digitsStart + 1 && s[digitsStart] == '.'))
        return kDefaultRetryValue;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-'))
            ++j;
        if (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) {
            while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j])))
                ++j;
            i = j;
        }
    }
    const std::string number(s.substr(0, i));
    const double v = std::strtod(number.c_str(), nullptr);
    if (!std::isfinite(v) || v < 0)
        return kDefaultRetryValue;
    return v;
}

double ZUVNetworkResponseHandler::retryValueForResponse(const plat::HTTPURLResponse* response) {
    auto header = headerForResponse(response, "Retry-After");
    return header ? parseRetryAfter(*header) : kDefaultRetryValue;
}

std::string ZUVNetworkResponseHandler::requestIdForResponse(const plat::HTTPURLResponse* response) {
    return headerForResponse(response, "X-Request-Id").value_or("");
}

std::optional<std::string> ZUVNetworkResponseHandler::headerForResponse(const plat::HTTPURLResponse* response,
                                                                        std::string_view key) {
    if (!response)
        return std::nullopt;
    return response->value(key);
}

bool ZUVNetworkResponseHandler::contentTypeForResponse(const plat::HTTPURLResponse* response,
                                                       const plat::URLRequest& request) {
    const auto accept = request.value("Accept");
    if (!accept)
        return true;
    const auto contentType = headerForResponse(response, "Content-Type");
    if (!contentType)
        return false;
    const auto got = ZUVMediaType::parse(*contentType);
    const auto wanted = ZUVMediaType::parse(*accept);
    if (!got)
        return false;
    if (wanted) {
        if (got->type != wanted->type || got->subtype != wanted->subtype)
            return false;
    } else if (!equalsIgnoringCase(got->type + "/" + got->subtype, trimOWS(*accept))) {
        return false;
    }
    const auto acceptCharset = request.value("Accept-Charset");
    const auto charset = got->parameter("charset");
    if (acceptCharset && charset && !equalsIgnoringCase(*charset, trimOWS(*acceptCharset)))
        return false;
    return true;
}

int64_t ZUVNetworkResponseHandler::cancelReasonFromURLError(const plat::Error& error) {
    if (!error.is(plat::NSURLErrorDomain, -999))
        return -1;
    const plat::Value* reason = error.userInfoValue(kBackgroundTaskCancelledReasonKey);
    return reason && reason->isNumber() ? reason->integerValue() : -1;
}

plat::Error ZUVNetworkResponseHandler::errorForResponse(const plat::HTTPURLResponse* response, int type, int status,
                                                        int64_t code) {
    plat::Dictionary info{{"type", plat::Value(int64_t{type})},
                          {"status_code", plat::Value(int64_t{status})},
                          {"request_id", plat::Value(requestIdForResponse(response))},
                          {"content_type", plat::Value(headerForResponse(response, "Content-Type").value_or(""))}};
    return errorForCode(code, std::move(info));
}

plat::Error ZUVNetworkResponseHandler::errorForCode(int64_t code, plat::Dictionary userInfo) {
    return plat::Error(kErrorDomain, code, std::move(userInfo));
}
