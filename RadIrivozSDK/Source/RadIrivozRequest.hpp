#pragma once
// One call to the push service's REST interface: method, path below "api/v1/" and the JSON parameters,
// turned into a URL request with a JSON body (POST, PUT) or a query string (GET, DELETE).

#include "platform/foundation/Value.hpp"
#include "platform/net/URLRequest.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Method codes: the index into the method-name table.
inline constexpr int32_t HTTPMethodGET = 0;
inline constexpr int32_t HTTPMethodPOST = 1;
inline constexpr int32_t HTTPMethodHEAD = 2;
inline constexpr int32_t HTTPMethodPUT = 3;
inline constexpr int32_t HTTPMethodDELETE = 4;
inline constexpr int32_t HTTPMethodOPTIONS = 5;
inline constexpr int32_t HTTPMethodCONNECT = 6;
inline constexpr int32_t HTTPMethodTRACE = 7;

class RadIrivozRequest {
public:
    RadIrivozRequest() = default;
    virtual ~RadIrivozRequest() = default;

    // The concrete class's name, as the log lines and errors show it.
    virtual std::string className() const { return "RadIrivozRequest"; }

    int32_t method() const { return method_; }
    void setMethod(int32_t method) { method_ = method; }
    const std::string& path() const { return path_; }
    void setPath(std::string path) { path_ = std::move(path); }
    const std::optional<plat::Dictionary>& parameters() const { return parameters_; }
    void setParameters(std::optional<plat::Dictionary> parameters) { parameters_ = std::move(parameters); }
    bool disableLocalCaching() const { return disableLocalCaching_; }
    void setDisableLocalCaching(bool value) { disableLocalCaching_ = value; }
    int32_t reattemptCount() const { return reattemptCount_; }
    void setReattemptCount(int32_t count) { reattemptCount_ = count; }

    // Built afresh on every call. A path that does not make a URL gives a request without one.
    plat::URLRequest urlRequest() const;

    // True when "app_id" is absent, not a string or empty (JSON null included).
    virtual bool missingAppId() const;
    // True when an identifier that the path is made of was empty: such a request would address the
    // collection instead of the one record, so it is never sent.
    bool hasEmptyPathIdentifier() const { return emptyPathIdentifier_; }

    void attachBodyToRequest(plat::URLRequest& request, const std::optional<plat::Dictionary>& parameters) const;
    void attachQueryParametersToRequest(plat::URLRequest& request,
                                        const std::optional<plat::Dictionary>& parameters) const;
    // "key=value&..." in the dictionary's order, each key and value percent-encoded on its own so that
    // '&', '=' and '?' inside them cannot change the query's shape. Empty for an empty dictionary.
    static std::string queryStringForParameters(const plat::Dictionary& parameters);

    // One path segment: every byte outside the unreserved characters percent-encoded, so an identifier
    // holding '/', '?' or '&' stays one segment. Marks the request when the identifier is empty.
    std::string pathSegment(std::string_view identifier);

private:
    int32_t method_ = HTTPMethodGET;
    std::string path_;
    std::optional<plat::Dictionary> parameters_;
    bool disableLocalCaching_ = false;
    int32_t reattemptCount_ = 0;
    bool emptyPathIdentifier_ = false;
};

// The name of a method code ("GET" ... "TRACE"); empty for a code outside the table.
std::string_view radIrivozMethodName(int32_t method);
