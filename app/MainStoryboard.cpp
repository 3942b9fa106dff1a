#include "app/MainStoryboard.hpp"

#include "app/Strings.hpp"
#include "app/ViewController.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIControls.hpp"
#include "platform/uikit/UINavigationController.hpp"
#include "platform/uikit/UIStoryboard.hpp"
#include "platform/webkit/UIWebView.hpp"

#include <mutex>
#include <string>

namespace {

// Below the status bar, the whole width and the rest of the height: where the page shows.
plat::CGRect pageFrame(const plat::CGRect& root) {
    constexpr double statusBar = 20;
    return plat::CGRect{{0, statusBar}, {root.size.width, root.size.height - statusBar}};
}

// Kept centred in its superview when the screen turns.
constexpr uint64_t kCentred =
    plat::UIViewAutoresizingFlexibleLeftMargin | plat::UIViewAutoresizingFlexibleRightMargin |
    plat::UIViewAutoresizingFlexibleTopMargin | plat::UIViewAutoresizingFlexibleBottomMargin;
// Stretched with its superview when the screen turns.
constexpr uint64_t kStretched =
    plat::UIViewAutoresizingFlexibleWidth | plat::UIViewAutoresizingFlexibleHeight;

void buildScene(ViewController& screen, plat::UIView& root) {
    const plat::CGRect page = pageFrame(root.frame());

    auto placeholder = plat::UIWebView::make(page);
    placeholder->setAutoresizingMask(kStretched);
    placeholder->setDelegate(screen.shared_from_this());
    root.addSubview(placeholder);

    auto connectionLost = plat::UIView::make(page);
    connectionLost->setHidden(true);
    connectionLost->setAutoresizingMask(kStretched);
    auto button =
        plat::UIButton::make(plat::CGRect{{page.size.width / 2 - 60, page.size.height / 2 - 22}, {120, 44}});
    button->setTitle("Reload");
    button->setAutoresizingMask(kCentred);
    button->addTarget(screen.shared_from_this(), plat::rt::sel("reloadButtonAction"),
                      plat::UIControlEventTouchUpInside);
    connectionLost->addSubview(button);
    root.addSubview(connectionLost);

    auto spinner = plat::UIActivityIndicatorView::make();
    spinner->setFrame(
        plat::CGRect{{page.size.width / 2 - 10, page.origin.y + page.size.height / 2 - 10}, {20, 20}});
    spinner->setHidesWhenStopped(true);
    spinner->setAutoresizingMask(kCentred);
    root.addSubview(spinner);

    screen.setWebView(placeholder);
    screen.setConnectionLostView(connectionLost);
    screen.setActivityIndicatorView(spinner);
}

std::shared_ptr<plat::UIViewController> makeScreen() {
    auto screen = ViewController::make();
    screen->setSceneBuilder(buildScene);
    return screen;
}

std::shared_ptr<plat::UIViewController> makeNavigationController() {
    // Through the storyboard, so the root screen knows it and can open new windows from it.
    auto root =
        plat::UIStoryboard::storyboardWithName(std::string(Strings::Storyboard::main))
            ->instantiateViewControllerWithIdentifier(std::string(Strings::ViewController::identifier));
    return plat::UINavigationController::make(root);
}

} // namespace

void registerMainStoryboard() {
    static std::once_flag once;
    std::call_once(once, [] {
        const std::string board(Strings::Storyboard::main);
        ViewController::runtimeClass();
        plat::UIStoryboard::registerScreen(board, std::string(Strings::ViewController::identifier),
                                           makeScreen);
        plat::UIStoryboard::registerScreen(board, kMainNavigationControllerIdentifier,
                                           makeNavigationController);
        plat::UIStoryboard::setInitialScreen(board, kMainNavigationControllerIdentifier);
    });
}

std::shared_ptr<plat::UIButton> reloadButton(const ViewController& screen) {
    auto connectionLost = screen.connectionLostView();
    if (!connectionLost) {
        return nullptr;
    }
    for (const auto& view : connectionLost->subviews()) {
        if (auto button = std::dynamic_pointer_cast<plat::UIButton>(view)) {
            return button;
        }
    }
    return nullptr;
}
