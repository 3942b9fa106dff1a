#pragma once
// The base of the kit host's request operations: an asynchronous operation that carries the API key and
// builds requests with the headers and time-out every kit host request has.

#include "kit_host/ZUVAsyncOperation.hpp"

#include "platform/net/URLRequest.hpp"

#include <memory>
#include <optional>
#include <string>

class ZUVNetworkOperation : public ZUVAsyncOperation {
public:
    static constexpr double kDefaultTimeout = 10;

    // None without a key.
    static std::shared_ptr<ZUVNetworkOperation> initWithAPIKey(std::optional<std::string> APIKey);
    explicit ZUVNetworkOperation(std::string APIKey, std::string className = "ZUVNetworkOperation")
        : ZUVAsyncOperation(std::move(className)), APIKey_(std::move(APIKey)) {}

    const std::string& APIKey() const { return APIKey_; }

    // The default request with the default time-out; subclasses add their own headers.
    virtual plat::URLRequest mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(const plat::URL& url) const;
    // Reload ignoring the local cache, the time-out, and the nine common headers in their fixed order.
    plat::URLRequest mutableRequestWithDefaultHTTPHeadersForURL(const plat::URL& url, double timeout) const;

    // "ro.darazo.rev.ara/1.8.0 (71)".
    static std::string userAgentString();
    static std::string localeIdentifier();

private:
    const std::string APIKey_;
};
