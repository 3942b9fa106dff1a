#include "platform/foundation/Loader.hpp"

#include "platform/foundation/NeverDestroyed.hpp"

#include <dlfcn.h>

#include <map>
#include <mutex>
#include <vector>

namespace plat::loader {
namespace {

struct Listeners {
    std::mutex mutex;
    uint64_t next = 1;
    std::map<uint64_t, Listener> all;
};

Listeners& listeners() {
    static NeverDestroyed<Listeners> instance;
    return instance.get();
}

// Outside the lock: a listener may itself add or remove listeners, or load a library.
void notifyListeners() {
    std::vector<Listener> copy;
    {
        Listeners& l = listeners();
        std::lock_guard lock(l.mutex);
        for (const auto& [token, listener] : l.all)
            copy.push_back(listener);
    }
    for (const Listener& listener : copy)
        listener();
}

} // namespace

void* open(const char* path, int flags) {
    void* handle = ::dlopen(path, flags);
    if (handle)
        notifyListeners();
    return handle;
}

int close(void* handle) {
    const int result = ::dlclose(handle);
    notifyListeners();
    return result;
}

uint64_t addListener(Listener listener) {
    Listeners& l = listeners();
    std::lock_guard lock(l.mutex);
    const uint64_t token = l.next++;
    l.all.emplace(token, std::move(listener));
    return token;
}

void removeListener(uint64_t token) {
    Listeners& l = listeners();
    std::lock_guard lock(l.mutex);
    l.all.erase(token);
}

} // namespace plat::loader
