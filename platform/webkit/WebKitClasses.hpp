#pragma once
// The runtime classes of the simulated web framework, registered once on first use (never from a static
// initialiser). "WKHTTPCookieStore" is registered too; the OS profile makes it absent below OS 11.

#include "platform/runtime/Class.hpp"

namespace plat {

struct WebKitClasses {
    rt::Class* wkWebView;
    rt::Class* uiWebView;
};

const WebKitClasses& webkitClasses();

} // namespace plat
