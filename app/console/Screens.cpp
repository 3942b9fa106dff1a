#include "app/console/Screens.hpp"

#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIAlert.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UINavigationController.hpp"
#include "platform/uikit/UIView.hpp"
#include "platform/uikit/UIWindow.hpp"
#include "platform/webkit/UIWebView.hpp"
#include "platform/webkit/WKWebView.hpp"

#include <functional>

namespace console {
namespace {

using plat::UIView;
using plat::UIViewController;

std::vector<std::shared_ptr<plat::UIWindow>> windows() {
    auto app = plat::UIApplication::sharedApplication();
    if (!app) {
        return {};
    }
    auto list = app->windows();
    if (auto key = app->keyWindow()) {
        std::erase(list, key);
        list.insert(list.begin(), key);
    }
    return list;
}

// Depth first, later subviews (drawn on top) first.
void eachView(const std::shared_ptr<UIView>& view,
              const std::function<bool(const std::shared_ptr<UIView>&)>& fn) {
    if (!view || !fn(view)) {
        return;
    }
    const auto& subviews = view->subviews();
    for (auto it = subviews.rbegin(); it != subviews.rend(); ++it) {
        eachView(*it, fn);
    }
}

// Every controller reachable from a root: children and presented controllers.
void eachController(const std::shared_ptr<UIViewController>& vc,
                    const std::function<void(const std::shared_ptr<UIViewController>&, int depth)>& fn,
                    int depth = 0) {
    if (!vc) {
        return;
    }
    fn(vc, depth);
    for (const auto& child : vc->childViewControllers()) {
        eachController(child, fn, depth + 1);
    }
    eachController(vc->presentedViewController(), fn, depth + 1);
}

std::string pageText(const std::optional<plat::URL>& url, const std::string& title, bool loading) {
    std::string text = url ? url->absoluteString() : std::string("(nothing loaded)");
    if (!title.empty()) {
        text += " \"" + title + "\"";
    }
    if (loading) {
        text += " (loading)";
    }
    return text;
}

} // namespace

std::shared_ptr<UIViewController> visibleScreen() {
    auto list = windows();
    if (list.empty()) {
        return nullptr;
    }
    auto vc = list.front()->rootViewController();
    while (vc) {
        if (auto nav = std::dynamic_pointer_cast<plat::UINavigationController>(vc);
            nav && nav->topViewController()) {
            vc = nav->topViewController();
            continue;
        }
        auto presented = vc->presentedViewController();
        if (presented && !std::dynamic_pointer_cast<plat::UIAlertController>(presented)) {
            vc = presented;
            continue;
        }
        break;
    }
    return vc;
}

PageView pageViewOf(const std::shared_ptr<UIViewController>& screen) {
    PageView found;
    if (!screen || !screen->isViewLoaded()) {
        return found;
    }
    eachView(screen->view(), [&found](const std::shared_ptr<UIView>& view) {
        if (auto wk = std::dynamic_pointer_cast<plat::WKWebView>(view)) {
            found.view = wk;
            return false;
        }
        if (auto legacy = std::dynamic_pointer_cast<plat::UIWebView>(view); legacy && !found.legacyView) {
            found.legacyView = legacy;
        }
        return !found.view;
    });
    if (found.view) {
        found.legacyView = nullptr;
    }
    return found;
}

bool anyPageLoading() {
    bool loading = false;
    auto webViewLoading = [&loading](const std::shared_ptr<UIView>& view) {
        if (auto wk = std::dynamic_pointer_cast<plat::WKWebView>(view)) {
            loading = loading || wk->isLoading();
        } else if (auto legacy = std::dynamic_pointer_cast<plat::UIWebView>(view)) {
            loading = loading || legacy->isLoading();
        }
        return !loading;
    };
    for (const auto& window : windows()) {
        eachController(window->rootViewController(),
                       [&loading, &webViewLoading](const std::shared_ptr<UIViewController>& vc, int) {
                           if (loading || !vc->isViewLoaded()) {
                               return;
                           }
                           eachView(vc->view(), webViewLoading);
                       });
        // Screens a service client shows over the window on its own (the push client's launch-URL web view)
        // are in the window's views but not under its root screen.
        if (!loading) {
            eachView(window, webViewLoading);
        }
    }
    return loading;
}

std::vector<std::string> describeScreens() {
    std::vector<std::string> lines;
    auto list = windows();
    if (list.empty()) {
        lines.emplace_back("state: no window");
        return lines;
    }
    for (const auto& window : list) {
        lines.push_back(std::string("state: ") + (window->isKeyWindow() ? "key window" : "window"));
        eachController(window->rootViewController(), [&lines](const std::shared_ptr<UIViewController>& vc,
                                                              int depth) {
            const std::string indent(static_cast<size_t>(depth + 1) * 2, ' ');
            if (auto alert = std::dynamic_pointer_cast<plat::UIAlertController>(vc)) {
                std::string line = indent + "alert: " + alert->title();
                if (!alert->message().empty()) {
                    line += " - " + alert->message();
                }
                for (const auto& action : alert->actions()) {
                    line += " [" + action->title() + "]";
                }
                lines.push_back(line);
                return;
            }
            lines.push_back(indent + plat::rt::className(*vc) + (vc->isAppeared() ? " (shown)" : ""));
            if (!vc->isViewLoaded()) {
                return;
            }
            const auto page = pageViewOf(vc);
            // Screens that name their connection-lost view (an outlet the runtime can read) get it labelled.
            plat::rt::ObjectPtr lost;
            if (plat::rt::respondsTo(vc, plat::rt::sel("connectionLostView"))) {
                lost = plat::rt::msgSend<plat::rt::ObjectPtr>(vc, plat::rt::sel("connectionLostView"));
            }
            for (const auto& view : vc->view()->subviews()) {
                std::string line = indent + "  " + plat::rt::className(*view);
                if (lost && view == lost) {
                    line += " (connection-lost view)";
                }
                if (auto wk = std::dynamic_pointer_cast<plat::WKWebView>(view)) {
                    line += ": " + pageText(wk->url(), wk->title(), wk->isLoading());
                } else if (auto legacy = std::dynamic_pointer_cast<plat::UIWebView>(view);
                           legacy && !page.view) {
                    line += ": " + pageText(legacy->url(), legacy->engine()->title(), legacy->isLoading());
                }
                line += view->isHidden() ? " (hidden)" : "";
                lines.push_back(line);
            }
        });
    }
    return lines;
}

} // namespace console
