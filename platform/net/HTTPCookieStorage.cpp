#include "platform/net/HTTPCookieStorage.hpp"

#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace plat {
namespace {

bool refusedDomain(const HTTPCookie& cookie) {
    return !cookie.isHostOnly() && cookie_rules::isPublicSuffix(std::string_view(cookie.domain()).substr(1));
}

std::string cookieSite(const HTTPCookie& cookie) {
    const std::string_view domain =
        cookie.isHostOnly() ? std::string_view(cookie.domain()) : std::string_view(cookie.domain()).substr(1);
    return cookie_rules::registrableDomain(domain);
}

std::optional<HTTPCookie> fromJSON(const nlohmann::json& j) {
    if (!j.is_object()) {
        return std::nullopt;
    }
    try {
        HTTPCookie::Properties p;
        p.name = j.at("name").get<std::string>();
        p.value = j.value("value", "");
        p.domain = j.at("domain").get<std::string>();
        p.path = j.value("path", "/");
        p.expiresDate = j.at("expires").get<double>();
        p.secure = j.value("secure", false);
        p.httpOnly = j.value("httpOnly", false);
        if (j.contains("sameSite")) {
            p.sameSitePolicy = j.at("sameSite").get<std::string>();
        }
        auto cookie = HTTPCookie::make(p);
        if (cookie) {
            cookie->setCreationTime(j.value("created", 0.0));
        }
        return cookie;
    } catch (const nlohmann::json::exception&) {
        // An entry of the wrong shape is dropped; the others still load.
        return std::nullopt;
    }
}

nlohmann::json toJSON(const HTTPCookie& c) {
    nlohmann::json j = {{"name", c.name()},           {"value", c.value()},          {"domain", c.domain()},
                        {"path", c.path()},           {"expires", *c.expiresDate()}, {"secure", c.isSecure()},
                        {"httpOnly", c.isHTTPOnly()}, {"created", c.creationTime()}};
    if (c.sameSitePolicy()) {
        j["sameSite"] = *c.sameSitePolicy();
    }
    return j;
}

} // namespace

HTTPCookieStorage& HTTPCookieStorage::shared() {
    return *sharedPointer();
}

std::shared_ptr<HTTPCookieStorage> HTTPCookieStorage::sharedPointer() {
    static NeverDestroyed<std::shared_ptr<HTTPCookieStorage>> jar(
        std::shared_ptr<HTTPCookieStorage>(new HTTPCookieStorage(AppHome::cookies() + "/shared.cookies")));
    return *jar;
}

HTTPCookieStorage::HTTPCookieStorage() = default;

HTTPCookieStorage::HTTPCookieStorage(std::string persistencePath)
    : persistencePath_(std::move(persistencePath)) {
    load();
}

void HTTPCookieStorage::load() {
    const auto data = readData(*persistencePath_);
    if (!data) {
        return;
    }
    // A damaged file loses its cookies, never the app.
    const auto parsed = nlohmann::json::parse(data->begin(), data->end(), nullptr, false);
    if (!parsed.is_object() || !parsed.contains("cookies") || !parsed["cookies"].is_array()) {
        return;
    }
    const double now = Clock::now();
    for (const auto& item : parsed["cookies"]) {
        auto cookie = fromJSON(item);
        if (cookie && !cookie->isExpired(now) && !refusedDomain(*cookie)) {
            cookies_.push_back(std::move(*cookie));
        }
    }
}

void HTTPCookieStorage::saveLocked() const {
    if (!persistencePath_) {
        return;
    }
    nlohmann::json list = nlohmann::json::array();
    for (const auto& c : cookies_) {
        if (!c.isSessionOnly()) {
            list.push_back(toJSON(c));
        }
    }
    const std::string text = nlohmann::json{{"version", 1}, {"cookies", std::move(list)}}.dump();
    const auto folder = persistencePath_->substr(0, persistencePath_->rfind('/'));
    (void)FileManager::defaultManager().createDirectory(folder, true);
    // The jar on disk is only a cache of what the servers set; a failed write keeps the cookies in memory.
    (void)writeData(*persistencePath_,
                    std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
                    WriteOptions().setAtomic().setPermissions(0600));
}

void HTTPCookieStorage::dropExpiredLocked(double now, bool& persistentChanged) {
    const auto removed = std::remove_if(cookies_.begin(), cookies_.end(), [&](const HTTPCookie& c) {
        if (c.isExpired(now)) {
            persistentChanged = persistentChanged || !c.isSessionOnly();
            return true;
        }
        return false;
    });
    cookies_.erase(removed, cookies_.end());
}

void HTTPCookieStorage::storeLocked(const HTTPCookie& cookie, bool& persistentChanged) {
    if (refusedDomain(cookie)) {
        return;
    }
    const double now = Clock::now();
    auto existing = std::find_if(cookies_.begin(), cookies_.end(),
                                 [&](const HTTPCookie& c) { return c.sameIdentity(cookie); });
    if (cookie.isExpired(now)) {
        if (existing != cookies_.end()) {
            persistentChanged = persistentChanged || !existing->isSessionOnly();
            cookies_.erase(existing);
        }
        return;
    }
    if (existing != cookies_.end()) {
        persistentChanged = persistentChanged || !existing->isSessionOnly() || !cookie.isSessionOnly();
        const double created = existing->creationTime();
        *existing = cookie;
        existing->setCreationTime(created);
    } else {
        persistentChanged = persistentChanged || !cookie.isSessionOnly();
        cookies_.push_back(cookie);
    }
}

std::vector<HTTPCookie> HTTPCookieStorage::cookies() const {
    std::lock_guard lock(mutex_);
    const double now = Clock::now();
    std::vector<HTTPCookie> out;
    for (const auto& c : cookies_) {
        if (!c.isExpired(now)) {
            out.push_back(c);
        }
    }
    return out;
}

std::vector<HTTPCookie> HTTPCookieStorage::cookies(const URL& url) const {
    std::vector<HTTPCookie> out;
    {
        std::lock_guard lock(mutex_);
        const double now = Clock::now();
        for (const auto& c : cookies_) {
            if (!c.isExpired(now) && c.matches(url)) {
                out.push_back(c);
            }
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const HTTPCookie& a, const HTTPCookie& b) {
        if (a.path().size() != b.path().size()) {
            return a.path().size() > b.path().size();
        }
        return a.creationTime() < b.creationTime();
    });
    return out;
}

void HTTPCookieStorage::setCookie(const HTTPCookie& cookie) {
    setCookies({cookie}, std::nullopt, std::nullopt);
}

void HTTPCookieStorage::setCookies(const std::vector<HTTPCookie>& cookies, const std::optional<URL>&,
                                   const std::optional<URL>& mainDocumentURL) {
    std::lock_guard lock(mutex_);
    if (policy_ == HTTPCookieAcceptPolicy::never) {
        return;
    }
    std::optional<std::string> mainSite;
    if (policy_ == HTTPCookieAcceptPolicy::onlyFromMainDocumentDomain && mainDocumentURL) {
        mainSite = cookie_rules::registrableDomain(cookie_rules::canonicalHost(*mainDocumentURL));
    }
    bool persistentChanged = false;
    dropExpiredLocked(Clock::now(), persistentChanged);
    for (const auto& cookie : cookies) {
        if (mainSite && cookieSite(cookie) != *mainSite) {
            continue;
        }
        storeLocked(cookie, persistentChanged);
    }
    if (persistentChanged) {
        saveLocked();
    }
}

void HTTPCookieStorage::deleteCookie(const HTTPCookie& cookie) {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(cookies_.begin(), cookies_.end(),
                                 [&](const HTTPCookie& c) { return c.sameIdentity(cookie); });
    if (it == cookies_.end()) {
        return;
    }
    const bool persistent = !it->isSessionOnly();
    cookies_.erase(it);
    if (persistent) {
        saveLocked();
    }
}

HTTPCookieAcceptPolicy HTTPCookieStorage::cookieAcceptPolicy() const {
    std::lock_guard lock(mutex_);
    return policy_;
}

void HTTPCookieStorage::setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy) {
    std::lock_guard lock(mutex_);
    policy_ = policy;
}

} // namespace plat
