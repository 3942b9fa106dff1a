// The kit's helpers: lifecycle sampling by installation hash, the repeating timer in virtual time, process
// activities with background tasks, the debug logger and the host application's Info.plist checks.

#include "ZazududIda/ZDAActivity.hpp"
#include "ZazududIda/ZDAApplication.hpp"
#include "ZazududIda/ZDAEventFilter.hpp"
#include "ZazududIda/ZDALogger.hpp"
#include "ZazududIda/ZDATimer.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/String.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIDevice.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

namespace {

using plat::Value;

// An installation ID whose hash is `target`: a fixed prefix and one last UTF-16 unit that lands on it.
std::string installationIDWithHash(int32_t target) {
    for (uint32_t n = 0;; ++n) {
        const std::string prefix = "install-" + std::to_string(n) + "-";
        const uint32_t h = static_cast<uint32_t>(ZDAEventFilter::javaHashCodeForString(prefix));
        const uint32_t last = static_cast<uint32_t>(target) - h * 31u;
        if (last >= 0x20 && last < 0xD800) {
            std::string id = prefix;
            plat::String::appendUTF8(id, static_cast<char32_t>(last));
            return id;
        }
    }
}

TEST(ZDASampling, JavaHashOverUTF16Units) {
    EXPECT_EQ(ZDAEventFilter::javaHashCodeForString("abc"), 96354);
    EXPECT_EQ(ZDAEventFilter::javaHashCodeForString(""), 0);
    // U+1F600 is the two units D83D DE00: 0xD83D * 31 + 0xDE00.
    EXPECT_EQ(ZDAEventFilter::javaHashCodeForString("\xF0\x9F\x98\x80"), 0xD83D * 31 + 0xDE00);
    // Long strings wrap in 32 bits instead of overflowing.
    EXPECT_EQ(ZDAEventFilter::javaHashCodeForString("polygenelubricants"), INT32_MIN);
    for (int32_t target : {30, 31, -30, -31, INT32_MIN}) {
        EXPECT_EQ(ZDAEventFilter::javaHashCodeForString(installationIDWithHash(target)), target);
    }
}

TEST(ZDASampling, AnInstallationKeepsAllOrNoneOfItsLifecycleEvents) {
    const ZDAEventFilter filter;
    const ZDALifecycleEvent launched("app_launched");
    struct Case {
        int32_t hash;
        int64_t factor;
        bool discarded;
    } cases[] = {
        {30, 10, false}, {31, 10, true}, {-30, 10, false}, {-31, 10, true}, {31, 1, false}, {31, 0, false},
        {31, -5, false}, {31, 31, false},
    };
    for (const auto& c : cases) {
        const std::string id = installationIDWithHash(c.hash);
        EXPECT_EQ(filter.shouldDiscardEvent(&launched, std::nullopt, id, c.factor), c.discarded)
            << "hash " << c.hash << " factor " << c.factor;
    }
    const std::string dropped = installationIDWithHash(31);
    EXPECT_FALSE(filter.shouldDiscardEvent(&launched, std::string("beta"), dropped, 10)) << "beta testers keep all";
    EXPECT_FALSE(filter.shouldDiscardEvent(&launched, std::nullopt, std::nullopt, 10)) << "no ID keeps all";
    EXPECT_TRUE(filter.shouldDiscardEvent(nullptr, std::nullopt, std::nullopt, 1));

    const ZDALifecycleEvent installed("app_installed");
    const ZDACustomEvent custom("x", std::nullopt);
    auto predefined = ZDAPredefinedEvent::searchEventWithQuery("q", std::nullopt);
    const ZDACrashEvent crash(plat::Date(1), 1);
    for (const ZDAEvent* kept : {static_cast<const ZDAEvent*>(&installed), static_cast<const ZDAEvent*>(&custom),
                                 static_cast<const ZDAEvent*>(predefined.get())}) {
        EXPECT_FALSE(filter.shouldDiscardEvent(kept, std::nullopt, dropped, 10)) << kept->name();
    }
    EXPECT_TRUE(filter.shouldDiscardEvent(&crash, std::nullopt, dropped, 10)) << "crashes are sampled too";
    for (const char* name : {"app_launched", "app_terminated", "app_crashed", "app_memory_warning",
                             "app_entered_background", "app_entered_foreground", "app_became_inactive",
                             "app_became_active"}) {
        EXPECT_TRUE(filter.samplingEnabledForEventType(name)) << name;
    }
}

TEST(ZDATimerTest, FiresEveryIntervalOnTheOperationQueue) {
    auto queue = plat::OperationQueue::create("zda.timer.test");
    int fired = 0;
    auto timer = ZDATimer::make(60, queue, "flush", [&] { ++fired; });
    EXPECT_EQ(timer->tolerance(), 6);
    EXPECT_EQ(timer->timerIdentifier(), "flush");
    plat::Virtual::advanceBy(59.5);
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(fired, 0);
    plat::Virtual::advanceBy(0.5);
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(fired, 1) << "first fire one interval after creation";
    plat::Virtual::advanceBy(60);
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(fired, 2);

    timer.reset();
    plat::Virtual::advanceBy(600);
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(fired, 2) << "a destroyed timer runs nothing";
    EXPECT_TRUE(plat::Virtual::pendingTimers().empty());
}

class ZDAActivityTest : public ::testing::Test {
protected:
    plat::test::TempAppHome home_;

    static std::vector<plat::sim::BackgroundTaskRecord> tasks() {
        return plat::sim::App::recorder().backgroundTasks();
    }
};

TEST_F(ZDAActivityTest, BackgroundTasksOnlyForTheTerminationOptions) {
    plat::test::FixtureBundle(home_.root() + "/App.app", plat::Dictionary{{"CFBundleIdentifier", Value("a.b")}}).makeMain();
    struct Case {
        uint64_t options;
        bool task;
    } cases[] = {{0, false}, {0x00FF, false}, {0x4000, true}, {0x8000, true}, {0xC0FF, true}};
    for (const auto& c : cases) {
        const size_t before = tasks().size();
        auto activity = ZDAActivity::beginActivity("upload", c.options);
        EXPECT_TRUE(activity->processInfoToken().has_value());
        EXPECT_EQ(activity->backgroundTaskIdentifier() != plat::UIBackgroundTaskInvalid, c.task) << c.options;
        ASSERT_EQ(tasks().size(), before + (c.task ? 1 : 0));
        if (c.task) {
            EXPECT_EQ(tasks().back().name, "upload");
        }
        activity->end();
        activity->end(); // harmless
        EXPECT_FALSE(activity->processInfoToken().has_value());
        EXPECT_EQ(activity->backgroundTaskIdentifier(), plat::UIBackgroundTaskInvalid);
        if (c.task) {
            EXPECT_TRUE(tasks().back().ended);
        }
    }
    const auto activities = plat::sim::Process::activities();
    ASSERT_EQ(activities.size(), 5u);
    for (const auto& a : activities) {
        EXPECT_TRUE(a.ended);
        EXPECT_EQ(a.reason, "upload");
    }
}

TEST_F(ZDAActivityTest, ExpirationCallsTheHandlerThenEndsTheTask) {
    plat::test::FixtureBundle(home_.root() + "/App.app", plat::Dictionary{}).makeMain();
    bool handled = false;
    auto activity = ZDAActivity::beginActivity("events", 0x8000, [&] {
        handled = true;
        EXPECT_FALSE(tasks().back().ended) << "the handler runs before the task ends";
    });
    plat::sim::App::expireBackgroundTasks();
    plat::Virtual::runUntilIdle();
    EXPECT_TRUE(handled);
    EXPECT_TRUE(tasks().back().expired);
    EXPECT_TRUE(tasks().back().ended);
    EXPECT_EQ(activity->backgroundTaskIdentifier(), plat::UIBackgroundTaskInvalid);
    EXPECT_TRUE(activity->processInfoToken().has_value()) << "the process activity lasts until the end";
    plat::sim::ConsoleCapture console;
    activity.reset();
    EXPECT_EQ(console.err().find("Can't end BackgroundTask"), std::string::npos) << "not ended a second time";
    EXPECT_TRUE(plat::sim::Process::activities().back().ended) << "destroying an activity ends it";
}

TEST_F(ZDAActivityTest, NoTaskInAnExtensionOrWithoutMultitasking) {
    plat::test::FixtureBundle(home_.root() + "/Ext.appex",
                              plat::Dictionary{{"NSExtension", Value(plat::Dictionary{{"NSExtensionPointIdentifier",
                                                                                       Value("com.x.widget")}})}})
        .makeMain();
    EXPECT_TRUE(ZDAApplication::hostApplication().isExtension());
    EXPECT_EQ(ZDAApplication::hostApplication().appSharedInstance(), nullptr);
    auto inExtension = ZDAActivity::beginActivity("x", 0xC000);
    EXPECT_EQ(inExtension->backgroundTaskIdentifier(), plat::UIBackgroundTaskInvalid);

    plat::test::FixtureBundle(home_.root() + "/App.app", plat::Dictionary{}).makeMain();
    struct NoMultitasking : plat::DeviceFacts {
        bool multitaskingSupported() const override { return false; }
    };
    plat::sim::setDeviceFacts(std::make_shared<NoMultitasking>());
    auto single = ZDAActivity::beginActivity("x", 0xC000);
    EXPECT_EQ(single->backgroundTaskIdentifier(), plat::UIBackgroundTaskInvalid);
    plat::sim::setDeviceFacts(nullptr);
    EXPECT_TRUE(tasks().empty());
}

TEST_F(ZDAActivityTest, TheOperationEndsItsActivityWhenItRuns) {
    plat::test::FixtureBundle(home_.root() + "/App.app", plat::Dictionary{}).makeMain();
    auto queue = plat::OperationQueue::create("zda.activity.test");
    auto operation = ZDAActivityOperation::operationByStartingActivityName("write", 0x4000);
    bool workDone = false;
    auto work = plat::BlockOperation::create([&] { workDone = true; });
    operation->addDependency(work);
    EXPECT_TRUE(operation->activity()->processInfoToken().has_value()) << "begun when made";
    queue->addOperation(operation);
    queue->addOperation(work);
    plat::Virtual::runUntilIdle();
    EXPECT_TRUE(workDone);
    EXPECT_FALSE(operation->activity()->processInfoToken().has_value());
    EXPECT_TRUE(tasks().back().ended);

    bool ran = false;
    ZDAActivity::performActivity("block", 0, [&](ZDAActivity& a) {
        ran = true;
        EXPECT_TRUE(a.processInfoToken().has_value());
    });
    EXPECT_TRUE(ran);
    EXPECT_TRUE(plat::sim::Process::activities().back().ended);
}

TEST(ZDALoggerTest, PrintsOnlyInDebugMode) {
    plat::sim::ConsoleCapture console;
    ZDALogger& logger = ZDALogger::sharedLogger();
    EXPECT_FALSE(logger.debugMode());
    logger.log("hidden %d", 1);
    logger.logWithLabel("WriteOperation", "hidden");
    EXPECT_EQ(console.nslog(), "");
    logger.setDebugMode(true);
    logger.log("shown %d", 2);
    logger.logWithLabel("WriteOperation", "also %@", Value("this"));
    const std::string out = console.nslog();
    EXPECT_NE(out.find("] [Zuvidir] shown 2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("] [Zuvidir:WriteOperation] also this\n"), std::string::npos) << out;
}

TEST(ZDAApplicationTest, InfoPlistValuesAndExtensionChecks) {
    const ZDAApplication app(plat::Dictionary{{"CFBundleIdentifier", Value("com.example.portal")},
                                              {"CFBundleVersion", Value("42")},
                                              {"CFBundleShortVersionString", Value("1.2")}});
    EXPECT_EQ(app.bundleIdentifier(), "com.example.portal");
    EXPECT_EQ(app.bundleVersion(), "42");
    EXPECT_EQ(app.shortVersionString(), "1.2");
    EXPECT_FALSE(app.isExtension());
    EXPECT_FALSE(ZDAApplication(std::nullopt).bundleIdentifier());

    struct Case {
        Value extension;
        bool isExtension;
        const char* line;
    } cases[] = {
        {Value(plat::Dictionary{{"NSExtensionPointIdentifier", Value("com.x")}}), true, nullptr},
        {Value("oops"), false, "Error: NSExtension Info.plist entry is mal-formed oops\n"},
        {Value(plat::Dictionary{}), false, "Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n"},
        {Value(plat::Dictionary{{"NSExtensionPointIdentifier", Value(int64_t(3))}}), false,
         "Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n"},
    };
    for (const auto& c : cases) {
        plat::sim::ConsoleCapture console;
        plat::sim::Console::clearCaptured();
        const ZDAApplication ext(plat::Dictionary{{"NSExtension", c.extension}});
        EXPECT_EQ(ext.isExtension(), c.isExtension);
        if (c.line) {
            EXPECT_NE(console.nslog().find(c.line), std::string::npos) << console.nslog();
        } else {
            EXPECT_EQ(console.nslog(), "");
        }
    }
}

} // namespace
