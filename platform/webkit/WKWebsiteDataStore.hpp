#pragma once
// The web views' own data store and cookie store. The default store keeps its cookies apart from
// HTTPCookieStorage::shared(): page Set-Cookies land here, and non-session cookies persist in
// <home>/Library/Cookies/web.cookies (0600). Copying between the two jars is the app's job. The cookie
// store's class ("WKHTTPCookieStore") and the data store's way to it exist only on OS 11 and later.

#include <functional>
#include <memory>
#include <vector>

#include "platform/net/HTTPCookie.hpp"
#include "platform/net/HTTPCookieStorage.hpp"

namespace plat {

class WKHTTPCookieStore {
public:
    explicit WKHTTPCookieStore(std::shared_ptr<HTTPCookieStorage> storage) : storage_(std::move(storage)) {}

    // Every cookie, answered later on the main queue.
    void getAllCookies(std::function<void(std::vector<HTTPCookie>)> completion) const;
    // The completion (may be empty) runs on the main queue once the cookie is stored or deleted.
    void setCookie(const HTTPCookie& cookie, std::function<void()> completion = {});
    void deleteCookie(const HTTPCookie& cookie, std::function<void()> completion = {});

    // The jar the web views' page loads read and fill.
    const std::shared_ptr<HTTPCookieStorage>& storage() const { return storage_; }

private:
    std::shared_ptr<HTTPCookieStorage> storage_;
};

class WKWebsiteDataStore {
public:
    // The persistent store of the app, made on first use; it lives until the process ends.
    static std::shared_ptr<WKWebsiteDataStore> defaultDataStore();
    // A store that keeps everything in memory.
    static std::shared_ptr<WKWebsiteDataStore> nonPersistentDataStore();

    bool isPersistent() const { return persistent_; }
    // The cookie store exists from OS 11 on. Below, the device has no such method, so the call raises
    // NSInvalidArgumentException ("unrecognized selector"), as it would there; callers check the OS first.
    WKHTTPCookieStore& httpCookieStore();
    // The jar behind the cookie store, at every OS version: the web views' page loads read and fill it.
    const std::shared_ptr<HTTPCookieStorage>& cookieStorage() const { return cookieStore_.storage(); }

    WKWebsiteDataStore(std::shared_ptr<HTTPCookieStorage> storage, bool persistent)
        : cookieStore_(std::move(storage)), persistent_(persistent) {}

private:
    WKHTTPCookieStore cookieStore_;
    bool persistent_;
};

} // namespace plat
