// The storyboard's scene on a real screen: the page shows where the placeholder is once the screen is laid
// out at launch, and follows it when the device turns; the offline view's reload button stays in its middle.

#include "app/tests/ScreenFixture.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/uikit/UIDevice.hpp"

namespace screen_test {
namespace {

using plat::CGRect;
using plat::UIInterfaceOrientation;
using plat::Virtual;

// The centre of a view's frame in its superview.
plat::CGPoint centre(const plat::UIView& view) {
    const CGRect f = view.frame();
    return {f.origin.x + f.size.width / 2, f.origin.y + f.size.height / 2};
}

class StoryboardLayoutTest : public ScreenTest {
protected:
    std::shared_ptr<ViewController> launch() {
        configure();
        plat::rt::registerClass("StoryboardLayoutDelegate");
        auto app = plat::sim::App::launch("StoryboardLayoutDelegate");
        Virtual::runUntilIdle();
        auto nav =
            std::dynamic_pointer_cast<plat::UINavigationController>(app->keyWindow()->rootViewController());
        EXPECT_NE(nav, nullptr);
        return nav ? std::dynamic_pointer_cast<ViewController>(nav->topViewController()) : nullptr;
    }
    void TearDown() override {
        plat::sim::Device::rotate(UIInterfaceOrientation::portrait);
        ScreenTest::TearDown();
    }
};

TEST_F(StoryboardLayoutTest, ThePageTakesThePlaceholdersFrameAtLaunchAndWhenTheDeviceTurns) {
    auto screen = launch();
    ASSERT_NE(screen, nullptr);
    auto wk = screen->wkWebView();
    ASSERT_NE(wk, nullptr);

    const CGRect portrait = plat::UIScreen::mainScreen().bounds();
    const CGRect below{{0, 20}, {portrait.size.width, portrait.size.height - 20}};
    EXPECT_EQ(screen->view()->frame(), portrait);
    EXPECT_EQ(screen->webView()->frame(), below);
    EXPECT_EQ(wk->frame(), below) << "laid out at launch, without a call by hand";

    plat::sim::Device::rotate(UIInterfaceOrientation::landscapeLeft);
    const CGRect sideways{{0, 20}, {portrait.size.height, portrait.size.width - 20}};
    EXPECT_EQ(screen->view()->frame().size.width, portrait.size.height);
    EXPECT_EQ(screen->webView()->frame(), sideways);
    EXPECT_EQ(wk->frame(), sideways);
    EXPECT_EQ(screen->connectionLostView()->frame(), sideways);

    // The button stays in the middle of the offline view.
    auto button = reloadButton(*screen);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(centre(*button).x, sideways.size.width / 2);
    EXPECT_EQ(centre(*button).y, sideways.size.height / 2);
    EXPECT_EQ(button->frame().size.width, 120);

    plat::sim::Device::rotate(UIInterfaceOrientation::portrait);
    EXPECT_EQ(wk->frame(), below) << "and back";
}

// A page that asks for a new window gets a screen of its own, whose page is laid out like the first one's.
TEST_F(StoryboardLayoutTest, AScreenPushedAfterATurnIsLaidOutInTheTurnedWindow) {
    auto first = launch();
    ASSERT_NE(first, nullptr);
    plat::sim::Device::rotate(UIInterfaceOrientation::landscapeRight);
    auto second = newScreen();
    first->navigationController()->pushViewController(second, true);
    Virtual::runUntilIdle();
    ASSERT_NE(second->wkWebView(), nullptr);
    EXPECT_EQ(second->wkWebView()->frame(), first->wkWebView()->frame());
    EXPECT_EQ(second->wkWebView()->frame().size.width, plat::UIScreen::mainScreen().bounds().size.width);
}

} // namespace
} // namespace screen_test
