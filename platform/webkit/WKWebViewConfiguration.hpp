#pragma once
// What a WKWebView is made with: a process pool (a token only), the website data store (cookies) and the
// user content controller (script-message handlers and user scripts). The view keeps its own copy; the
// pool, store and controller inside are shared.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/runtime/Object.hpp"
#include "platform/webkit/WKTypes.hpp"
#include "platform/webkit/WKWebsiteDataStore.hpp"

namespace plat {

// A content process pool. Nothing runs in it; views made with the same pool share the token.
class WKProcessPool {};

// Script-message handlers are runtime objects held strongly, as the platform holds them; a message is
// delivered through rt::respondsTo then rt::msgSend with the selector
// "userContentController:didReceiveScriptMessage:" and the signature
// void(std::shared_ptr<WKUserContentController>, WKScriptMessage).
class WKUserContentController : public std::enable_shared_from_this<WKUserContentController> {
public:
    static constexpr const char* didReceiveScriptMessageSelector =
        "userContentController:didReceiveScriptMessage:";

    // A second handler under a name already used raises NSInvalidArgumentException, as on the device.
    void addScriptMessageHandler(const rt::ObjectPtr& handler, const std::string& name);
    void removeScriptMessageHandlerForName(const std::string& name);
    rt::ObjectPtr scriptMessageHandler(const std::string& name) const;

    void addUserScript(WKUserScript script);
    void removeAllUserScripts();
    const std::vector<WKUserScript>& userScripts() const { return userScripts_; }

    // Delivers a message to the handler of its name; false when there is none or it does not answer.
    bool deliver(const WKScriptMessage& message);

private:
    std::map<std::string, rt::ObjectPtr> handlers_;
    std::vector<WKUserScript> userScripts_;
};

struct WKWebViewConfiguration {
    std::shared_ptr<WKProcessPool> processPool = std::make_shared<WKProcessPool>();
    std::shared_ptr<WKWebsiteDataStore> websiteDataStore = WKWebsiteDataStore::defaultDataStore();
    std::shared_ptr<WKUserContentController> userContentController =
        std::make_shared<WKUserContentController>();
    bool javaScriptCanOpenWindowsAutomatically = false;
};

} // namespace plat
