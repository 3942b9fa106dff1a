#include "platform/webkit/WebEngine.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/String.hpp"
#include "platform/net/URLError.hpp"
#include "platform/uikit/MainThread.hpp"
#include "platform/webkit/OnceHandler.hpp"
#include "platform/webkit/PageFetch.hpp"
#include "platform/webkit/WebRecorder.hpp"

namespace plat {

struct WebEngine::Active {
    WKNavigationPtr nav;
    WKNavigationType type = WKNavigationType::other;
    std::optional<int> historyIndex;
    std::optional<std::string> html;
    std::shared_ptr<detail::PageFetch> fetch;
    std::shared_ptr<const HTTPURLResponse> response;
    bool committed = false;
};

namespace {

std::string formEncode(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '*') {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

bool isHTTPScheme(const URL& url) {
    const std::string scheme = String::lowercasedASCII(url.scheme().value_or(""));
    return scheme == "http" || scheme == "https";
}

Error policyInterrupted(const std::optional<URL>& url) {
    Dictionary info;
    info.set("NSLocalizedDescription", Value("Frame load interrupted"));
    if (url) {
        info.set("NSErrorFailingURLStringKey", Value(url->absoluteString()));
    }
    return Error(WebKitErrorDomain, WebKitErrorFrameLoadInterruptedByPolicyChange, std::move(info));
}

} // namespace

WebEngine::WebEngine(std::weak_ptr<WebEngineClient> client, std::shared_ptr<HTTPCookieStorage> cookies)
    : client_(std::move(client)), cookies_(std::move(cookies)) {}

WebEngine::~WebEngine() {
    // The view is going away: the load stops without telling anyone.
    if (active_ && active_->fetch) {
        active_->fetch->cancel();
    }
}

std::optional<URL> WebEngine::url() const {
    if (active_ && !active_->committed && active_->nav->request.url()) {
        return active_->nav->request.url();
    }
    return committedURL_;
}

WKFrameInfo WebEngine::mainFrame() const {
    return WKFrameInfo{true, committedRequest_};
}

std::optional<URL> WebEngine::resolve(const std::string& text) const {
    auto url = URL::parse(text);
    if (url && !url->scheme() && committedURL_) {
        return url->resolved(*committedURL_);
    }
    return url;
}

WKNavigationPtr WebEngine::navigate(URLRequest request, WKNavigationType type) {
    return ask(std::move(request), type,
               type == WKNavigationType::reload ? std::optional<int>(index_) : std::nullopt);
}

WKNavigationPtr WebEngine::ask(URLRequest request, WKNavigationType type, std::optional<int> historyIndex) {
    requireMainThread("-[WKWebView loadRequest:]");
    if (!request.url()) {
        return nullptr;
    }
    auto nav = std::make_shared<WKNavigation>(WKNavigation{nextNavigation_++, request});
    WKNavigationAction action{request, type, mainFrame(), mainFrame()};
    auto& recorder = sim::WebRecorder::shared();
    const uint64_t record = recorder.navigations().size();
    recorder.navigation({request.url()->absoluteString(), static_cast<int64_t>(type), std::nullopt});
    std::weak_ptr<WebEngine> weak = weak_from_this();
    DispatchQueue::main()->async([weak, nav, action, historyIndex, record] {
        auto self = weak.lock();
        auto client = self ? self->client() : nullptr;
        if (!client) {
            return;
        }
        client->decidePolicy(action,
                             detail::onceHandler<WKNavigationActionPolicy>(
                                 "decidePolicyForNavigationAction " + action.request.url()->absoluteString(),
                                 [weak, nav, action, historyIndex, record](WKNavigationActionPolicy p) {
                                     if (auto engine = weak.lock()) {
                                         engine->decided(nav, action, historyIndex, record,
                                                         p == WKNavigationActionPolicy::allow);
                                     }
                                 }));
    });
    return nav;
}

void WebEngine::decided(WKNavigationPtr nav, WKNavigationAction action, std::optional<int> historyIndex,
                        uint64_t record, bool allowed) {
    sim::WebRecorder::shared().decided(record, allowed);
    if (!allowed) {
        return; // a cancelled navigation ends here, silently
    }
    std::optional<std::string> html;
    if (pendingHTML_ && pendingHTML_->first == nav->identifier) {
        html = std::move(pendingHTML_->second);
        pendingHTML_.reset();
    }
    start(std::move(nav), action.navigationType, historyIndex, std::move(html));
}

WKNavigationPtr WebEngine::loadHTML(std::string html, std::optional<URL> baseURL) {
    URLRequest request(baseURL ? baseURL : URL::parse("about:blank"));
    auto nav = navigate(request, WKNavigationType::other);
    if (nav) {
        pendingHTML_ = std::make_pair(nav->identifier, std::move(html));
    }
    return nav;
}

WKNavigationPtr WebEngine::reload() {
    if (index_ < 0 || !committedURL_) {
        return nullptr;
    }
    return navigate(committedRequest_, WKNavigationType::reload);
}

WKNavigationPtr WebEngine::goBack() {
    if (!canGoBack()) {
        return nullptr;
    }
    return ask(history_[index_ - 1].request, WKNavigationType::backForward, index_ - 1);
}

WKNavigationPtr WebEngine::goForward() {
    if (!canGoForward()) {
        return nullptr;
    }
    return ask(history_[index_ + 1].request, WKNavigationType::backForward, index_ + 1);
}

void WebEngine::stopLoading() {
    cancelActive();
}

void WebEngine::cancelActive() {
    if (!active_) {
        return;
    }
    auto old = active_;
    active_ = nullptr;
    if (old->fetch) {
        old->fetch->cancel();
    }
    const Error error = URLError::make(NSURLErrorCancelled, old->nav->request.url());
    sim::WebRecorder::shared().load({old->nav->request.url()->absoluteString(), 0, "", NSURLErrorCancelled,
                                     old->committed,
                                     Error(NSURLErrorDomain, NSURLErrorCancelled).displayText()});
    if (auto client = this->client()) {
        if (old->committed) {
            client->didFail(old->nav, error);
        } else {
            client->didFailProvisional(old->nav, error);
        }
    }
}

void WebEngine::start(WKNavigationPtr nav, WKNavigationType type, std::optional<int> historyIndex,
                      std::optional<std::string> html) {
    auto self = shared_from_this();
    cancelActive();
    auto active = std::make_shared<Active>();
    active->nav = nav;
    active->type = type;
    active->historyIndex = historyIndex;
    active->html = std::move(html);
    active_ = active;
    if (auto client = this->client()) {
        client->didStartProvisional(nav);
    }
    if (active_ != active) {
        return;
    }
    std::weak_ptr<WebEngine> weak = weak_from_this();
    std::weak_ptr<Active> weakActive = active;
    auto later = [weak, weakActive](auto fn) {
        DispatchQueue::main()->async([weak, weakActive, fn] {
            auto engine = weak.lock();
            auto a = weakActive.lock();
            if (engine && a && engine->active_ == a) {
                fn(*engine, a);
            }
        });
    };
    const URL& url = *nav->request.url();
    if (active->html) {
        later([](WebEngine& engine, const std::shared_ptr<Active>& a) {
            engine.commit(a);
            if (engine.active_ == a) {
                engine.body_ = *a->html;
                engine.complete(a, std::nullopt);
            }
        });
        return;
    }
    if (!isHTTPScheme(url)) {
        later([](WebEngine& engine, const std::shared_ptr<Active>& a) {
            engine.complete(a, URLError::make(NSURLErrorUnsupportedURL, a->nav->request.url()));
        });
        return;
    }
    detail::FetchCallbacks callbacks;
    callbacks.redirect = [weak, weakActive](const HTTPURLResponse& response, const URLRequest& next,
                                            std::function<void(bool)> follow) {
        auto engine = weak.lock();
        auto a = weakActive.lock();
        if (!engine || !a || engine->active_ != a) {
            follow(false);
            return;
        }
        engine->onRedirect(a, response, next, std::move(follow));
    };
    callbacks.response = [weak, weakActive](std::shared_ptr<const HTTPURLResponse> response,
                                            std::function<void(bool)> proceed) {
        auto engine = weak.lock();
        auto a = weakActive.lock();
        if (!engine || !a || engine->active_ != a) {
            proceed(false);
            return;
        }
        engine->onResponse(a, std::move(response), std::move(proceed));
    };
    callbacks.data = [weak, weakActive](const Data& data) {
        auto engine = weak.lock();
        auto a = weakActive.lock();
        if (engine && a && engine->active_ == a && a->committed) {
            engine->body_.append(data.begin(), data.end());
        }
    };
    callbacks.complete = [weak, weakActive](std::optional<Error> error) {
        auto engine = weak.lock();
        auto a = weakActive.lock();
        if (engine && a && engine->active_ == a) {
            engine->complete(a, std::move(error));
        }
    };
    active->fetch = detail::startFetch(nav->request, std::move(callbacks), cookies_);
}

void WebEngine::onRedirect(const std::shared_ptr<Active>& active, const HTTPURLResponse& response,
                           const URLRequest& next, std::function<void(bool)> follow) {
    (void)response;
    auto self = shared_from_this();
    active->nav->request = next;
    if (auto client = this->client()) {
        client->didReceiveServerRedirect(active->nav);
    }
    if (active_ != active) {
        follow(false);
        return;
    }
    auto client = this->client();
    if (!client) {
        follow(false);
        return;
    }
    WKNavigationAction action{next, WKNavigationType::other, mainFrame(), mainFrame()};
    auto& recorder = sim::WebRecorder::shared();
    const uint64_t record = recorder.navigations().size();
    recorder.navigation(
        {next.url()->absoluteString(), static_cast<int64_t>(WKNavigationType::other), std::nullopt});
    std::weak_ptr<WebEngine> weak = weak_from_this();
    std::weak_ptr<Active> weakActive = active;
    client->decidePolicy(action,
                         detail::onceHandler<WKNavigationActionPolicy>(
                             "decidePolicyForNavigationAction (redirect) " + next.url()->absoluteString(),
                             [weak, weakActive, follow, record](WKNavigationActionPolicy p) {
                                 const bool allowed = p == WKNavigationActionPolicy::allow;
                                 sim::WebRecorder::shared().decided(record, allowed);
                                 auto engine = weak.lock();
                                 auto a = weakActive.lock();
                                 if (!engine || !a || engine->active_ != a) {
                                     follow(false);
                                     return;
                                 }
                                 follow(allowed);
                                 if (!allowed) {
                                     engine->complete(a, policyInterrupted(a->nav->request.url()));
                                 }
                             }));
}

void WebEngine::onResponse(const std::shared_ptr<Active>& active,
                           std::shared_ptr<const HTTPURLResponse> response,
                           std::function<void(bool)> proceed) {
    auto self = shared_from_this();
    active->response = response;
    auto client = this->client();
    if (!client || !client->decidesResponses()) {
        commit(active);
        proceed(active_ == active);
        return;
    }
    std::weak_ptr<WebEngine> weak = weak_from_this();
    std::weak_ptr<Active> weakActive = active;
    client->decideResponse(WKNavigationResponse{response, true, true},
                           detail::onceHandler<WKNavigationResponsePolicy>(
                               "decidePolicyForNavigationResponse " + response->url().absoluteString(),
                               [weak, weakActive, proceed](WKNavigationResponsePolicy p) {
                                   auto engine = weak.lock();
                                   auto a = weakActive.lock();
                                   if (!engine || !a || engine->active_ != a) {
                                       proceed(false);
                                       return;
                                   }
                                   if (p != WKNavigationResponsePolicy::allow) {
                                       proceed(false);
                                       engine->complete(a, policyInterrupted(a->nav->request.url()));
                                       return;
                                   }
                                   engine->commit(a);
                                   proceed(engine->active_ == a);
                               }));
}

void WebEngine::commit(const std::shared_ptr<Active>& active) {
    auto self = shared_from_this();
    active->committed = true;
    committedURL_ =
        active->response ? std::optional<URL>(active->response->url()) : active->nav->request.url();
    committedRequest_ = active->nav->request;
    committedRequest_.setURL(committedURL_);
    body_.clear();
    page_ = {};
    WebHistoryItem item{*committedURL_, committedRequest_, ""};
    if (active->historyIndex && *active->historyIndex >= 0 &&
        *active->historyIndex < static_cast<int>(history_.size())) {
        index_ = *active->historyIndex;
        history_[index_].url = item.url;
    } else {
        if (index_ + 1 < static_cast<int>(history_.size())) {
            history_.erase(history_.begin() + index_ + 1, history_.end());
        }
        history_.push_back(std::move(item));
        index_ = static_cast<int>(history_.size()) - 1;
    }
    if (auto client = this->client()) {
        client->didCommit(active->nav);
    }
    if (active_ == active) {
        injectUserScripts(WKUserScriptInjectionTime::atDocumentStart);
    }
}

void WebEngine::complete(const std::shared_ptr<Active>& active, std::optional<Error> error) {
    auto self = shared_from_this();
    if (active_ != active) {
        return;
    }
    active_ = nullptr;
    auto client = this->client();
    const std::string url = active->nav->request.url()->absoluteString();
    if (error) {
        sim::WebRecorder::shared().load({url, active->response ? active->response->statusCode() : 0, "",
                                         error->code, active->committed, error->displayText()});
        if (client) {
            if (active->committed) {
                client->didFail(active->nav, *error);
            } else {
                client->didFailProvisional(active->nav, *error);
            }
        }
        return;
    }
    page_ = scanPage(body_);
    if (index_ >= 0) {
        history_[index_].title = page_.title;
    }
    sim::WebRecorder::shared().load({committedURL_ ? committedURL_->absoluteString() : url,
                                     active->response ? active->response->statusCode() : 0, page_.title,
                                     std::nullopt, true, ""});
    injectUserScripts(WKUserScriptInjectionTime::atDocumentEnd);
    if (client) {
        client->didFinish(active->nav);
    }
}

void WebEngine::injectUserScripts(WKUserScriptInjectionTime when) {
    auto client = this->client();
    if (!client) {
        return;
    }
    for (const auto& script : client->userScripts()) {
        if (script.injectionTime == when) {
            sim::WebRecorder::shared().userScript(script.source);
        }
    }
}

// ---- page events ----

void WebEngine::clickLink(const std::string& text) {
    if (auto url = resolve(text)) {
        navigate(URLRequest(url), WKNavigationType::linkActivated);
    }
}

void WebEngine::submitForm(const std::string& text, const std::string& method,
                           const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string encoded;
    for (const auto& [name, value] : fields) {
        if (!encoded.empty()) {
            encoded += '&';
        }
        encoded += formEncode(name) + "=" + formEncode(value);
    }
    std::string verb = String::uppercasedASCII(method);
    if (verb.empty()) {
        verb = "GET";
    }
    std::string target = text;
    if (verb == "GET" && !encoded.empty()) {
        target += (target.find('?') == std::string::npos ? "?" : "&") + encoded;
    }
    auto url = resolve(target);
    if (!url) {
        return;
    }
    URLRequest request(url);
    if (verb != "GET") {
        request.setHTTPMethod(verb);
        request.setValue("application/x-www-form-urlencoded", "Content-Type");
        request.setHTTPBody(Data(encoded.begin(), encoded.end()));
    }
    navigate(std::move(request), WKNavigationType::formSubmitted);
}

void WebEngine::scriptNavigate(const std::string& text) {
    if (auto url = resolve(text)) {
        navigate(URLRequest(url), WKNavigationType::other);
    }
}

uint64_t WebEngine::raiseAlert(const std::string& message) {
    auto self = shared_from_this();
    auto client = this->client();
    const bool asked = client && client->canRunAlert();
    auto& recorder = sim::WebRecorder::shared();
    const uint64_t index = recorder.panel({"alert", message, asked, false, Value()});
    if (!asked) {
        recorder.panelAnswered(index, Value());
        return index;
    }
    client->runAlert(
        message, mainFrame(),
        detail::onceHandler<>("JavaScript alert panel: " + message, std::function<void()>([index] {
                                  sim::WebRecorder::shared().panelAnswered(index, Value());
                              })));
    return index;
}

uint64_t WebEngine::raiseConfirm(const std::string& message) {
    auto self = shared_from_this();
    auto client = this->client();
    const bool asked = client && client->canRunConfirm();
    auto& recorder = sim::WebRecorder::shared();
    const uint64_t index = recorder.panel({"confirm", message, asked, false, Value()});
    if (!asked) {
        recorder.panelAnswered(index, Value(false));
        return index;
    }
    client->runConfirm(message, mainFrame(),
                       detail::onceHandler<bool>("JavaScript confirm panel: " + message,
                                                 std::function<void(bool)>([index](bool ok) {
                                                     sim::WebRecorder::shared().panelAnswered(index,
                                                                                              Value(ok));
                                                 })));
    return index;
}

uint64_t WebEngine::raisePrompt(const std::string& message, const std::optional<std::string>& defaultText) {
    auto self = shared_from_this();
    auto client = this->client();
    const bool asked = client && client->canRunPrompt();
    auto& recorder = sim::WebRecorder::shared();
    const uint64_t index = recorder.panel({"prompt", message, asked, false, Value()});
    if (!asked) {
        recorder.panelAnswered(index, Value());
        return index;
    }
    client->runPrompt(
        message, defaultText, mainFrame(),
        detail::onceHandler<std::optional<std::string>>(
            "JavaScript text input panel: " + message,
            std::function<void(std::optional<std::string>)>([index](std::optional<std::string> text) {
                sim::WebRecorder::shared().panelAnswered(index, text ? Value(*text) : Value());
            })));
    return index;
}

void WebEngine::windowOpen(const std::string& text) {
    auto self = shared_from_this();
    auto url = resolve(text);
    if (!url) {
        return;
    }
    WKNavigationAction action{URLRequest(url), WKNavigationType::other, mainFrame(), std::nullopt};
    auto client = this->client();
    auto opened = client ? client->createWindow(action) : nullptr;
    sim::WebRecorder::shared().windowOpened(url->absoluteString(), opened != nullptr);
    if (opened) {
        // The page's new window loads what it asked for, as the engine does for a returned web view.
        opened->navigate(action.request, WKNavigationType::other);
    }
}

void WebEngine::windowClose() {
    auto self = shared_from_this();
    sim::WebRecorder::shared().windowClosed();
    if (auto client = this->client()) {
        client->closeWindow();
    }
}

bool WebEngine::postScriptMessage(const std::string& name, const Value& body) {
    auto self = shared_from_this();
    sim::WebRecorder::shared().scriptMessage(name);
    auto client = this->client();
    return client && client->scriptMessage(name, body);
}

void WebEngine::setScriptAnswer(const std::string& script, Value answer) {
    for (auto& entry : scriptAnswers_) {
        if (entry.first == script) {
            entry.second = std::move(answer);
            return;
        }
    }
    scriptAnswers_.emplace_back(script, std::move(answer));
}

Value WebEngine::answerFor(const std::string& script) {
    // A scripted answer wins, also over the title, so a test can make a page lie about itself.
    for (const auto& entry : scriptAnswers_) {
        if (entry.first == script) {
            return entry.second;
        }
    }
    if (script == "document.title") {
        return Value(page_.title);
    }
    auto client = this->client();
    return client ? client->defaultScriptAnswer() : Value();
}

void WebEngine::evaluate(const std::string& script,
                         std::function<void(Value, std::optional<Error>)> completion) {
    sim::WebRecorder::shared().script(script);
    Value answer = answerFor(script);
    if (completion) {
        DispatchQueue::main()->async(
            [completion = std::move(completion), answer] { completion(answer, std::nullopt); });
    }
}

bool WebEngine::finishLoad() {
    auto self = shared_from_this();
    return active_ && active_->fetch && active_->fetch->endHeld(std::nullopt);
}

bool WebEngine::failLoad(const Error& error) {
    auto self = shared_from_this();
    return active_ && active_->fetch && active_->fetch->endHeld(error);
}

} // namespace plat
