#pragma once
// The simulated page engine behind WKWebView and the legacy UIWebView: it asks the policy, fetches the page
// (network or page table), follows redirects, commits, finishes or fails, keeps the back-forward list and
// raises what a page would do when the driver says so. It renders nothing and runs no script. The view
// that owns it is its client and turns its events into the delegate calls of its own API. Main queue only.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/net/HTTPCookieStorage.hpp"
#include "platform/webkit/PageScan.hpp"
#include "platform/webkit/WKTypes.hpp"

namespace plat {

namespace detail {
class PageFetch;
}

class WebEngine;

class WebEngineClient {
public:
    virtual ~WebEngineClient() = default;
    // Navigation; `decide` must be called exactly once (the engine wraps it to record misuse).
    virtual void decidePolicy(const WKNavigationAction& action,
                              std::function<void(WKNavigationActionPolicy)> decide) = 0;
    // False when nobody decides responses (then they are allowed).
    virtual bool decidesResponses() { return false; }
    virtual void decideResponse(const WKNavigationResponse&,
                                std::function<void(WKNavigationResponsePolicy)>) {}
    virtual void didStartProvisional(const WKNavigationPtr&) = 0;
    virtual void didReceiveServerRedirect(const WKNavigationPtr&) = 0;
    virtual void didCommit(const WKNavigationPtr&) = 0;
    virtual void didFinish(const WKNavigationPtr&) = 0;
    virtual void didFailProvisional(const WKNavigationPtr&, const Error&) = 0;
    virtual void didFail(const WKNavigationPtr&, const Error&) = 0;

    // Page events. The can* questions say whether the app implements the panel; when not, the engine
    // applies the default answer itself.
    virtual bool canRunAlert() { return false; }
    virtual bool canRunConfirm() { return false; }
    virtual bool canRunPrompt() { return false; }
    virtual void runAlert(const std::string&, const WKFrameInfo&, std::function<void()>) {}
    virtual void runConfirm(const std::string&, const WKFrameInfo&, std::function<void(bool)>) {}
    virtual void runPrompt(const std::string&, const std::optional<std::string>&, const WKFrameInfo&,
                           std::function<void(std::optional<std::string>)>) {}
    // window.open without a target frame: the engine of the web view the app made for it, or none.
    virtual std::shared_ptr<WebEngine> createWindow(const WKNavigationAction&) { return nullptr; }
    virtual void closeWindow() {}
    // False when no handler is registered under the name.
    virtual bool scriptMessage(const std::string&, const Value&) { return false; }
    // The answer to a script other than document.title when the driver scripted none.
    virtual Value defaultScriptAnswer() { return Value(); }
    // User scripts injected at commit (document start) or finish (document end).
    virtual std::vector<WKUserScript> userScripts() { return {}; }
};

struct WebHistoryItem {
    URL url;
    URLRequest request;
    std::string title;
};

class WebEngine : public std::enable_shared_from_this<WebEngine> {
public:
    WebEngine(std::weak_ptr<WebEngineClient> client, std::shared_ptr<HTTPCookieStorage> cookies);
    ~WebEngine();
    WebEngine(const WebEngine&) = delete;
    WebEngine& operator=(const WebEngine&) = delete;

    // A navigation of the main frame; the policy is asked on the main queue after this returns.
    // None when the request has no URL (nothing happens).
    WKNavigationPtr navigate(URLRequest request, WKNavigationType type);
    WKNavigationPtr loadHTML(std::string html, std::optional<URL> baseURL);
    WKNavigationPtr reload();
    WKNavigationPtr goBack();
    WKNavigationPtr goForward();
    void stopLoading();

    bool canGoBack() const { return index_ > 0; }
    bool canGoForward() const { return index_ >= 0 && index_ + 1 < static_cast<int>(history_.size()); }
    const std::vector<WebHistoryItem>& backForwardList() const { return history_; }
    int currentIndex() const { return index_; }

    // The committed page's URL, or the URL being loaded while a navigation is provisional.
    std::optional<URL> url() const;
    std::string title() const { return page_.title; }
    bool isLoading() const { return active_ != nullptr; }
    const std::string& body() const { return body_; }
    WebPageInfo page() const { return page_; }
    WKFrameInfo mainFrame() const;

    // Page events raised by the driver (sim::Web).
    void clickLink(const std::string& url);
    void submitForm(const std::string& url, const std::string& method,
                    const std::vector<std::pair<std::string, std::string>>& fields);
    void scriptNavigate(const std::string& url);
    // Index of the panel in the web recorder.
    uint64_t raiseAlert(const std::string& message);
    uint64_t raiseConfirm(const std::string& message);
    uint64_t raisePrompt(const std::string& message, const std::optional<std::string>& defaultText);
    void windowOpen(const std::string& url);
    void windowClose();
    bool postScriptMessage(const std::string& name, const Value& body);
    void setScriptAnswer(const std::string& script, Value answer);
    // What a script evaluates to: the scripted answer, the title for "document.title", else the view's
    // default.
    Value answerFor(const std::string& script);
    void evaluate(const std::string& script, std::function<void(Value, std::optional<Error>)> completion);
    // Ends a held page-table load; false when none is held.
    bool finishLoad();
    bool failLoad(const Error& error);

private:
    struct Active;
    std::optional<URL> resolve(const std::string& text) const;
    WKNavigationPtr ask(URLRequest request, WKNavigationType type, std::optional<int> historyIndex);
    void decided(WKNavigationPtr nav, WKNavigationAction action, std::optional<int> historyIndex,
                 uint64_t record, bool allowed);
    void start(WKNavigationPtr nav, WKNavigationType type, std::optional<int> historyIndex,
               std::optional<std::string> html);
    void cancelActive();
    void onRedirect(const std::shared_ptr<Active>& active, const HTTPURLResponse& response,
                    const URLRequest& next, std::function<void(bool)> follow);
    void onResponse(const std::shared_ptr<Active>& active, std::shared_ptr<const HTTPURLResponse> response,
                    std::function<void(bool)> proceed);
    void commit(const std::shared_ptr<Active>& active);
    void complete(const std::shared_ptr<Active>& active, std::optional<Error> error);
    void injectUserScripts(WKUserScriptInjectionTime when);
    std::shared_ptr<WebEngineClient> client() const { return client_.lock(); }

    std::weak_ptr<WebEngineClient> client_;
    std::shared_ptr<HTTPCookieStorage> cookies_;
    std::shared_ptr<Active> active_;
    uint64_t nextNavigation_ = 1;
    std::vector<WebHistoryItem> history_;
    int index_ = -1;
    std::optional<URL> committedURL_;
    URLRequest committedRequest_;
    std::string body_;
    WebPageInfo page_;
    std::vector<std::pair<std::string, Value>> scriptAnswers_;
    // The HTML of a loadHTMLString navigation waiting for its policy answer, by navigation identifier.
    std::optional<std::pair<uint64_t, std::string>> pendingHTML_;
};

} // namespace plat
