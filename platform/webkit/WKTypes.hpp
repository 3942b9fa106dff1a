#pragma once
// Value types of the web-view stand-in: navigation actions and responses, frames, navigations, user
// scripts, script messages and window features, with the platform's enumeration values.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.hpp"
#include "platform/net/HTTPURLResponse.hpp"
#include "platform/net/URLRequest.hpp"

namespace plat {

enum class WKNavigationType : int64_t {
    linkActivated = 0,
    formSubmitted = 1,
    backForward = 2,
    reload = 3,
    formResubmitted = 4,
    other = -1,
};

enum class WKNavigationActionPolicy : int64_t { cancel = 0, allow = 1 };
enum class WKNavigationResponsePolicy : int64_t { cancel = 0, allow = 1 };

struct WKFrameInfo {
    bool isMainFrame = true;
    URLRequest request; // the request of the document the frame shows
};

struct WKNavigationAction {
    URLRequest request;
    WKNavigationType navigationType = WKNavigationType::other;
    std::optional<WKFrameInfo> sourceFrame;
    std::optional<WKFrameInfo> targetFrame; // none: the page asks for a new window
};

struct WKNavigationResponse {
    std::shared_ptr<const HTTPURLResponse> response;
    bool isForMainFrame = true;
    bool canShowMIMEType = true;
};

// The handle a navigation's callbacks share; identity tells navigations apart.
struct WKNavigation {
    uint64_t identifier = 0;
    URLRequest request;
};
using WKNavigationPtr = std::shared_ptr<WKNavigation>;

enum class WKUserScriptInjectionTime : int64_t { atDocumentStart = 0, atDocumentEnd = 1 };

struct WKUserScript {
    std::string source;
    WKUserScriptInjectionTime injectionTime = WKUserScriptInjectionTime::atDocumentEnd;
    bool forMainFrameOnly = true;
};

struct WKScriptMessage {
    std::string name;
    Value body;
    std::optional<WKFrameInfo> frameInfo;
};

struct WKWindowFeatures {};

// WebKitErrorDomain: a navigation stopped because a policy answer changed it (redirect or response
// cancelled).
inline constexpr const char* WebKitErrorDomain = "WebKitErrorDomain";
inline constexpr int64_t WebKitErrorFrameLoadInterruptedByPolicyChange = 102;

} // namespace plat
