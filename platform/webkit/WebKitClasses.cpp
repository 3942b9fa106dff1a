#include "platform/webkit/WebKitClasses.hpp"

#include "platform/device/DeviceProfile.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/webkit/UIWebView.hpp"
#include "platform/webkit/WKWebView.hpp"

namespace plat {
namespace {

WebKitClasses registerAll() {
    WebKitClasses c{};
    c.wkWebView = rt::registerClass<WKWebView>("WKWebView", UIView::runtimeClass());
    c.uiWebView = rt::registerClass<UIWebView>("UIWebView", UIView::runtimeClass());
    // A marker whose presence code may test; the store itself is the plain WKHTTPCookieStore.
    rt::registerClass("WKHTTPCookieStore");
    // Likewise for user scripts (the plain WKUserScript), which code looks up by name before making one.
    rt::registerClass("WKUserScript");
    // The profile decides what exists at this OS version, also for classes registered after boot.
    DeviceProfile::applyToRuntime();
    return c;
}

} // namespace

const WebKitClasses& webkitClasses() {
    static NeverDestroyed<WebKitClasses> classes(registerAll());
    return *classes;
}

} // namespace plat
