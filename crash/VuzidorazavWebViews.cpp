// JavaScript errors of web pages, recorded as non-fatal exceptions: a script chained before the page's
// window.onerror hands each error to this side, through a "vuzidorazav" load request (UIWebView) or a script
// message to the handler "vuzidorazav" (WKWebView). Only the message text is kept.

#include "crash/Vuzidorazav.hpp"

#include "crash/capture/VZRException.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/Format.hpp"
#include "platform/net/URL.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/webkit/UIWebView.hpp"

#include <map>
#include <string>

namespace rt = plat::rt;

namespace {

constexpr const char* kWebViewScriptShared =
    "var vuzidorazavOriginalOnLoad = window.onload;\n"
    "var vuzidorazavOriginalOnError = window.onerror;\n"
    "window.onerror = vuzidorazavOnError;\n"
    "window.onload = vuzidorazavOnLoad;\n"
    "function vuzidorazavOnLoad() {\n"
    "  if (window.onerror !== vuzidorazavOnError) {\n"
    "    vuzidorazavOriginalOnError = window.onerror;\n"
    "  }\n"
    "  window.onerror = vuzidorazavOnError;\n"
    "  if (typeof vuzidorazavOriginalOnLoad === 'function') {\n"
    "    vuzidorazavOriginalOnLoad();\n"
    "  }\n"
    "}\n";

constexpr const char* kWebViewScriptUIWebView =
    "function vuzidorazavOnError(msg, url, line, column, error) {\n"
    "  var src = 'vuzidorazav://exception/uiwebkit?msg=' + encodeURIComponent(msg) +\n"
    "    '&url=' + encodeURIComponent(url) + '&line=' + encodeURIComponent(line);\n"
    "  if (column) {\n"
    "    src += '&column=' + encodeURIComponent(column);\n"
    "  }\n"
    "  vuzidorazavExecute(src);\n"
    "  if (typeof vuzidorazavOriginalOnError === 'function') {\n"
    "    vuzidorazavOriginalOnError(msg, url, line, column, error);\n"
    "  }\n"
    "}\n"
    "function vuzidorazavExecute(url) {\n"
    "  var frame = document.createElement('IFRAME');\n"
    "  frame.setAttribute('src', url);\n"
    "  document.documentElement.appendChild(frame);\n"
    "  document.documentElement.removeChild(frame);\n"
    "}\n"
    "'loaded';\n";

constexpr const char* kWebViewScriptWKWebView =
    "function vuzidorazavOnError(msg, url, line, column, error) {\n"
    "  window.webkit.messageHandlers.vuzidorazav.postMessage({msg: msg, url: url, line: line, column: column});\n"
    "  if (typeof vuzidorazavOriginalOnError === 'function') {\n"
    "    vuzidorazavOriginalOnError(msg, url, line, column, error);\n"
    "  }\n"
    "}\n";

void recordWebViewError(const std::string& message) {
    VZRExceptionRecord(VZRExceptionTypeJavascript, "exception", message.c_str(), {}, false);
}

// The query's pieces "name=value" as they stand (no percent-decoding); a piece that does not split into
// exactly two parts is passed over, and a later piece wins over an earlier one of the same name.
std::map<std::string, std::string> webViewQueryPieces(const std::string& query) {
    std::map<std::string, std::string> pieces;
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos)
            end = query.size();
        const std::string piece = query.substr(start, end - start);
        const size_t equals = piece.find('=');
        if (equals != std::string::npos && piece.find('=', equals + 1) == std::string::npos)
            pieces[piece.substr(0, equals)] = piece.substr(equals + 1);
        start = end + 1;
    }
    return pieces;
}

} // namespace

std::string Vuzidorazav::webViewScriptForUIWebView() {
    return plat::format("%s%s", kWebViewScriptShared, kWebViewScriptUIWebView);
}

std::string Vuzidorazav::webViewScriptForWKWebView() {
    return plat::format("%s%s", kWebViewScriptShared, kWebViewScriptWKWebView);
}

void Vuzidorazav::monitorErrorsForUIWebView(const rt::ObjectPtr& webView) {
    bool injected = false;
    if (auto view = std::dynamic_pointer_cast<plat::UIWebView>(webView)) {
        // Defined already: the page was monitored before, and a second copy would chain itself to itself.
        if (view->stringByEvaluatingJavaScriptFromString("typeof vuzidorazavOnError") == "undefined")
            injected = view->stringByEvaluatingJavaScriptFromString(webViewScriptForUIWebView()) == "loaded";
    }
    if (!injected)
        plat::NSLogText(plat::format("[Vuzidorazav] Unable to monitor UIWebView (%p)",
                                     static_cast<const void*>(webView.get())));
}

bool Vuzidorazav::handleWebViewShouldStartLoadWithRequest(const rt::ObjectPtr&, const plat::URLRequest& request,
                                                          int64_t) {
    const std::optional<plat::URL>& url = request.url();
    if (!url || url->scheme() != std::optional<std::string>("vuzidorazav"))
        return false;
    const auto pieces = webViewQueryPieces(url->query().value_or(""));
    if (auto found = pieces.find("msg"); found != pieces.end())
        recordWebViewError(found->second);
    return true;
}

void Vuzidorazav::monitorErrorsForWKWebViewConfiguration(plat::WKWebViewConfiguration& configuration) {
    const auto& controller = configuration.userContentController;
    if (controller)
        controller->addScriptMessageHandler(shared_from_this(), "vuzidorazav");
    // The class is looked up by name: a system without it has no user scripts.
    if (!controller || !rt::getClass("WKUserScript")) {
        plat::NSLogText(plat::format("[Vuzidorazav] Unable to monitor %p", static_cast<const void*>(&configuration)));
        return;
    }
    plat::WKUserScript script;
    script.source = webViewScriptForWKWebView();
    script.injectionTime = plat::WKUserScriptInjectionTime::atDocumentEnd;
    script.forMainFrameOnly = true;
    controller->addUserScript(std::move(script));
}

void Vuzidorazav::userContentControllerDidReceiveScriptMessage(const std::shared_ptr<plat::WKUserContentController>&,
                                                               const plat::WKScriptMessage& message) {
    const plat::Dictionary* body = message.body.ifDictionary();
    if (!body) {
        plat::NSLogText("[Vuzidorazav] Unable to record exception from WKWebView");
        return;
    }
    const plat::Value* text = body->find("msg");
    recordWebViewError(text ? plat::Value::description(text) : std::string("(null)"));
}
