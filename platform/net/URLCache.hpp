#pragma once
// The response cache a session configuration may carry: responses a data task's delegate agreed to keep,
// held in memory for this process, keyed by the request's URL.

#include "platform/foundation/Value.hpp"
#include "platform/net/HTTPURLResponse.hpp"
#include "platform/net/URLRequest.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace plat {

enum class URLCacheStoragePolicy : unsigned { allowed = 0, allowedInMemoryOnly = 1, notAllowed = 2 };

struct CachedURLResponse {
    std::shared_ptr<const HTTPURLResponse> response;
    Data data;
    std::optional<Dictionary> userInfo;
    URLCacheStoragePolicy storagePolicy = URLCacheStoragePolicy::allowed;
};

class URLCache {
public:
    // A response whose policy is notAllowed is not kept.
    void storeCachedResponse(CachedURLResponse cached, const URLRequest& request);
    std::optional<CachedURLResponse> cachedResponse(const URLRequest& request) const;
    void removeCachedResponse(const URLRequest& request);
    void removeAllCachedResponses();
    std::size_t count() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, CachedURLResponse> entries_;
};

} // namespace plat
