#pragma once
// Test delegates for the web views: runtime classes whose methods record every call as a line of text and
// answer as the test says. "TestWebDelegate" implements every navigation and UI method; "TestWebBareDelegate"
// only the navigation policy and the load callbacks, so the UI defaults apply.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Backend.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/webkit/SimWeb.hpp"
#include "platform/webkit/WKWebView.hpp"
#include "platform/webkit/WebRecorder.hpp"

namespace plat::test {

class TestWebDelegate : public rt::Object {
public:
    using rt::Object::Object;

    std::vector<std::string> events;
    std::vector<WKNavigationAction> actions;
    // Answers the policy; none: keep the handler in `pendingDecision` for the test to answer.
    std::function<std::optional<WKNavigationActionPolicy>(const WKNavigationAction&)> policy =
        [](const WKNavigationAction&) { return WKNavigationActionPolicy::allow; };
    WKNavigationActionDecisionHandler pendingDecision;
    std::function<void()> alertDone;
    std::function<void(bool)> confirmDone;
    std::function<void(std::optional<std::string>)> promptDone;
    std::optional<WKFrameInfo> panelFrame;
    std::vector<std::shared_ptr<WKWebView>> windows; // views made for window.open
    std::vector<Error> errors;

    void record(std::string e) { events.push_back(std::move(e)); }
};

inline std::string actionText(const WKNavigationAction& a) {
    return "decide:" + a.request.url()->absoluteString() + ":" +
           std::to_string(static_cast<int64_t>(a.navigationType));
}

inline void addNavigationMethods(rt::Class* cls) {
    rt::addMethod(cls, rt::sel(WKSelector::decidePolicyForNavigationAction),
                  [](TestWebDelegate& self, rt::ObjectPtr, WKNavigationAction action,
                     WKNavigationActionDecisionHandler decide) {
                      self.record(actionText(action));
                      self.actions.push_back(action);
                      if (auto answer = self.policy(action)) {
                          decide(*answer);
                      } else {
                          self.pendingDecision = std::move(decide);
                      }
                  });
    rt::addMethod(cls, rt::sel(WKSelector::didStartProvisionalNavigation),
                  [](TestWebDelegate& self, rt::ObjectPtr, WKNavigationPtr) { self.record("start"); });
    rt::addMethod(cls, rt::sel(WKSelector::didReceiveServerRedirect),
                  [](TestWebDelegate& self, rt::ObjectPtr, WKNavigationPtr) { self.record("redirect"); });
    rt::addMethod(cls, rt::sel(WKSelector::didCommitNavigation),
                  [](TestWebDelegate& self, rt::ObjectPtr, WKNavigationPtr) { self.record("commit"); });
    rt::addMethod(cls, rt::sel(WKSelector::didFinishNavigation),
                  [](TestWebDelegate& self, rt::ObjectPtr, WKNavigationPtr) { self.record("finish"); });
    rt::addMethod(cls, rt::sel(WKSelector::didFailProvisionalNavigation),
                  [](TestWebDelegate& self, rt::ObjectPtr, WKNavigationPtr, Error e) {
                      self.record("failProvisional:" + std::to_string(e.code));
                      self.errors.push_back(e);
                  });
    rt::addMethod(cls, rt::sel(WKSelector::didFailNavigation),
                  [](TestWebDelegate& self, rt::ObjectPtr, WKNavigationPtr, Error e) {
                      self.record("fail:" + std::to_string(e.code));
                      self.errors.push_back(e);
                  });
}

inline rt::Class* testDelegateClass() {
    static rt::Class* cls = [] {
        rt::Class* c = rt::registerClass<TestWebDelegate>("TestWebDelegate");
        addNavigationMethods(c);
        rt::addMethod(c, rt::sel(WKSelector::runAlertPanel),
                      [](TestWebDelegate& self, rt::ObjectPtr, std::string message, WKFrameInfo frame,
                         std::function<void()> done) {
                          self.record("alert:" + message);
                          self.panelFrame = frame;
                          self.alertDone = std::move(done);
                      });
        rt::addMethod(c, rt::sel(WKSelector::runConfirmPanel),
                      [](TestWebDelegate& self, rt::ObjectPtr, std::string message, WKFrameInfo frame,
                         std::function<void(bool)> done) {
                          self.record("confirm:" + message);
                          self.panelFrame = frame;
                          self.confirmDone = std::move(done);
                      });
        rt::addMethod(c, rt::sel(WKSelector::runTextInputPanel),
                      [](TestWebDelegate& self, rt::ObjectPtr, std::string message,
                         std::optional<std::string> def, WKFrameInfo frame,
                         std::function<void(std::optional<std::string>)> done) {
                          self.record("prompt:" + message + ":" + def.value_or("<none>"));
                          self.panelFrame = frame;
                          self.promptDone = std::move(done);
                      });
        rt::addMethod(c, rt::sel(WKSelector::createWebView),
                      [](TestWebDelegate& self, rt::ObjectPtr, WKWebViewConfiguration config,
                         WKNavigationAction action, WKWindowFeatures) -> rt::ObjectPtr {
                          self.record(std::string("createWebView:") +
                                      (action.targetFrame ? "frame" : "noframe"));
                          auto view = WKWebView::make({}, config);
                          self.windows.push_back(view);
                          return view;
                      });
        rt::addMethod(c, rt::sel(WKSelector::webViewDidClose),
                      [](TestWebDelegate& self, rt::ObjectPtr) { self.record("close"); });
        return c;
    }();
    return cls;
}

inline rt::Class* bareDelegateClass() {
    static rt::Class* cls = [] {
        rt::Class* c = rt::registerClass<TestWebDelegate>("TestWebBareDelegate");
        addNavigationMethods(c);
        return c;
    }();
    return cls;
}

// A web view with a recording delegate as navigation and UI delegate.
struct WebHarness {
    explicit WebHarness(rt::Class* delegateClass = testDelegateClass(), WKWebViewConfiguration config = {})
        : view(WKWebView::make({}, std::move(config))),
          delegate(std::static_pointer_cast<TestWebDelegate>(rt::createInstance(delegateClass))), web(view) {
        view->setNavigationDelegate(delegate);
        view->setUIDelegate(delegate);
    }
    std::vector<std::string>& events() { return delegate->events; }
    std::shared_ptr<WKWebView> view;
    std::shared_ptr<TestWebDelegate> delegate;
    sim::Web web;
};

inline std::optional<URL> u(const std::string& text) {
    return URL::parse(text);
}

} // namespace plat::test
