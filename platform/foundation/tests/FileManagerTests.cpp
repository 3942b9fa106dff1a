#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

using namespace plat;
using plat::sim::Faults;

namespace {

Data bytes(std::string_view s) {
    return Data(s.begin(), s.end());
}

std::string text(const Result<Data>& r) {
    return r ? std::string(r->begin(), r->end()) : std::string("<error>");
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

int64_t underlyingErrno(const Error& e) {
    return e.underlyingError ? e.underlyingError->code : -1;
}

class FileManagerTest : public ::testing::Test {
protected:
    test::TempAppHome home;
    FileManager& fm = FileManager::defaultManager();
    std::string docs = AppHome::documents();
};

TEST_F(FileManagerTest, AppHomeHasTheSandboxFoldersAndPrivateTmp) {
    for (const auto& folder :
         {AppHome::documents(), AppHome::applicationSupport(), AppHome::caches(), AppHome::preferences(),
          AppHome::cookies(), AppHome::tmp(), AppHome::deviceFolder()}) {
        bool isDir = false;
        EXPECT_TRUE(fm.fileExists(folder, &isDir)) << folder;
        EXPECT_TRUE(isDir) << folder;
    }
    EXPECT_EQ(modeOf(AppHome::tmp()), 0700u);
    EXPECT_EQ(modeOf(AppHome::deviceFolder()), 0700u);
    EXPECT_EQ(AppHome::deviceFolder(), home.home() + ".device");
    EXPECT_EQ(fm.temporaryDirectory(), home.home() + "/tmp/");
    EXPECT_EQ(fm.urls(SearchPathDirectory::ApplicationSupport),
              std::vector<std::string>{home.home() + "/Library/Application Support"});
    EXPECT_EQ(fm.urls(SearchPathDirectory::Document), std::vector<std::string>{docs});
    EXPECT_TRUE(fm.urls(SearchPathDirectory::Caches, 8).empty()); // only the user domain exists
}

TEST_F(FileManagerTest, WriteModesCreateReplaceOrRefuse) {
    std::string path = docs + "/a.bin";
    ASSERT_TRUE(writeData(path, bytes("one")));
    EXPECT_EQ(modeOf(path), 0644u);
    ASSERT_TRUE(writeData(path, bytes("two"), WriteOptions().setAtomic()));
    EXPECT_EQ(text(readData(path)), "two");

    auto exclusive = writeData(path, bytes("three"), WriteOptions().setWithoutOverwriting());
    ASSERT_FALSE(exclusive);
    EXPECT_TRUE(exclusive.error().is(NSCocoaErrorDomain, NSFileWriteFileExistsError));
    auto exclusiveAtomic =
        writeData(path, bytes("three"), WriteOptions().setAtomic().setWithoutOverwriting());
    ASSERT_FALSE(exclusiveAtomic);
    EXPECT_EQ(exclusiveAtomic.error().code, NSFileWriteFileExistsError);
    EXPECT_EQ(text(readData(path)), "two");

    EXPECT_TRUE(writeData(docs + "/fresh", bytes("x"), WriteOptions().setAtomic().setWithoutOverwriting()));
    EXPECT_EQ(text(readData(docs + "/fresh")), "x");
}

TEST_F(FileManagerTest, SecretsStay0600AcrossAtomicRewrites) {
    std::string path = docs + "/secret";
    ASSERT_TRUE(writeData(path, bytes("s1"), WriteOptions().setAtomic().setPermissions(0600)));
    EXPECT_EQ(modeOf(path), 0600u);
    // A rewrite that names no mode must not widen an existing secret.
    ASSERT_TRUE(writeData(path, bytes("s2"), WriteOptions().setAtomic()));
    EXPECT_EQ(modeOf(path), 0600u);
    ASSERT_TRUE(
        fm.createFile(docs + "/created", bytes("c"), Dictionary{{NSFilePosixPermissions, Value(0600)}}));
    EXPECT_EQ(modeOf(docs + "/created"), 0600u);
}

TEST_F(FileManagerTest, InjectedFaultsOnEveryWriteStepKeepTheOldFileAndLeaveNoTemporaries) {
    std::string path = docs + "/state.plist";
    ASSERT_TRUE(writeData(path, bytes("old")));
    for (const char* op : {"file.open", "file.write", "file.rename"}) {
        SCOPED_TRACE(op);
        Faults::fail(op, "state.plist", ENOSPC);
        auto r = writeData(path, bytes("new"), WriteOptions().setAtomic());
        ASSERT_FALSE(r);
        EXPECT_TRUE(r.error().is(NSCocoaErrorDomain, NSFileWriteOutOfSpaceError));
        EXPECT_EQ(r.error().userInfoValue(NSFilePathErrorKey)->asString(), path);
        ASSERT_TRUE(r.error().underlyingError);
        EXPECT_TRUE(r.error().underlyingError->is(NSPOSIXErrorDomain, ENOSPC));
        EXPECT_EQ(text(readData(path)), "old");
        EXPECT_EQ(*fm.contentsOfDirectory(docs), std::vector<std::string>{"state.plist"});
    }
    EXPECT_EQ(Faults::firedCount("file.rename"), 1);
    // The fault was used up: the next write goes through.
    EXPECT_TRUE(writeData(path, bytes("new"), WriteOptions().setAtomic()));
    EXPECT_EQ(text(readData(path)), "new");
}

TEST_F(FileManagerTest, FaultMatchersSelectTheirSubjects) {
    Faults::fail("file.write", "*.log", EIO, Faults::kAlways);
    EXPECT_FALSE(writeData(docs + "/a.log", bytes("x")));
    EXPECT_FALSE(writeData(docs + "/b.log", bytes("x")));
    EXPECT_TRUE(writeData(docs + "/a.txt", bytes("x")));
    Faults::fail("file.read", "", EIO, 2);
    EXPECT_FALSE(readData(docs + "/a.txt"));
    EXPECT_FALSE(readData(docs + "/a.txt"));
    EXPECT_TRUE(readData(docs + "/a.txt"));
}

TEST_F(FileManagerTest, ErrorsMapErrnoOntoFileCodes) {
    ASSERT_TRUE(writeData(docs + "/file", bytes("x")));
    struct Case {
        const char* what;
        Result<void> result;
        int64_t code;
        int err;
    };
    Case cases[] = {
        {"write into a missing folder", writeData(docs + "/missing/x", bytes("x")), NSFileNoSuchFileError,
         ENOENT},
        {"write below a file", writeData(docs + "/file/x", bytes("x")), NSFileNoSuchFileError, ENOTDIR},
        {"remove a missing path", fm.removeItem(docs + "/nothing"), NSFileNoSuchFileError, ENOENT},
        {"move a missing path", fm.moveItem(docs + "/nothing", docs + "/x"), NSFileNoSuchFileError, ENOENT},
        {"folder without its parent", fm.createDirectory(docs + "/p/q", false), NSFileNoSuchFileError,
         ENOENT},
        {"folder where a file is", fm.createDirectory(docs + "/file", true), NSFileWriteFileExistsError,
         EEXIST},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_FALSE(c.result);
        EXPECT_EQ(c.result.error().domain, NSCocoaErrorDomain);
        EXPECT_EQ(c.result.error().code, c.code);
        EXPECT_EQ(underlyingErrno(c.result.error()), c.err);
    }
    auto missing = readData(docs + "/nothing");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, NSFileReadNoSuchFileError);
    auto folder = readData(docs);
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error().code, NSFileReadUnknownError);
    auto listing = fm.contentsOfDirectory(docs + "/file");
    ASSERT_FALSE(listing);
    EXPECT_EQ(listing.error().code, NSFileReadUnknownError);
    EXPECT_FALSE(fm.attributesOfItem(docs + "/nothing"));
    EXPECT_EQ(fm.attributesOfItem(docs + "/nothing").error().code, NSFileNoSuchFileError);
}

TEST_F(FileManagerTest, DirectoriesListRemoveMoveAndCopy) {
    ASSERT_TRUE(fm.createDirectory(docs + "/a/b/c", true));
    EXPECT_TRUE(fm.createDirectory(docs + "/a/b/c", true)); // already there: fine with intermediates
    auto again = fm.createDirectory(docs + "/a/b/c", false);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().code, NSFileWriteFileExistsError);
    EXPECT_EQ(modeOf(docs + "/a/b"), 0755u);
    ASSERT_TRUE(
        fm.createDirectory(docs + "/private", false, Dictionary{{NSFilePosixPermissions, Value(0700)}}));
    EXPECT_EQ(modeOf(docs + "/private"), 0700u);

    ASSERT_TRUE(writeData(docs + "/a/b/c/f", bytes("deep")));
    ASSERT_TRUE(writeData(docs + "/a/top", bytes("top")));
    EXPECT_EQ(*fm.contentsOfDirectory(docs + "/a"), (std::vector<std::string>{"b", "top"}));

    ASSERT_TRUE(fm.copyItem(docs + "/a", docs + "/copy"));
    EXPECT_EQ(text(readData(docs + "/copy/b/c/f")), "deep");
    auto copyOver = fm.copyItem(docs + "/a", docs + "/copy");
    ASSERT_FALSE(copyOver);
    EXPECT_EQ(copyOver.error().code, NSFileWriteFileExistsError);

    auto moveOver = fm.moveItem(docs + "/a", docs + "/copy");
    ASSERT_FALSE(moveOver);
    EXPECT_EQ(moveOver.error().code, NSFileWriteFileExistsError);
    EXPECT_EQ(text(readData(docs + "/a/top")), "top"); // both sides untouched
    ASSERT_TRUE(fm.moveItem(docs + "/a", docs + "/moved"));
    EXPECT_FALSE(fm.fileExists(docs + "/a"));
    EXPECT_EQ(text(readData(docs + "/moved/b/c/f")), "deep");

    // Removing a tree with a symlink to outside removes the link, not what it points at.
    ASSERT_TRUE(writeData(home.root() + "/outside", bytes("keep")));
    ASSERT_EQ(::symlink((home.root() + "/outside").c_str(), (docs + "/moved/link").c_str()), 0);
    ASSERT_TRUE(fm.removeItem(docs + "/moved"));
    EXPECT_FALSE(fm.fileExists(docs + "/moved"));
    EXPECT_EQ(text(readData(home.root() + "/outside")), "keep");

    Faults::fail("file.remove", "copy", EACCES);
    auto refused = fm.removeItem(docs + "/copy");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, NSFileWriteNoPermissionError);
    EXPECT_TRUE(fm.fileExists(docs + "/copy/top"));
}

TEST_F(FileManagerTest, AttributesDescribeTheItem) {
    ASSERT_TRUE(writeData(docs + "/f", bytes("12345"), WriteOptions().setPermissions(0600)));
    auto attrs = fm.attributesOfItem(docs + "/f");
    ASSERT_TRUE(attrs);
    EXPECT_EQ(attrs->find(NSFileSize)->integerValue(), 5);
    EXPECT_EQ(attrs->find(NSFileType)->asString(), NSFileTypeRegular);
    EXPECT_EQ(attrs->find(NSFilePosixPermissions)->integerValue(), 0600);
    EXPECT_FALSE(attrs->find(NSFileImmutable)->boolValue());
    ASSERT_TRUE(attrs->find(NSFileCreationDate)->isDate());
    ASSERT_TRUE(attrs->find(NSFileModificationDate)->isDate());
    EXPECT_LE(attrs->find(NSFileCreationDate)->asDate(), attrs->find(NSFileModificationDate)->asDate());
    EXPECT_EQ(fm.attributesOfItem(docs)->find(NSFileType)->asString(), NSFileTypeDirectory);

    ASSERT_TRUE(
        fm.setAttributes(Dictionary{{NSFileModificationDate, Value(Date(1000000000.5))}}, docs + "/f"));
    EXPECT_DOUBLE_EQ(
        fm.attributesOfItem(docs + "/f")->find(NSFileModificationDate)->asDate().timeIntervalSince1970(),
        1000000000.5);
}

TEST_F(FileManagerTest, BackupExclusionImmutabilityAndProtectionReadBack) {
    std::string path = docs + "/prefs.plist";
    ASSERT_TRUE(writeData(path, bytes("x")));
    EXPECT_FALSE(fm.isExcludedFromBackup(path));
    ASSERT_TRUE(fm.setExcludedFromBackup(path, true));
    EXPECT_TRUE(fm.isExcludedFromBackup(path));
    ASSERT_TRUE(fm.setExcludedFromBackup(path, false));
    EXPECT_FALSE(fm.isExcludedFromBackup(path));
    auto missing = fm.setExcludedFromBackup(docs + "/none", true);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, NSFileNoSuchFileError);
    Faults::fail("file.xattr", "prefs", ENOTSUP);
    EXPECT_FALSE(fm.setExcludedFromBackup(path, true));
    EXPECT_FALSE(fm.isExcludedFromBackup(path));

    ASSERT_TRUE(fm.setImmutable(path, true));
    EXPECT_TRUE(fm.isImmutable(path));
    EXPECT_TRUE(fm.attributesOfItem(path)->find(NSFileImmutable)->boolValue());
    ASSERT_TRUE(fm.setImmutable(path, false));
    EXPECT_FALSE(fm.isImmutable(path));

    ASSERT_TRUE(fm.setFileProtection(path, NSFileProtectionNone));
    EXPECT_EQ(fm.fileProtection(path), std::optional<std::string>(NSFileProtectionNone));
}

TEST_F(FileManagerTest, VolumeCapacityComesFromTheFileSystem) {
    auto total = fm.volumeTotalCapacity(docs);
    auto available = fm.volumeAvailableCapacity(docs);
    ASSERT_TRUE(total);
    ASSERT_TRUE(available);
    EXPECT_GT(*total, 0u);
    EXPECT_LE(*available, *total);
    Faults::fail("file.statvfs", "", EIO);
    EXPECT_FALSE(fm.volumeAvailableCapacity(docs));
}

TEST(AppHomeDefaults, ComeFromTheEnvironmentWhenNotConfigured) {
    // Each test runs in its own process, so nothing configured the home yet.
    ::setenv("PORTAL_APP_HOME", "/somewhere/home/", 1);
    EXPECT_EQ(AppHome::path(), "/somewhere/home");
    EXPECT_EQ(AppHome::deviceFolder(), "/somewhere/home.device");
    EXPECT_EQ(AppHome::appGroupContainer("group.x"), "/somewhere/home.device/AppGroups/group.x");
    ::unsetenv("PORTAL_APP_HOME");
    ::setenv("XDG_DATA_HOME", "/data", 1);
    EXPECT_EQ(AppHome::path(), "/data/portal-app/home");
    AppHome::configure("/given/");
    EXPECT_EQ(AppHome::preferences(), "/given/Library/Preferences");
}

} // namespace
