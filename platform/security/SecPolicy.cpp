#include "platform/security/SecPolicy.hpp"

namespace plat {

std::shared_ptr<SecPolicy> SecPolicy::ssl(bool server, std::optional<std::string> host) {
    return std::shared_ptr<SecPolicy>(new SecPolicy(Kind::ssl, server, std::move(host), 0));
}

std::shared_ptr<SecPolicy> SecPolicy::basicX509() {
    return std::shared_ptr<SecPolicy>(new SecPolicy(Kind::basicX509, false, std::nullopt, 0));
}

std::shared_ptr<SecPolicy> SecPolicy::revocation(std::uint32_t flags) {
    return std::shared_ptr<SecPolicy>(new SecPolicy(Kind::revocation, false, std::nullopt, flags));
}

} // namespace plat
