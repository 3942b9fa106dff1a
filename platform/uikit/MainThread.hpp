#pragma once
// UI objects belong to the main thread. A call from elsewhere is fatal under the test backend, so such a
// fault cannot hide, and a [device] warning in the running app, as the platform's checker reports it.

namespace plat {

void requireMainThread(const char* api);

} // namespace plat
