// Screen views on the simulated device: the hooks see appearance calls, the key window's stack picks the
// screen on top, "_vs" carries the current and previous screen, app events carry the current one, manual
// names, inactive periods, the performance delegate, and engagement cut at screen changes.

#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/tests/MeasurementScreenFixture.hpp"
#include "platform/dispatch/Thread.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/uikit/UINavigationController.hpp"
#include "platform/uikit/UITabBarController.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace {

using dms::test::ScreenFixture;

class DMSScreenViewReporterTest : public ScreenFixture {
protected:
    std::vector<plat::Dictionary> screenViews() const {
        std::vector<plat::Dictionary> found;
        for (const auto& event : eventsNamed("_vs")) {
            EXPECT_EQ(event.origin, "auto");
            found.push_back(event.parameters);
        }
        return found;
    }
    static int64_t integer(const plat::Dictionary& parameters, const std::string& key) {
        const plat::Value* value = parameters.find(key);
        EXPECT_TRUE(value) << key;
        return value ? value->integerValue() : -1;
    }
    static std::string text(const plat::Dictionary& parameters, const std::string& key) {
        const plat::Value* value = parameters.find(key);
        return value && value->isString() ? value->asString() : std::string("<none>");
    }
};

class RecordingPerfDelegate : public DMSScreenViewReporterDelegate {
public:
    void viewControllerDidAppear(plat::UIViewController& controller, bool tracked) override {
        appeared.emplace_back(controller.isa()->name(), tracked);
    }
    void viewControllerDidDisappear(plat::UIViewController& controller) override {
        disappeared.push_back(controller.isa()->name());
    }
    std::vector<std::pair<std::string, bool>> appeared;
    std::vector<std::string> disappeared;
};

TEST_F(DMSScreenViewReporterTest, TheRootScreenIsViewedAndAppEventsCarryItThroughThePipeline) {
    launch({}, false);
    show(controller("Portal.HomeViewController"));
    DMSAnalytics::logEventWithName("tap", {});
    settle();
    std::optional<dms::test::StoredRawEvent> view;
    std::optional<dms::test::StoredRawEvent> tap;
    for (const auto& event : storedRawEvents()) {
        if (event.name == "_vs") {
            view = event;
        } else if (event.name == "tap") {
            tap = event;
        }
    }
    ASSERT_TRUE(view);
    ASSERT_TRUE(tap);
    EXPECT_EQ(view->stringParameter("_sc"), "HomeViewController");
    EXPECT_FALSE(view->stringParameter("_pc"));
    EXPECT_EQ(tap->stringParameter("_sc"), "HomeViewController");
    EXPECT_EQ(tap->intParameter("_si"), view->intParameter("_si"));
    EXPECT_FALSE(tap->stringParameter("_sn"));
}

TEST_F(DMSScreenViewReporterTest, ManualScreenNamesFollowTheTopControllerAndDuplicatesAreIgnored) {
    launch();
    DMSAnalytics::setScreenName(std::string("Early"), std::nullopt);
    EXPECT_EQ(countOf(31003), 1u);

    show(controller("Portal.HomeViewController"));
    ASSERT_EQ(screenViews().size(), 1u);
    const int64_t s0 = integer(screenViews()[0], "_si");

    DMSAnalytics::setScreenName(std::string("Checkout"), std::nullopt);
    ASSERT_EQ(screenViews().size(), 2u);
    const plat::Dictionary manual = screenViews()[1];
    EXPECT_EQ(text(manual, "_sn"), "Checkout");
    EXPECT_EQ(text(manual, "_sc"), "HomeViewController");
    EXPECT_EQ(integer(manual, "_si"), s0 + 1);
    EXPECT_EQ(text(manual, "_pc"), "HomeViewController");
    EXPECT_EQ(integer(manual, "_pi"), s0);
    EXPECT_FALSE(manual.find("_pn"));

    monitor.clear();
    DMSAnalytics::setScreenName(std::string("Checkout"), std::nullopt);
    EXPECT_EQ(screenViews().size(), 2u);
    EXPECT_EQ(codesAmong({31004, 31009}), std::vector<int64_t>{31004});

    std::thread([] { DMSAnalytics::setScreenName(std::string("Elsewhere"), std::nullopt); }).join();
    EXPECT_EQ(countOf(25025), 1u);
    EXPECT_EQ(screenViews().size(), 2u);

    // Refused names change nothing.
    DMSAnalytics::setScreenName(std::string(101, 'n'), std::nullopt);
    DMSAnalytics::setScreenName(std::nullopt, std::string());
    EXPECT_EQ(codesAmong({31001, 31002}), (std::vector<int64_t>{31001, 31002}));
    EXPECT_EQ(screenViews().size(), 2u);
}

TEST_F(DMSScreenViewReporterTest, PushedAndPoppedScreensKeepTheirInstanceAndTheBottomEntryStays) {
    launch();
    auto list = controller("Portal.ListViewController");
    auto navigation = plat::UINavigationController::make(list);
    show(navigation);
    auto detail = controller("Portal.DetailViewController");
    navigation->pushViewController(detail, false);
    settle();
    navigation->popViewControllerAnimated(false);
    settle();
    const auto views = screenViews();
    ASSERT_EQ(views.size(), 3u);
    EXPECT_EQ(text(views[0], "_sc"), "ListViewController");
    EXPECT_EQ(text(views[1], "_sc"), "DetailViewController");
    EXPECT_EQ(text(views[1], "_pc"), "ListViewController");
    EXPECT_EQ(text(views[2], "_sc"), "ListViewController");
    EXPECT_EQ(integer(views[2], "_si"), integer(views[0], "_si"));
    EXPECT_EQ(integer(views[2], "_pi"), integer(views[1], "_si"));

    auto stack = DMSKeyWindowScreenStack();
    ASSERT_TRUE(stack);
    ASSERT_FALSE(stack->entries.empty());
    EXPECT_EQ(stack->entries.front().lock(), navigation);
}

TEST_F(DMSScreenViewReporterTest, PrivateSystemControllersAreNeverTrackedAndTheDelegateHearsSo) {
    launch();
    auto delegate = std::make_shared<RecordingPerfDelegate>();
    DMSScreenViewReporter::sharedInstance().setVedudoduPerfDelegate(delegate);
    auto other = std::make_shared<RecordingPerfDelegate>();
    DMSScreenViewReporter::sharedInstance().setVedudoduPerfDelegate(other);
    EXPECT_EQ(countOf(31016), 1u);

    plat::rt::Class* hidden =
        plat::rt::registerClass<plat::UIViewController>("_UIHiddenHostController", plat::UIViewController::runtimeClass());
    plat::Bundle::registerSystemClass("_UIHiddenHostController");
    auto home = controller("Portal.HomeViewController");
    show(home);
    auto overlay = std::dynamic_pointer_cast<plat::UIViewController>(plat::rt::createInstance(hidden));
    ASSERT_TRUE(home->presentViewController(overlay, false));
    settle();
    EXPECT_FALSE(DMSShouldTrackViewController(*overlay));
    EXPECT_EQ(screenViews().size(), 1u);
    EXPECT_EQ(delegate->appeared, (std::vector<std::pair<std::string, bool>>{
                                      {"Portal.HomeViewController", true}, {"_UIHiddenHostController", false}}));
    EXPECT_TRUE(other->appeared.empty());

    // An app class with the same kind of name is the app's own and is tracked.
    auto own = controller("_AppOwnController");
    home->dismissViewControllerAnimated(false);
    settle();
    ASSERT_TRUE(home->presentViewController(own, false));
    settle();
    ASSERT_EQ(screenViews().size(), 2u);
    EXPECT_EQ(text(screenViews()[1], "_sc"), "_AppOwnController");

    DMSScreenViewReporter::sharedInstance().setVedudoduPerfDelegate(nullptr);
    DMSScreenViewReporter::sharedInstance().setVedudoduPerfDelegate(other);
    EXPECT_EQ(countOf(31016), 1u);
}

TEST_F(DMSScreenViewReporterTest, AScreenChangeWhileInactiveIsLoggedAtTheNextActivation) {
    launch();
    auto home = controller("Portal.HomeViewController");
    show(home);
    plat::sim::App::resignActive();
    settle();
    auto settings = controller("Portal.SettingsViewController");
    window->setRootViewController(settings);
    settle();
    EXPECT_EQ(screenViews().size(), 1u);
    EXPECT_EQ(countOf(31013), 1u);
    plat::sim::App::becomeActive();
    settle();
    const auto views = screenViews();
    ASSERT_EQ(views.size(), 2u);
    EXPECT_EQ(text(views[1], "_sc"), "SettingsViewController");
    EXPECT_EQ(text(views[1], "_pc"), "HomeViewController");
}

TEST_F(DMSScreenViewReporterTest, AScreenChangeEndsTheEngagementPeriodOnlyAfterASecond) {
    launch();
    auto home = controller("Portal.HomeViewController");
    show(home);
    const int64_t home_si = integer(screenViews()[0], "_si");
    plat::Virtual::advanceBy(0.5);
    window->setRootViewController(controller("Portal.SettingsViewController"));
    settle();
    EXPECT_TRUE(eventsNamed("_e").empty());
    plat::Virtual::advanceBy(0.5);
    window->setRootViewController(controller("Portal.AboutViewController"));
    settle();
    const auto engagement = eventsNamed("_e");
    ASSERT_EQ(engagement.size(), 1u);
    EXPECT_EQ(parameter(engagement[0], "_et"), plat::Value(int64_t{1000}));
    EXPECT_EQ(text(engagement[0].parameters, "_sc"), "SettingsViewController");
    EXPECT_EQ(integer(engagement[0].parameters, "_si"), home_si + 1);
}

TEST_F(DMSScreenViewReporterTest, CallOutsFromTheReportersQueueReachThePipelineWithoutWaitingForIt) {
    launch({}, false);
    show(controller("Portal.HomeViewController"));
    plat::Virtual::advanceBy(2);
    window->setRootViewController(controller("Portal.SettingsViewController"));
    settle();
    plat::sim::App::resignActive();
    settle();
    std::vector<std::string> names;
    for (const auto& event : storedRawEvents()) {
        // Only what happened on a screen: an engagement period may also end before the first screen appeared.
        if ((event.name == "_vs" || event.name == "_e") && event.stringParameter("_sc")) {
            names.push_back(event.name + ":" + event.stringParameter("_sc").value_or(""));
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"_vs:HomeViewController", "_e:HomeViewController",
                                               "_vs:SettingsViewController", "_e:SettingsViewController"}));
}

TEST(DMSScreenNames, ModulePrefixesAndLengths) {
    struct Case {
        const char* input;
        const char* expected;
    };
    for (const Case& c : {Case{"Portal.HomeViewController", "HomeViewController"}, Case{"A.B.Screen", "Screen"},
                          Case{"Trailing.", "Trailing."}, Case{"Plain", "Plain"}, Case{".Lead", "Lead"}}) {
        EXPECT_EQ(DMSClassNameWithoutModule(c.input), c.expected) << c.input;
    }
}

TEST_F(DMSScreenViewReporterTest, LongClassNamesAreCutToAHundredCharactersAndForeignAssociationsAreDropped) {
    launch();
    const std::string hundred(100, 'H');
    show(controller("Portal." + hundred + "X"));
    ASSERT_EQ(screenViews().size(), 1u);
    EXPECT_EQ(text(screenViews()[0], "_sc"), hundred);
    EXPECT_EQ(countOf(31007), 1u);

    auto exact = controller(hundred);
    monitor.clear();
    window->setRootViewController(exact);
    settle();
    EXPECT_EQ(text(screenViews()[1], "_sc"), hundred);
    EXPECT_EQ(countOf(31007), 0u);

    plat::rt::setAssociated(*exact, DMSViewControllerScreenKey(), plat::Value("not a screen"),
                            plat::rt::AssociationPolicy::Retain);
    EXPECT_FALSE(DMSViewControllerScreen(*exact));
    EXPECT_EQ(countOf(36000), 1u);
    plat::rt::setAssociated(*window, DMSWindowScreenStackKey(), plat::Value(int64_t{3}),
                            plat::rt::AssociationPolicy::Retain);
    EXPECT_FALSE(DMSWindowScreenStack(*window));
    EXPECT_EQ(countOf(38000), 1u);
}

TEST_F(DMSScreenViewReporterTest, ScreenReportingSwitchedOffInInfoPlistInstallsNoHooks) {
    plat::Dictionary info;
    info.set(DMSScreenViewReporter::kScreenReportingEnabledKey, plat::Value(false));
    info.set(DMSScreenViewReporter::kAutomaticScreenReportingEnabledKey, plat::Value(true));
    makeBundle(dms::test::engineOptionsFile(), info);
    startEngine();
    recorder.emplace();
    plat::rt::registerClass("ScreenTestAppDelegate", plat::rt::rootClass(), {"UIApplicationDelegate"});
    app = plat::sim::App::launch("ScreenTestAppDelegate");
    show(controller("Portal.HomeViewController"));
    EXPECT_TRUE(screenViews().empty());
    EXPECT_TRUE(DMSScreenViewReporter::sharedInstance().screenParameters().empty());
    DMSAnalytics::setScreenName(std::string("Checkout"), std::nullopt);
    EXPECT_EQ(countOf(31000), 1u);
}

} // namespace
