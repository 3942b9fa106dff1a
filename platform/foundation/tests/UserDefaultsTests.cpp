#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/PreferenceDomain.hpp"
#include "platform/foundation/PropertyList.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <thread>
#include <vector>

using namespace plat;
using plat::sim::Faults;

namespace {

class UserDefaultsTest : public ::testing::Test {
protected:
    test::TempAppHome home;
    std::string suite = "com.example.suite";
    std::string file = AppHome::preferences() + "/com.example.suite.plist";

    // What is on disk now, read the way another process would.
    std::optional<Dictionary> onDisk() const {
        auto bytes = readData(file);
        if (!bytes)
            return std::nullopt;
        auto parsed = PropertyListSerialization::propertyList(*bytes);
        if (!parsed || !parsed->value.isDictionary())
            return std::nullopt;
        return parsed->value.asDictionary();
    }

    // Another process rewriting the file: a new file renamed into place.
    void
    rewriteExternally(const Dictionary& values,
                      PropertyListSerialization::Format format = PropertyListSerialization::Format::XML) {
        auto bytes = PropertyListSerialization::data(Value(values), format);
        ASSERT_TRUE(bytes);
        ASSERT_TRUE(writeData(file, *bytes, WriteOptions().setAtomic()));
    }
};

TEST_F(UserDefaultsTest, EveryHandleOfEitherFrontEndSharesTheDomain) {
    UserDefaults a(suite), b(suite);
    a.set("k", Value("v"));
    EXPECT_EQ(b.string("k"), "v");
    EXPECT_EQ(PreferenceDomain::copyValue("k", suite)->asString(), "v");
    PreferenceDomain::setValue("n", Value(7), suite);
    EXPECT_EQ(a.integer("n"), 7);
    EXPECT_EQ(UserDefaults(std::string("other")).object("k"), std::nullopt);
    b.remove("k");
    EXPECT_EQ(a.object("k"), std::nullopt);
    EXPECT_EQ(PreferenceDomain::copyKeyList(suite), std::vector<std::string>{"n"});
}

TEST_F(UserDefaultsTest, TypedGettersFollowThePlatformRules) {
    UserDefaults d(suite);
    d.set("int", Value(42));
    d.set("real", Value(2.5));
    d.set("yes", Value(true));
    d.set("strYes", Value("  +YES"));
    d.set("strNo", Value("no"));
    d.set("strNum", Value("12abc"));
    d.set("array", Value(Array{Value(1)}));
    d.set("dict", Value(Dictionary{{"a", Value(1)}}));
    d.set("data", Value(Data{1, 2}));

    EXPECT_EQ(d.string("int"), "42");
    EXPECT_EQ(d.string("real"), "2.5");
    EXPECT_EQ(d.string("array"), std::nullopt);
    EXPECT_TRUE(d.boolean("yes"));
    EXPECT_TRUE(d.boolean("strYes"));
    EXPECT_FALSE(d.boolean("strNo"));
    EXPECT_FALSE(d.boolean("array"));
    EXPECT_EQ(d.integer("strNum"), 12);
    EXPECT_EQ(d.integer("real"), 2);
    EXPECT_EQ(d.integer("dict"), 0);
    EXPECT_EQ(d.integer("missing"), 0);
    EXPECT_DOUBLE_EQ(d.doubleValue("real"), 2.5);
    EXPECT_DOUBLE_EQ(d.doubleValue("data"), 0.0);
    EXPECT_EQ(d.array("array")->size(), 1u);
    EXPECT_EQ(d.array("dict"), std::nullopt);
    EXPECT_EQ(d.dictionary("dict")->size(), 1u);
    EXPECT_EQ(d.dictionary("array"), std::nullopt);
    EXPECT_EQ(d.data("data"), (Data{1, 2}));
    EXPECT_EQ(d.data("int"), std::nullopt);
}

TEST_F(UserDefaultsTest, OnlyPropertyListValuesAreStoredAndNullRemoves) {
    UserDefaults d(suite);
    d.set("k", Value(1));
    sim::ConsoleCapture capture;
    EXPECT_FALSE(d.set("k", Value(Array{Value(1), Value()}))); // a null inside
    EXPECT_EQ(d.integer("k"), 1);
    EXPECT_NE(capture.err().find("[device] "), std::string::npos);
    EXPECT_TRUE(d.set("k", Value()));
    EXPECT_EQ(d.object("k"), std::nullopt);
}

TEST_F(UserDefaultsTest, SynchronizeWritesAPrivateBinaryPlist) {
    UserDefaults d(suite);
    EXPECT_TRUE(d.synchronize()); // nothing to write yet
    EXPECT_FALSE(FileManager::defaultManager().fileExists(file));
    d.set("name", Value("x"));
    d.setBool("flag", true);
    ASSERT_TRUE(d.synchronize());
    auto bytes = readData(file);
    ASSERT_TRUE(bytes);
    auto parsed = PropertyListSerialization::propertyList(*bytes);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->format, PropertyListSerialization::Format::Binary);
    EXPECT_EQ(parsed->value["name"].asString(), "x");
    EXPECT_TRUE(parsed->value["flag"].isBool());
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    EXPECT_TRUE(d.synchronize()); // unchanged: no second write
    EXPECT_EQ(sim::Preferences::synchronizeCount(suite), 3);
    EXPECT_EQ(sim::Preferences::fileWriteCount(suite), 1);
}

TEST_F(UserDefaultsTest, AnotherProcessesWriteIsPickedUpAndLocalChangesWin) {
    UserDefaults d(suite);
    d.set("shared", Value("mine-old"));
    d.set("kept", Value(1));
    ASSERT_TRUE(d.synchronize());

    d.set("shared", Value("mine-new")); // changed here since the last write
    rewriteExternally(Dictionary{{"shared", Value("theirs")}, {"kept", Value(2)}, {"added", Value(true)}});
    EXPECT_EQ(d.string("shared"), "mine-new");
    EXPECT_EQ(d.integer("kept"), 2);
    EXPECT_TRUE(d.boolean("added"));

    ASSERT_TRUE(d.synchronize());
    auto disk = onDisk();
    ASSERT_TRUE(disk);
    EXPECT_EQ(disk->find("shared")->asString(), "mine-new");
    EXPECT_EQ(disk->find("kept")->integerValue(), 2);
    EXPECT_TRUE(disk->contains("added"));

    // A removal made here also wins over the other process's copy of the key.
    d.remove("added");
    rewriteExternally(Dictionary{{"added", Value(true)}, {"shared", Value("theirs")}},
                      PropertyListSerialization::Format::Binary);
    EXPECT_EQ(d.object("added"), std::nullopt);
    EXPECT_EQ(d.string("shared"), "theirs");
}

TEST_F(UserDefaultsTest, TwoProcessesWritingTheSameDomainKeepBothKeys) {
    UserDefaults d(suite);
    ASSERT_TRUE(d.synchronize());
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        UserDefaults mine(suite);
        mine.set("fromChild", Value("c"));
        ::_exit(mine.synchronize() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    d.set("fromParent", Value("p"));
    ASSERT_TRUE(d.synchronize());
    auto disk = onDisk();
    ASSERT_TRUE(disk);
    EXPECT_EQ(disk->find("fromChild")->asString(), "c");
    EXPECT_EQ(disk->find("fromParent")->asString(), "p");
}

// Two processes add one at a time to the same key; a read that missed the other's last write would leave the
// sum short.
TEST_F(UserDefaultsTest, ReadModifyWritesFromTwoProcessesLoseNoUpdate) {
    constexpr int kEach = 80;
    UserDefaults d(suite);
    d.setInteger("count", 0);
    ASSERT_TRUE(d.synchronize());
    std::vector<pid_t> children;
    for (int c = 0; c < 2; ++c) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            UserDefaults mine(suite);
            bool ok = true;
            for (int i = 0; i < kEach; ++i)
                ok = mine.update("count", [](std::optional<Value> v) {
                    return Value((v ? v->integerValue() : 0) + 1);
                }) && ok;
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(onDisk()->find("count")->integerValue(), 2 * kEach);
    EXPECT_EQ(d.integer("count"), 2 * kEach);
}

TEST_F(UserDefaultsTest, AnUpdateReadsTheFileAsItIsAndKeepsAFailedWritePending) {
    UserDefaults d(suite);
    d.set("other", Value("mine"));
    rewriteExternally(Dictionary{{"n", Value(5)}, {"theirs", Value(true)}});
    EXPECT_TRUE(d.update("n", [](std::optional<Value> v) { return Value(v ? v->integerValue() * 2 : -1); }));
    auto disk = onDisk();
    EXPECT_EQ(disk->find("n")->integerValue(), 10);
    EXPECT_TRUE(disk->contains("theirs"));
    EXPECT_EQ(disk->find("other")->asString(), "mine") << "pending changes go out with the update";

    {
        sim::ConsoleCapture capture;
        EXPECT_FALSE(d.update("n", [](std::optional<Value>) { return Value(Dictionary{{"x", Value()}}); }));
    }
    EXPECT_EQ(d.integer("n"), 10) << "a value that is no property list changes nothing";
    EXPECT_TRUE(d.update("theirs", [](std::optional<Value>) { return std::nullopt; }));
    EXPECT_FALSE(onDisk()->contains("theirs"));

    Faults::fail("defaults.synchronize", suite, 1);
    EXPECT_FALSE(d.update("n", [](std::optional<Value>) { return Value(11); }));
    EXPECT_EQ(onDisk()->find("n")->integerValue(), 10);
    EXPECT_EQ(d.integer("n"), 11);
    EXPECT_TRUE(d.synchronize());
    EXPECT_EQ(onDisk()->find("n")->integerValue(), 11);
}

TEST_F(UserDefaultsTest, CorruptFileReadsAsEmptyWithAWarning) {
    ASSERT_TRUE(writeData(file, Data{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xff, 0x00}));
    sim::ConsoleCapture capture;
    UserDefaults d(suite);
    EXPECT_TRUE(d.dictionaryRepresentation().empty());
    EXPECT_NE(capture.err().find("[device] preferences file " + file), std::string::npos) << capture.err();
    d.set("fresh", Value(1));
    ASSERT_TRUE(d.synchronize()); // the corrupt file is replaced
    EXPECT_EQ(onDisk()->find("fresh")->integerValue(), 1);
}

TEST_F(UserDefaultsTest, FailedSynchronizeLeavesTheFileAndKeepsChangesPending) {
    UserDefaults d(suite);
    d.set("k", Value("old"));
    ASSERT_TRUE(d.synchronize());
    d.set("k", Value("new"));

    Faults::fail("defaults.synchronize", suite, 1);
    EXPECT_FALSE(d.synchronize());
    EXPECT_EQ(onDisk()->find("k")->asString(), "old");

    Faults::fail("file.write", "com.example.suite.plist", ENOSPC);
    sim::ConsoleCapture capture;
    EXPECT_FALSE(d.synchronize());
    EXPECT_EQ(onDisk()->find("k")->asString(), "old");
    EXPECT_EQ(*FileManager::defaultManager().contentsOfDirectory(AppHome::preferences()),
              (std::vector<std::string>{"com.example.suite.plist", "com.example.suite.plist.lock"}));

    EXPECT_TRUE(d.synchronize());
    EXPECT_EQ(onDisk()->find("k")->asString(), "new");
    EXPECT_EQ(sim::Preferences::fileWriteCount(suite), 2);
}

TEST_F(UserDefaultsTest, FlushAllWritesPendingDomainsAndWipeEmptiesThem) {
    UserDefaults a(suite), b(std::string("com.example.other"));
    a.set("a", Value(1));
    b.set("b", Value(2));
    EXPECT_TRUE(sim::Preferences::flushAll());
    EXPECT_EQ(onDisk()->find("a")->integerValue(), 1);
    EXPECT_TRUE(
        FileManager::defaultManager().fileExists(AppHome::preferences() + "/com.example.other.plist"));
    EXPECT_TRUE(sim::Preferences::flushAll()); // nothing pending: no writes
    EXPECT_EQ(sim::Preferences::fileWriteCount(suite), 1);

    sim::Preferences::wipe();
    EXPECT_EQ(a.object("a"), std::nullopt);
    EXPECT_FALSE(FileManager::defaultManager().fileExists(file));
}

TEST_F(UserDefaultsTest, SetMultipleAndRemoveAll) {
    PreferenceDomain::setValue("gone", Value(1), suite);
    PreferenceDomain::setMultiple(Dictionary{{"x", Value(1)}, {"y", Value("2")}}, {"gone"}, suite);
    EXPECT_EQ(PreferenceDomain::copyKeyList(suite), (std::vector<std::string>{"x", "y"}));
    UserDefaults d(suite);
    ASSERT_TRUE(d.synchronize());
    d.removePersistentDomainForName(suite);
    EXPECT_TRUE(d.dictionaryRepresentation().empty());
    ASSERT_TRUE(PreferenceDomain::synchronize(suite));
    EXPECT_TRUE(onDisk()->empty());
}

TEST_F(UserDefaultsTest, StandardDomainIsTheBundleIdentifierAndAppGroupsLiveInTheirContainer) {
    test::FixtureBundle(home.root() + "/App.app",
                        Dictionary{{"CFBundleIdentifier", Value("com.example.app")}})
        .makeMain();
    sim::Preferences::setAppGroups({"group.com.example"});
    auto& standard = UserDefaults::standardUserDefaults();
    EXPECT_EQ(standard.domainName(), "com.example.app");
    EXPECT_EQ(UserDefaults(std::string()).domainName(), "com.example.app");
    standard.set("s", Value(1));
    EXPECT_EQ(PreferenceDomain::copyValue("s", PreferenceDomain::kCurrentApplication)->integerValue(), 1);
    ASSERT_TRUE(standard.synchronize());
    EXPECT_TRUE(FileManager::defaultManager().fileExists(AppHome::preferences() + "/com.example.app.plist"));

    UserDefaults group(std::string("group.com.example"));
    group.set("badge", Value(3));
    ASSERT_TRUE(group.synchronize());
    EXPECT_TRUE(FileManager::defaultManager().fileExists(AppHome::appGroupContainer("group.com.example") +
                                                         "/Library/Preferences/group.com.example.plist"));
}

TEST_F(UserDefaultsTest, ConcurrentWritersAndReadersStayConsistent) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            UserDefaults d(suite);
            for (int i = 0; i < 200; ++i) {
                d.setInteger("t" + std::to_string(t), i);
                (void)d.integer("t" + std::to_string((t + 1) % 4));
                if (i % 50 == 0)
                    (void)d.synchronize();
            }
        });
    }
    for (auto& th : threads)
        th.join();
    UserDefaults d(suite);
    ASSERT_TRUE(d.synchronize());
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(onDisk()->find("t" + std::to_string(t))->integerValue(), 199);
}

} // namespace
