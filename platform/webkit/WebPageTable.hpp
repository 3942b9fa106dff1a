#pragma once
// The in-memory page table of unit tests (plat::sim::WebPageTable): while enabled, every web view answers
// its loads from here instead of the network, in virtual time and without sockets.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/net/HTTPHeaderFields.hpp"

namespace plat::sim {

struct WebPage {
    int status = 200;
    HTTPHeaderFields headers; // a 3xx with Location is followed as a server redirect
    std::string body;
    double delay = 0; // seconds of virtual time before the response arrives
    // A transport failure (NSURLErrorDomain code) in place of a response.
    std::optional<int64_t> error;
    // The page commits, then stays loading until sim::Web::finishLoad or failLoad.
    bool holdAfterCommit = false;

    static WebPage html(std::string body, int status = 200);
    static WebPage redirect(std::string location, int status = 302);
    static WebPage failing(int64_t code, double delay = 0);
};

class WebPageTable {
public:
    static WebPageTable& shared();

    // Loads made from now on use the table; a URL that has no page fails with -1003 (host not found).
    void enable();
    void disable();
    bool enabled() const;
    void set(const std::string& url, WebPage page);
    // Matched on the absolute URL text, ignoring a fragment.
    std::optional<WebPage> find(const std::string& url) const;
    void clear();

private:
    WebPageTable() = default;
    friend class plat::NeverDestroyed<WebPageTable>;
    mutable std::mutex mutex_;
    bool enabled_ = false;
    std::map<std::string, WebPage> pages_;
};

} // namespace plat::sim
