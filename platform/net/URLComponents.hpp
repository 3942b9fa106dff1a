#pragma once
// A URL taken apart into editable components. Components are held percent-encoded; the plain
// getters and setters decode and encode, the percentEncoded ones take the text as it stands.

#include "platform/net/URL.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

struct URLQueryItem {
    std::string name;
    std::optional<std::string> value;
    friend bool operator==(const URLQueryItem&, const URLQueryItem&) = default;
};

class URLComponents {
public:
    URLComponents() = default;
    // The base of a relative URL is not kept by URL, so resolving has nothing to add.
    static std::optional<URLComponents> make(const URL& url, bool resolvingAgainstBaseURL = false);
    static std::optional<URLComponents> parse(std::string_view text);

    // The URL the components form; none when they form none (a path without a leading '/'
    // under a host, or a path starting with "//" without one).
    std::optional<URL> url() const;
    std::string string() const;

    const std::optional<std::string>& scheme() const { return scheme_; }
    // False (unchanged) for a scheme that is not ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ).
    bool setScheme(std::optional<std::string> scheme);

    std::optional<std::string> user() const;
    void setUser(std::optional<std::string_view> user);
    std::optional<std::string> password() const;
    void setPassword(std::optional<std::string_view> password);
    std::optional<std::string> host() const;
    void setHost(std::optional<std::string_view> host);
    const std::optional<int>& port() const { return port_; }
    // False (unchanged) for a negative port or one above 65535.
    bool setPort(std::optional<int> port);
    std::string path() const;
    void setPath(std::string_view path);
    std::optional<std::string> query() const;
    void setQuery(std::optional<std::string_view> query);
    std::optional<std::string> fragment() const;
    void setFragment(std::optional<std::string_view> fragment);

    const std::optional<std::string>& percentEncodedUser() const { return user_; }
    const std::optional<std::string>& percentEncodedPassword() const { return password_; }
    const std::optional<std::string>& percentEncodedHost() const { return host_; }
    const std::string& percentEncodedPath() const { return path_; }
    // "No query" (none) differs from the empty query ("?" with nothing after it).
    const std::optional<std::string>& percentEncodedQuery() const { return query_; }
    const std::optional<std::string>& percentEncodedFragment() const { return fragment_; }
    // These setters refuse text that is not validly percent-encoded for the component (false, unchanged).
    bool setPercentEncodedPath(std::string_view path);
    bool setPercentEncodedQuery(std::optional<std::string_view> query);
    bool setPercentEncodedFragment(std::optional<std::string_view> fragment);
    bool setPercentEncodedHost(std::optional<std::string_view> host);

    // Items of the query split at '&' and the first '='; an item without '=' has no value.
    // None when there is no query, empty for the empty query.
    std::optional<std::vector<URLQueryItem>> queryItems() const;
    // Encodes names and values, '&' and '=' included; none removes the query.
    void setQueryItems(const std::optional<std::vector<URLQueryItem>>& items);

    friend bool operator==(const URLComponents&, const URLComponents&) = default;

private:
    std::optional<std::string> scheme_;
    std::optional<std::string> user_;
    std::optional<std::string> password_;
    std::optional<std::string> host_;
    std::optional<int> port_;
    std::string path_;
    std::optional<std::string> query_;
    std::optional<std::string> fragment_;
};

} // namespace plat
