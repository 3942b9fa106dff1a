#pragma once
// What a trust evaluation checks: an SSL server (or client) with an optional host name, basic X.509
// path validation, or revocation with the device's method flags.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace plat {

inline constexpr std::uint32_t kSecRevocationOCSPMethod = 1;
inline constexpr std::uint32_t kSecRevocationCRLMethod = 2;
inline constexpr std::uint32_t kSecRevocationPreferCRL = 4;
inline constexpr std::uint32_t kSecRevocationRequirePositiveResponse = 8;
inline constexpr std::uint32_t kSecRevocationNetworkAccessDisabled = 16;
inline constexpr std::uint32_t kSecRevocationUseAnyAvailableMethod = 3;

class SecPolicy {
public:
    enum class Kind { ssl, basicX509, revocation };

    static std::shared_ptr<SecPolicy> ssl(bool server, std::optional<std::string> host);
    static std::shared_ptr<SecPolicy> basicX509();
    static std::shared_ptr<SecPolicy> revocation(std::uint32_t flags);

    Kind kind() const { return kind_; }
    bool isServer() const { return server_; }
    const std::optional<std::string>& host() const { return host_; }
    std::uint32_t revocationFlags() const { return flags_; }

private:
    SecPolicy(Kind kind, bool server, std::optional<std::string> host, std::uint32_t flags)
        : kind_(kind), server_(server), host_(std::move(host)), flags_(flags) {}
    Kind kind_;
    bool server_ = true;
    std::optional<std::string> host_;
    std::uint32_t flags_ = 0;
};

} // namespace plat
