// The report store on disk over a fresh app home.

#include "crash/VZRFileManager.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIAlert.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

plat::FileManager& disk() {
    return plat::FileManager::defaultManager();
}

void touchFile(const std::string& path) {
    ASSERT_TRUE(disk().createFile(path, std::vector<uint8_t>{'x'}));
}

class ReportStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        bundle.makeMain();
        store = std::make_unique<VZRFileManager>();
    }
    std::vector<std::string> names(const std::string& dir) {
        auto all = disk().contentsOfDirectory(dir);
        return all ? all.value() : std::vector<std::string>{};
    }

    plat::test::TempAppHome home;
    plat::test::FixtureBundle bundle{home.root() + "/App.app",
                                     plat::Dictionary{{"CFBundleIdentifier", plat::Value("com.example/portal/x")}}};
    std::unique_ptr<VZRFileManager> store;
    plat::sim::ConsoleCapture console;
};

TEST_F(ReportStoreTest, TheRootIsPerApplicationUnderCachesAndTheStagesAreVersioned) {
    const std::string caches = disk().urls(plat::SearchPathDirectory::Caches).back();
    EXPECT_EQ(store->pathNamespace(), "com.example_portal_x");
    EXPECT_EQ(store->rootPath(), caches + "/com.vuzidorazav.data/com.example_portal_x");
    EXPECT_EQ(store->processingPath(), store->rootPath() + "/v3/processing");
    ASSERT_TRUE(store->prepareForNewLaunch());
    EXPECT_EQ(names(store->structurePath()), (std::vector<std::string>{"active", "prepared", "processing"}));
    const auto report = store->setupNewPathForExecutionIdentifier("E1");
    ASSERT_TRUE(report);
    EXPECT_EQ(*report, store->activePath() + "/E1");
    EXPECT_TRUE(disk().fileExists(*report));
}

TEST_F(ReportStoreTest, HiddenEntriesAreNeverListedMovedOrRemoved) {
    ASSERT_TRUE(store->prepareForNewLaunch());
    touchFile(store->activePath() + "/.hidden");
    touchFile(store->activePath() + "/b.multipartmime");
    ASSERT_TRUE(store->createDirectoryAtPath(store->activePath() + "/A"));
    EXPECT_EQ(store->activePathContents(),
              (std::vector<std::string>{store->activePath() + "/A", store->activePath() + "/b.multipartmime"}));
    std::vector<std::string> extensions;
    store->enumerateFilesInActiveDirectory(
        [&](const std::string&, const std::string& extension) { extensions.push_back(extension); });
    EXPECT_EQ(extensions, (std::vector<std::string>{"", "multipartmime"}));
    EXPECT_TRUE(store->moveItemsFromDirectory(store->activePath(), store->processingPath()));
    EXPECT_EQ(names(store->activePath()), std::vector<std::string>{".hidden"});
    EXPECT_EQ(names(store->processingPath()), (std::vector<std::string>{"A", "b.multipartmime"}));
    touchFile(store->processingPath() + "/.keep");
    // No "pending" folder: nothing to remove there, and the other stages are still emptied.
    EXPECT_TRUE(store->removeContentsOfPendingPath());
    EXPECT_TRUE(store->removeContentsOfAllPaths());
    EXPECT_EQ(names(store->processingPath()), std::vector<std::string>{".keep"});
    EXPECT_EQ(names(store->activePath()), std::vector<std::string>{".hidden"});
    EXPECT_FALSE(disk().fileExists(store->pendingPath()));
}

TEST_F(ReportStoreTest, ANameClashStopsTheMoveAndLeavesTheRest) {
    ASSERT_TRUE(store->prepareForNewLaunch());
    for (const char* name : {"a", "b", "c"})
        touchFile(store->activePath() + "/" + name);
    touchFile(store->processingPath() + "/b");
    EXPECT_FALSE(store->moveItemsFromDirectory(store->activePath(), store->processingPath()));
    EXPECT_EQ(names(store->activePath()), (std::vector<std::string>{"b", "c"}));
    EXPECT_NE(console.nslog().find("[FileManager] Failed to move file: "), std::string::npos);
    EXPECT_TRUE(store->moveItemsFromDirectory(store->pendingPath(), store->processingPath())); // empty source
}

TEST_F(ReportStoreTest, TheLegacyLayoutIsRemovedWithBothLines) {
    ASSERT_TRUE(store->createDirectoryAtPath(store->rootPath() + "/sendable"));
    touchFile(store->rootPath() + "/sendable/r");
    store->removeLegacyDirectories();
    EXPECT_FALSE(disk().fileExists(store->rootPath()));
    EXPECT_NE(console.nslog().find("[Vuzidorazav:FileManager] Removed legacy structure at " + store->rootPath()),
              std::string::npos);
    // Without "sendable" nothing happens.
    ASSERT_TRUE(store->prepareForNewLaunch());
    plat::sim::Console::clearCaptured();
    store->removeLegacyDirectories();
    EXPECT_TRUE(disk().fileExists(store->activePath()));
    EXPECT_EQ(console.nslog(), "");

    ASSERT_TRUE(store->createDirectoryAtPath(store->rootPath() + "/sendable"));
    plat::sim::Faults::fail("file.remove", store->rootPath(), EACCES);
    store->removeLegacyDirectories();
    const std::string log = console.nslog();
    const size_t failed = log.find("[Vuzidorazav:FileManager] Unable to remove legacy directory structure Error Domain=");
    ASSERT_NE(failed, std::string::npos);
    EXPECT_NE(log.find("[Vuzidorazav:FileManager] Removed legacy structure at ", failed), std::string::npos);
}

TEST_F(ReportStoreTest, FailuresGiveFalseAndTheirConsoleLine) {
    struct Case {
        const char* fault;
        std::function<bool()> call;
        const char* line;
    };
    ASSERT_TRUE(store->prepareForNewLaunch());
    touchFile(store->activePath() + "/r");
    const std::vector<Case> cases{
        {"file.mkdir", [&] { return store->createDirectoryAtPath(store->rootPath() + "/new"); },
         "[FileManager] Unable to create directory Error Domain="},
        {"file.remove", [&] { return store->removeItemAtPath(store->activePath() + "/r"); },
         "[FileManager] Failed to remove file '"},
        {"file.rename", [&] { return store->moveItemAtPath(store->activePath() + "/r", store->processingPath()); },
         "[FileManager] Failed to move file: Error Domain="},
        {nullptr, [&] { return store->moveItemAtPath(std::nullopt, store->processingPath()); },
         "[FileManager] Failed to move file, inputs invalid"},
        {nullptr, [&] { return store->fileSizeAtPath(store->rootPath() + "/missing").has_value(); },
         "[Client] Unable to read file size: Error Domain="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        plat::sim::Console::clearCaptured();
        if (c.fault)
            plat::sim::Faults::fail(c.fault, "", EIO);
        EXPECT_FALSE(c.call());
        EXPECT_NE(console.nslog().find(std::string("] ") + c.line), std::string::npos) << console.nslog();
        plat::sim::Faults::reset();
    }
    EXPECT_EQ(store->fileSizeAtPath(store->activePath() + "/r"), std::optional<uint64_t>(1));
}

TEST(VZRAlertTest, MakesAnUnshownAlertViewWithOneOtherButton) {
    plat::UIAlertView::runtimeClass();
    auto alert = std::dynamic_pointer_cast<plat::UIAlertView>(
        VZRAlert::alertWithTitle("T", "M", nullptr, std::string("Cancel"), std::string("Send")));
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->title(), "T");
    EXPECT_EQ(alert->numberOfButtons(), 2);
    EXPECT_EQ(alert->buttonTitleAtIndex(1), "Send");
    EXPECT_FALSE(alert->isVisible());
}

} // namespace
