#pragma once
// Loading and unloading of shared libraries. The system's loader tells nobody of loads and unloads, so
// whoever keeps a list of loaded images (the crash reporter) listens here; code of this system loads
// libraries only through these wrappers.

#include <cstdint>
#include <functional>

namespace plat::loader {

// dlopen; when it succeeds the listeners are told, on the calling thread, after the library is loaded.
void* open(const char* path, int flags);
// dlclose; the listeners are told after it returns, whatever it answered.
int close(void* handle);

using Listener = std::function<void()>;
// A token for removeListener.
uint64_t addListener(Listener listener);
void removeListener(uint64_t token);

} // namespace plat::loader
