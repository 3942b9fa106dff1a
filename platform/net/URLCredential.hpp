#pragma once
// Credentials, protection spaces and authentication challenges: what a server asks for on a TLS handshake
// or a 401/407 response, and what the app answers with.

#include "platform/foundation/Error.hpp"
#include "platform/net/HTTPURLResponse.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace plat {

class SecTrust;

inline constexpr const char* NSURLAuthenticationMethodDefault = "NSURLAuthenticationMethodDefault";
inline constexpr const char* NSURLAuthenticationMethodHTTPBasic = "NSURLAuthenticationMethodHTTPBasic";
inline constexpr const char* NSURLAuthenticationMethodHTTPDigest = "NSURLAuthenticationMethodHTTPDigest";
inline constexpr const char* NSURLAuthenticationMethodServerTrust = "NSURLAuthenticationMethodServerTrust";

inline constexpr const char* NSURLProtectionSpaceHTTP = "http";
inline constexpr const char* NSURLProtectionSpaceHTTPS = "https";
// The proxy types of a space that stands for a proxy rather than the server.
inline constexpr const char* NSURLProtectionSpaceHTTPProxy = "http";
inline constexpr const char* NSURLProtectionSpaceHTTPSProxy = "https";

enum class URLCredentialPersistence : int { none = 0, forSession = 1, permanent = 2, synchronizable = 3 };

class URLCredential {
public:
    URLCredential(std::string user, std::string password, URLCredentialPersistence persistence)
        : user_(std::move(user)), password_(std::move(password)), persistence_(persistence) {}
    // A credential that accepts a server's certificate chain.
    explicit URLCredential(std::shared_ptr<SecTrust> trust)
        : persistence_(URLCredentialPersistence::forSession), trust_(std::move(trust)) {}

    const std::optional<std::string>& user() const { return user_; }
    const std::optional<std::string>& password() const { return password_; }
    bool hasPassword() const { return password_.has_value(); }
    URLCredentialPersistence persistence() const { return persistence_; }
    const std::shared_ptr<SecTrust>& serverTrust() const { return trust_; }

    friend bool operator==(const URLCredential& a, const URLCredential& b) {
        return a.user_ == b.user_ && a.password_ == b.password_ && a.persistence_ == b.persistence_ &&
               a.trust_ == b.trust_;
    }

private:
    std::optional<std::string> user_;
    std::optional<std::string> password_;
    URLCredentialPersistence persistence_ = URLCredentialPersistence::none;
    std::shared_ptr<SecTrust> trust_;
};

struct URLProtectionSpace {
    std::string host;
    int port = 0;
    std::string protocol; // "http" or "https"; empty for a proxy
    std::optional<std::string> realm;
    std::string authenticationMethod = NSURLAuthenticationMethodDefault;
    std::shared_ptr<SecTrust> serverTrust; // server-trust spaces only
    std::optional<std::string> proxyType;  // set for a proxy's space: NSURLProtectionSpaceHTTP(S)Proxy

    bool isProxy() const { return proxyType.has_value(); }
    bool receivesCredentialSecurely() const {
        return protocol == NSURLProtectionSpaceHTTPS || proxyType == NSURLProtectionSpaceHTTPSProxy;
    }

    // Two spaces are the same place to keep a credential for; the trust object is not part of that.
    friend bool operator==(const URLProtectionSpace& a, const URLProtectionSpace& b) {
        return a.host == b.host && a.port == b.port && a.protocol == b.protocol && a.realm == b.realm &&
               a.authenticationMethod == b.authenticationMethod && a.proxyType == b.proxyType;
    }
};

struct URLAuthenticationChallenge {
    URLProtectionSpace protectionSpace;
    std::optional<URLCredential> proposedCredential;
    int64_t previousFailureCount = 0;
    std::shared_ptr<const HTTPURLResponse> failureResponse;
    std::optional<Error> error;
};

} // namespace plat
