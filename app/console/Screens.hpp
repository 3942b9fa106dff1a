#pragma once
// Finding what the device shows: the screen on top of the key window, the web view its page is in, every
// web view that is still loading, and the `state` report of the window's screens.

#include <memory>
#include <string>
#include <vector>

namespace plat {
class UIViewController;
class WKWebView;
class UIWebView;
} // namespace plat

namespace console {

// The screen the user sees: the key window's root, through navigation controllers to their top screen and
// through full-screen presentations (alerts sit over the screen and do not count).
std::shared_ptr<plat::UIViewController> visibleScreen();

// The web view a screen shows its page in: the topmost web view of its view tree (the newer kind first).
struct PageView {
    std::shared_ptr<plat::WKWebView> view;
    std::shared_ptr<plat::UIWebView> legacyView;
    explicit operator bool() const { return view || legacyView; }
};
PageView pageViewOf(const std::shared_ptr<plat::UIViewController>& screen);

// Whether a web view in any window is between its navigation request and its finish or failure.
bool anyPageLoading();

// The `state` report, one line each: windows, screens (indented by depth) with what their web views show,
// the other views of each screen with their hidden flag, and alerts on screen.
std::vector<std::string> describeScreens();

} // namespace console
