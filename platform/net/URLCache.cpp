#include "platform/net/URLCache.hpp"

namespace plat {
namespace {

std::optional<std::string> keyFor(const URLRequest& request) {
    if (!request.url()) {
        return std::nullopt;
    }
    return request.url()->absoluteString();
}

} // namespace

void URLCache::storeCachedResponse(CachedURLResponse cached, const URLRequest& request) {
    const auto key = keyFor(request);
    if (!key || !cached.response || cached.storagePolicy == URLCacheStoragePolicy::notAllowed) {
        return;
    }
    std::lock_guard lock(mutex_);
    entries_.insert_or_assign(*key, std::move(cached));
}

std::optional<CachedURLResponse> URLCache::cachedResponse(const URLRequest& request) const {
    const auto key = keyFor(request);
    std::lock_guard lock(mutex_);
    const auto found = key ? entries_.find(*key) : entries_.end();
    if (found == entries_.end()) {
        return std::nullopt;
    }
    return found->second;
}

void URLCache::removeCachedResponse(const URLRequest& request) {
    if (const auto key = keyFor(request)) {
        std::lock_guard lock(mutex_);
        entries_.erase(*key);
    }
}

void URLCache::removeAllCachedResponses() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

std::size_t URLCache::count() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

} // namespace plat
