#pragma once
// The web driver (plat::sim::Web): what a page would do in a web view, raised by tests and the portal-app
// console: link clicks, form submits, script navigations, back and reload, JavaScript panels, window.open
// and window.close, script messages, scripted script answers, and the end of held page-table loads.
// Main queue only. What happened is read from sim::WebRecorder.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/webkit/PageScan.hpp"
#include "platform/webkit/WebPageTable.hpp"

namespace plat {
class WebEngine;
class WKWebView;
class UIWebView;
} // namespace plat

namespace plat::sim {

class Web {
public:
    explicit Web(const std::shared_ptr<WKWebView>& view);
    explicit Web(const std::shared_ptr<UIWebView>& view);

    // URLs may be relative to the current page.
    void clickLink(const std::string& url);
    // POST sends the fields form-encoded; GET appends them to the query.
    void submitForm(const std::string& url, const std::string& method,
                    const std::vector<std::pair<std::string, std::string>>& fields);
    void scriptNavigate(const std::string& url);
    // False when there is no earlier page or nothing to reload.
    bool back();
    bool reload();

    // Panels answer later, when the app calls the completion handler (or at once with the default when
    // the UI delegate lacks the method). Each returns the panel's index in WebRecorder::panels(), where
    // its answer appears.
    uint64_t raiseAlert(const std::string& message);
    uint64_t raiseConfirm(const std::string& message);
    uint64_t raisePrompt(const std::string& message,
                         const std::optional<std::string>& defaultText = std::nullopt);
    void windowOpen(const std::string& url);
    void windowClose();
    // False when no handler is registered under the name.
    bool postScriptMessage(const std::string& name, const Value& body);
    void scriptAnswer(const std::string& script, Value answer);

    // Ends a held page-table load (WebPage::holdAfterCommit); false when nothing is held.
    bool finishLoad();
    bool failLoad(const Error& error);

    // Title, links and forms of the loaded page.
    WebPageInfo page() const;

    static WebPageTable& pages() { return WebPageTable::shared(); }

private:
    std::shared_ptr<WebEngine> engine_;
};

} // namespace plat::sim
