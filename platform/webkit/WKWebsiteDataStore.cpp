#include "platform/webkit/WKWebsiteDataStore.hpp"

#include <cstdio>
#include <string>

#include "platform/device/DeviceProfile.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/webkit/WebKitClasses.hpp"

namespace plat {

void WKHTTPCookieStore::getAllCookies(std::function<void(std::vector<HTTPCookie>)> completion) const {
    if (!completion) {
        return;
    }
    // The answer reflects the jar when the answer runs, as the store answers after pending writes.
    DispatchQueue::main()->async(
        [storage = storage_, completion = std::move(completion)] { completion(storage->cookies()); });
}

void WKHTTPCookieStore::setCookie(const HTTPCookie& cookie, std::function<void()> completion) {
    storage_->setCookie(cookie);
    if (completion) {
        DispatchQueue::main()->async(std::move(completion));
    }
}

void WKHTTPCookieStore::deleteCookie(const HTTPCookie& cookie, std::function<void()> completion) {
    storage_->deleteCookie(cookie);
    if (completion) {
        DispatchQueue::main()->async(std::move(completion));
    }
}

WKHTTPCookieStore& WKWebsiteDataStore::httpCookieStore() {
    if (!DeviceProfile::hasHTTPCookieStore()) {
        char address[32];
        std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
        Exception::raise(NSInvalidArgumentException,
                         std::string("-[WKWebsiteDataStore httpCookieStore]: unrecognized selector sent to "
                                     "instance ") +
                             address);
    }
    return cookieStore_;
}

std::shared_ptr<WKWebsiteDataStore> WKWebsiteDataStore::defaultDataStore() {
    (void)webkitClasses(); // the store's classes exist once the framework is in use
    static NeverDestroyed<std::shared_ptr<WKWebsiteDataStore>> store(std::make_shared<WKWebsiteDataStore>(
        std::make_shared<HTTPCookieStorage>(AppHome::cookies() + "/web.cookies"), true));
    return *store;
}

std::shared_ptr<WKWebsiteDataStore> WKWebsiteDataStore::nonPersistentDataStore() {
    return std::make_shared<WKWebsiteDataStore>(std::make_shared<HTTPCookieStorage>(), false);
}

} // namespace plat
