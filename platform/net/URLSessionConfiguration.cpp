#include "platform/net/URLSessionConfiguration.hpp"

#include "platform/net/URLSessionSupport.hpp"

namespace plat {

URLSessionConfiguration URLSessionConfiguration::defaultConfiguration() {
    URLSessionConfiguration c;
    c.httpCookieStorage = session_support::sharedCookieStorage();
    c.urlCredentialStorage = URLCredentialStorage::shared();
    return c;
}

URLSessionConfiguration URLSessionConfiguration::ephemeral() {
    URLSessionConfiguration c;
    c.ephemeral_ = true;
    c.httpCookieStorage = session_support::makePrivateCookieStorage();
    c.urlCredentialStorage = std::make_shared<URLCredentialStorage>();
    return c;
}

URLSessionConfiguration URLSessionConfiguration::background(std::string identifier) {
    URLSessionConfiguration c = defaultConfiguration();
    c.identifier_ = std::move(identifier);
    return c;
}

} // namespace plat
