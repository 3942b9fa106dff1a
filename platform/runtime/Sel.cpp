#include "platform/runtime/Sel.hpp"

#include <mutex>
#include <shared_mutex>
#include <unordered_set>

#include "platform/foundation/NeverDestroyed.hpp"

namespace plat::rt {
namespace {

struct SelectorTable {
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    std::shared_mutex mutex;
    // Node-based, so the address of each interned string never changes.
    std::unordered_set<std::string, Hash, std::equal_to<>> names;
};

SelectorTable& table() {
    static NeverDestroyed<SelectorTable> instance;
    return *instance;
}

} // namespace

Sel::Sel(std::string_view name) {
    auto& t = table();
    {
        std::shared_lock lock(t.mutex);
        if (auto it = t.names.find(name); it != t.names.end()) {
            name_ = &*it;
            return;
        }
    }
    std::unique_lock lock(t.mutex);
    name_ = &*t.names.emplace(name).first;
}

const std::string& Sel::str() const noexcept {
    static const std::string empty;
    return name_ ? *name_ : empty;
}

} // namespace plat::rt
