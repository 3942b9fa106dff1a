#pragma once
// Storage for a process-wide singleton that is built on first use and never destroyed, so that code running
// during exit (flushes, late log lines, other singletons' destructors) never meets a dead object.

#include <new>
#include <utility>

namespace plat {

template <class T> class NeverDestroyed {
public:
    template <class... Args> explicit NeverDestroyed(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;

    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }
    T* operator->() { return &get(); }
    T& operator*() { return get(); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

} // namespace plat
