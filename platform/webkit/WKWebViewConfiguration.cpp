#include "platform/webkit/WKWebViewConfiguration.hpp"

#include "platform/foundation/Error.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/MainThread.hpp"

namespace plat {

void WKUserContentController::addScriptMessageHandler(const rt::ObjectPtr& handler, const std::string& name) {
    requireMainThread("-[WKUserContentController addScriptMessageHandler:name:]");
    if (handlers_.count(name) != 0) {
        Exception::raise("NSInvalidArgumentException", "Attempt to add script message handler with name '" +
                                                           name + "' when one already exists.");
    }
    if (handler) {
        handlers_[name] = handler;
    }
}

void WKUserContentController::removeScriptMessageHandlerForName(const std::string& name) {
    handlers_.erase(name);
}

rt::ObjectPtr WKUserContentController::scriptMessageHandler(const std::string& name) const {
    auto it = handlers_.find(name);
    return it == handlers_.end() ? nullptr : it->second;
}

void WKUserContentController::addUserScript(WKUserScript script) {
    userScripts_.push_back(std::move(script));
}

void WKUserContentController::removeAllUserScripts() {
    userScripts_.clear();
}

bool WKUserContentController::deliver(const WKScriptMessage& message) {
    auto handler = scriptMessageHandler(message.name);
    const rt::Sel sel = rt::sel(didReceiveScriptMessageSelector);
    if (!handler || !rt::respondsTo(handler, sel)) {
        return false;
    }
    rt::msgSend<void>(*handler, sel, shared_from_this(), message);
    return true;
}

} // namespace plat
