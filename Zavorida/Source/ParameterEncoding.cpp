#include "Zavorida/Source/ParameterEncoding.hpp"

#include <algorithm>
#include <array>

#include "Zavorida/Source/ZVError.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/foundation/PropertyList.hpp"
#include "platform/foundation/String.hpp"
#include "platform/net/URLComponents.hpp"

namespace Zavorida {

namespace {

constexpr const char* kContentType = "Content-Type";

// The platform's query-allowed characters without the general delimiters ":#[]@" and the sub-delimiters
// "!$&'()*+,;=", as a byte table: escaping runs over every parameter of every request.
const std::array<bool, 256>& allowedBytes() {
    static const std::array<bool, 256> table = [] {
        std::array<bool, 256> allowed{};
        const plat::CharacterSet query = plat::CharacterSet::urlQueryAllowed();
        const std::string_view delimiters = ":#[]@!$&'()*+,;=";
        for (char32_t c = 0; c < 128; ++c) {
            allowed[c] = query.contains(c) && delimiters.find(static_cast<char>(c)) == std::string_view::npos;
        }
        return allowed;
    }();
    return table;
}

// Escapes `text` onto the end of `out`: runs of bytes that stay as they are go in one copy each. What the
// platform cannot escape (bytes that are not UTF-8) stays as it is.
void appendPercentEscaped(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    if (!plat::String::isValidUTF8(text)) {
        out += text;
        return;
    }
    const std::array<bool, 256>& allowed = allowedBytes();
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (allowed[byte]) {
            continue;
        }
        out.append(text.data() + run, i - run);
        const char escaped[3] = {'%', kHex[byte >> 4], kHex[byte & 0xF]};
        out.append(escaped, 3);
        run = i + 1;
    }
    out.append(text.data() + run, text.size() - run);
}

void setBody(plat::URLRequest& request, const std::string& contentType, std::vector<std::uint8_t> body) {
    if (!request.value(kContentType)) {
        request.setValue(contentType, kContentType);
    }
    request.setHTTPBody(std::move(body));
}

// The URL of the components with the query in place of theirs. The existing query is kept as the URL
// holds it, brackets included ("a[]=1"), which the components' own query setter would refuse; the
// parameters are escaped already. Parameters are never dropped: a URL that cannot be formed is an error.
plat::URL withQuery(plat::URLComponents components, const std::string& query) {
    const std::optional<std::string> fragment = components.percentEncodedFragment();
    components.setPercentEncodedQuery(std::nullopt);
    components.setPercentEncodedFragment(std::nullopt);
    std::string text = components.string() + "?" + query;
    if (fragment) {
        text += "#" + *fragment;
    }
    auto url = plat::URL::parse(text);
    if (!url) {
        throw ZVError::invalidURL(URLConvertible(text));
    }
    return std::move(*url);
}

} // namespace

// URL encoding

std::string URLEncoding::percentEscape(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size() + text.size() / 2);
    appendPercentEscaped(escaped, text);
    return escaped;
}

template <class Emit>
void URLEncoding::flatten(const std::string& key, const plat::Value& value, Emit&& emit) const {
    if (const auto* dictionary = value.ifDictionary()) {
        for (const auto& [nestedKey, nestedValue] : *dictionary) {
            flatten(key + "[" + nestedKey + "]", nestedValue, emit);
        }
    } else if (const auto* array = value.ifArray()) {
        const std::string elementKey = arrayEncoding_ == ArrayEncoding::brackets ? key + "[]" : key;
        for (const auto& element : *array) {
            flatten(elementKey, element, emit);
        }
    } else if (value.isBool()) {
        const bool b = value.asBool();
        emit(key, boolEncoding_ == BoolEncoding::numeric ? (b ? "1" : "0") : (b ? "true" : "false"));
    } else if (const std::string* text = value.ifString()) {
        emit(key, *text);
    } else {
        // Numbers render as the platform's number objects do; anything else by its description.
        emit(key, value.stringValue());
    }
}

std::vector<std::pair<std::string, std::string>>
URLEncoding::flattenParameter(const std::string& key, const plat::Value& value) const {
    std::vector<std::pair<std::string, std::string>> pairs;
    flatten(key, value, [&pairs](const std::string& leafKey, std::string_view text) {
        pairs.emplace_back(percentEscape(leafKey), percentEscape(text));
    });
    return pairs;
}

std::string URLEncoding::makeQueryString(const ParameterDictionary& parameters) const {
    std::vector<const ParameterDictionary::Entry*> entries;
    entries.reserve(parameters.size());
    for (const auto& entry : parameters) {
        entries.push_back(&entry);
    }
    // std::string compares bytes as unsigned, which for UTF-8 is the order of Unicode scalar values.
    std::sort(entries.begin(), entries.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });

    // Escaped straight into the query: no string per pair, and the query grows from a fair first guess.
    std::string query;
    query.reserve(entries.size() * 32);
    for (const auto* entry : entries) {
        flatten(entry->first, entry->second, [&query](const std::string& leafKey, std::string_view text) {
            if (!query.empty()) {
                query += '&';
            }
            appendPercentEscaped(query, leafKey);
            query += '=';
            appendPercentEscaped(query, text);
        });
    }
    return query;
}

plat::URLRequest URLEncoding::encodeParameters(const URLRequestConvertible& convertible,
                                               const std::optional<ParameterDictionary>& parameters) const {
    plat::URLRequest request = convertible.makeURLRequest();
    if (!parameters) {
        return request;
    }
    // An unknown token, "get" in lower case included, is not a method and sends the parameters to the body.
    const std::optional<HTTPMethod> method = HTTPMethod::fromRawValue(request.httpMethod());
    bool intoURL = false;
    if (method) {
        if (destination_ == Destination::queryString) {
            intoURL = true;
        } else if (destination_ == Destination::methodDependent) {
            intoURL =
                *method == HTTPMethod::get || *method == HTTPMethod::head || *method == HTTPMethod::delete_;
        }
    }

    if (intoURL) {
        if (!request.url()) {
            throw ZVError::parameterEncodingFailed(ZVError::ParameterEncodingFailureReason::missingURL());
        }
        std::optional<plat::URLComponents> components = plat::URLComponents::make(*request.url());
        if (!components || parameters->empty()) {
            return request;
        }
        std::string query;
        if (const auto& existing = components->percentEncodedQuery()) {
            query = *existing + "&";
        }
        query += makeQueryString(*parameters);
        request.setURL(withQuery(*components, query));
        return request;
    }

    const std::string body = makeQueryString(*parameters);
    setBody(request, "application/x-www-form-urlencoded; charset=utf-8",
            std::vector<std::uint8_t>(body.begin(), body.end()));
    return request;
}

// JSON encoding

plat::URLRequest JSONEncoding::encodeParameters(const URLRequestConvertible& request,
                                                const std::optional<ParameterDictionary>& parameters) const {
    return encodeJSONObject(request,
                            parameters ? std::optional<plat::Value>(plat::Value(*parameters)) : std::nullopt);
}

plat::URLRequest JSONEncoding::encodeJSONObject(const URLRequestConvertible& convertible,
                                                const std::optional<plat::Value>& jsonObject) const {
    plat::URLRequest request = convertible.makeURLRequest();
    if (!jsonObject) {
        return request;
    }
    auto data = plat::JSONSerialization::data(*jsonObject, options_);
    if (!data) {
        throw ZVError::parameterEncodingFailed(
            ZVError::ParameterEncodingFailureReason::jsonEncodingFailed(data.error()));
    }
    setBody(request, "application/json", std::move(*data));
    return request;
}

// Property-list encoding

plat::URLRequest
PropertyListEncoding::encodeParameters(const URLRequestConvertible& convertible,
                                       const std::optional<ParameterDictionary>& parameters) const {
    plat::URLRequest request = convertible.makeURLRequest();
    if (!parameters) {
        return request;
    }
    auto data = plat::PropertyListSerialization::data(plat::Value(*parameters), format_,
                                                      static_cast<unsigned>(options_));
    if (!data) {
        throw ZVError::parameterEncodingFailed(
            ZVError::ParameterEncodingFailureReason::propertyListEncodingFailed(data.error()));
    }
    setBody(request, "application/x-plist", std::move(*data));
    return request;
}

} // namespace Zavorida
