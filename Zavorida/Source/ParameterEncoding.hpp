#pragma once
// Puts a request's parameters into a URL request: a percent-encoded query or form body (URLEncoding),
// a JSON body (JSONEncoding) or a property-list body (PropertyListEncoding). Failures throw ZVError;
// a Content-Type the request already has is never replaced.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Zavorida/Source/RequestBuilding.hpp"
#include "Zavorida/Source/URLConvertible.hpp"
#include "platform/foundation/PropertyList.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/net/URLRequest.hpp"

namespace Zavorida {

class ParameterEncoding {
public:
    virtual ~ParameterEncoding() = default;
    // Absent parameters return the converted request unchanged.
    virtual plat::URLRequest encodeParameters(const URLRequestConvertible& request,
                                              const std::optional<ParameterDictionary>& parameters) const = 0;
};

class URLEncoding final : public ParameterEncoding {
public:
    enum class Destination { methodDependent, queryString, httpBody };
    enum class ArrayEncoding { brackets, noBrackets };
    enum class BoolEncoding { numeric, literal };

    explicit URLEncoding(Destination destination = Destination::methodDependent,
                         ArrayEncoding arrayEncoding = ArrayEncoding::brackets,
                         BoolEncoding boolEncoding = BoolEncoding::numeric)
        : destination_(destination), arrayEncoding_(arrayEncoding), boolEncoding_(boolEncoding) {}

    static URLEncoding defaultEncoding() { return URLEncoding(); }
    static URLEncoding queryStringEncoding() { return URLEncoding(Destination::queryString); }
    static URLEncoding httpBodyEncoding() { return URLEncoding(Destination::httpBody); }

    Destination destination() const { return destination_; }
    ArrayEncoding arrayEncoding() const { return arrayEncoding_; }
    BoolEncoding boolEncoding() const { return boolEncoding_; }

    plat::URLRequest encodeParameters(const URLRequestConvertible& request,
                                      const std::optional<ParameterDictionary>& parameters) const override;

    // Keys sorted, pairs joined with "&", no leading "?".
    std::string makeQueryString(const ParameterDictionary& parameters) const;
    // The escaped key/value pairs of one parameter; nested keys are escaped only at the leaves.
    std::vector<std::pair<std::string, std::string>> flattenParameter(const std::string& key,
                                                                      const plat::Value& value) const;
    // Everything but letters, digits and "-._~/?" becomes %XX per UTF-8 byte; a space is %20.
    static std::string percentEscape(std::string_view text);

private:
    // Calls `emit(key, text)` with each leaf's key and text, both not escaped yet.
    template <class Emit> void flatten(const std::string& key, const plat::Value& value, Emit&& emit) const;

    Destination destination_;
    ArrayEncoding arrayEncoding_;
    BoolEncoding boolEncoding_;
};

class JSONEncoding final : public ParameterEncoding {
public:
    static constexpr unsigned prettyPrinted = 1;

    explicit JSONEncoding(unsigned options = 0) : options_(options) {}
    static JSONEncoding emptyWritingOptions() { return JSONEncoding(0); }
    static JSONEncoding prettyPrintedEncoding() { return JSONEncoding(prettyPrinted); }

    unsigned options() const { return options_; }

    plat::URLRequest encodeParameters(const URLRequestConvertible& request,
                                      const std::optional<ParameterDictionary>& parameters) const override;
    // For a body that is not a dictionary (a list, say).
    plat::URLRequest encodeJSONObject(const URLRequestConvertible& request,
                                      const std::optional<plat::Value>& jsonObject) const;

private:
    unsigned options_;
};

class PropertyListEncoding final : public ParameterEncoding {
public:
    using Format = plat::PropertyListSerialization::Format;

    explicit PropertyListEncoding(Format format = Format::XML, std::int64_t options = 0)
        : format_(format), options_(options) {}
    static PropertyListEncoding defaultEncoding() { return PropertyListEncoding(); }
    static PropertyListEncoding xmlEncoding() { return PropertyListEncoding(Format::XML); }
    static PropertyListEncoding binaryEncoding() { return PropertyListEncoding(Format::Binary); }

    Format format() const { return format_; }
    std::int64_t options() const { return options_; }

    plat::URLRequest encodeParameters(const URLRequestConvertible& request,
                                      const std::optional<ParameterDictionary>& parameters) const override;

private:
    Format format_;
    std::int64_t options_;
};

} // namespace Zavorida
