#pragma once
// The cookie jar: stores cookies by name, domain and path, hands out the ones a URL may receive,
// and keeps the shared jar's persistent cookies in the app home. Thread-safe.

#include "platform/net/HTTPCookie.hpp"
#include "platform/net/URL.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace plat {

enum class HTTPCookieAcceptPolicy : unsigned {
    always = 0,
    never = 1,
    onlyFromMainDocumentDomain = 2,
};

class HTTPCookieStorage {
public:
    // The app's jar. Cookies with an expiry date live in <home>/Library/Cookies/shared.cookies (0600),
    // read on first use; session cookies stay in memory.
    static HTTPCookieStorage& shared();
    // The same jar for holders of a shared_ptr (session configurations); never destroyed.
    static std::shared_ptr<HTTPCookieStorage> sharedPointer();

    // A private jar kept in memory only (ephemeral sessions, tests).
    HTTPCookieStorage();
    // A jar whose cookies with an expiry date are kept in `persistencePath` (read here, 0600).
    explicit HTTPCookieStorage(std::string persistencePath);
    HTTPCookieStorage(const HTTPCookieStorage&) = delete;
    HTTPCookieStorage& operator=(const HTTPCookieStorage&) = delete;

    // Every unexpired cookie, in the order stored.
    std::vector<HTTPCookie> cookies() const;
    // The unexpired cookies the URL may receive: longer paths first, then older ones first.
    std::vector<HTTPCookie> cookies(const URL& url) const;

    // Stores, replaces (keeping the first creation time) or, for an expired cookie, deletes. Honours
    // the accept policy with no main document. Domain cookies for a public suffix are refused.
    void setCookie(const HTTPCookie& cookie);
    // As setCookie for each, with onlyFromMainDocumentDomain accepting only cookies whose domain lies
    // in the main document's site (no main document: accepted).
    void setCookies(const std::vector<HTTPCookie>& cookies, const std::optional<URL>& url,
                    const std::optional<URL>& mainDocumentURL);
    void deleteCookie(const HTTPCookie& cookie);

    HTTPCookieAcceptPolicy cookieAcceptPolicy() const;
    void setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy);

private:
    void storeLocked(const HTTPCookie& cookie, bool& persistentChanged);
    void load();
    void saveLocked() const;
    void dropExpiredLocked(double now, bool& persistentChanged);

    mutable std::mutex mutex_;
    std::vector<HTTPCookie> cookies_;
    HTTPCookieAcceptPolicy policy_ = HTTPCookieAcceptPolicy::always;
    std::optional<std::string> persistencePath_;
};

} // namespace plat
