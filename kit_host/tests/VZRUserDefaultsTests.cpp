// The kit host's file-backed defaults: what reaches the file and when, the load rules for a missing,
// corrupt or misplaced file, write failures, and taking values over from the platform's user defaults.
// Each test runs in its own process, so each one meets a fresh shared store.

#include "kit_host/VZRUserDefaults.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/PropertyList.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using plat::Value;

struct VZRUserDefaultsTest : ::testing::Test {
    plat::test::TempAppHome home;
    plat::sim::ConsoleCapture console;

    std::string file() const { return home.home() + "/Library/Application Support/com.vuzidorazav/VZRUserDefaults.plist"; }
    std::optional<plat::Dictionary> onDisk() const {
        auto bytes = plat::readData(file());
        if (!bytes)
            return std::nullopt;
        auto parsed = plat::PropertyListSerialization::propertyList(*bytes);
        EXPECT_TRUE(parsed && parsed->format == plat::PropertyListSerialization::Format::XML);
        auto dict = plat::PropertyListSerialization::dictionary(*bytes);
        return dict ? std::optional(*dict) : std::nullopt;
    }
};

TEST_F(VZRUserDefaultsTest, ValuesReachTheFileOnlyWhenSynchronised) {
    auto& d = VZRUserDefaults::standardUserDefaults();
    EXPECT_EQ(d.fileURL(), file());
    EXPECT_TRUE(d.dictionaryRepresentation().empty());

    d.synchronize();
    EXPECT_FALSE(d.synchronizeWroteToDisk());
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExists(file())) << "nothing set: nothing written";

    d.setString("ABC", "id");
    d.setBool(true, "flag");
    d.setObject(Value(int64_t{7}), "n");
    EXPECT_FALSE(onDisk()) << "set alone writes nothing";
    d.synchronize();
    EXPECT_TRUE(d.synchronizeWroteToDisk());
    EXPECT_EQ(onDisk(), d.dictionaryRepresentation());
    EXPECT_EQ(plat::FileManager::defaultManager().fileProtection(file()), plat::NSFileProtectionNone);

    d.synchronize();
    EXPECT_FALSE(d.synchronizeWroteToDisk()) << "no change since the last write";

    // Typed readers.
    EXPECT_EQ(d.stringForKey("id"), "ABC");
    EXPECT_FALSE(d.stringForKey("n")) << "a number is not a string";
    EXPECT_TRUE(d.boolForKey("flag"));
    EXPECT_FALSE(d.boolForKey("id")) << "a string is not read as a bool";
    d.setObject(std::nullopt, "n");
    EXPECT_FALSE(d.objectForKey("n"));
    d.removeObjectForKey("flag");
    d.synchronize();
    EXPECT_EQ(onDisk(), (plat::Dictionary{{"id", Value("ABC")}}));
    d.removeAllObjects();
    d.synchronize();
    EXPECT_EQ(onDisk(), plat::Dictionary{});
}

TEST_F(VZRUserDefaultsTest, AFailedWriteIsTriedAgainAtTheNextSynchronise) {
    auto& d = VZRUserDefaults::standardUserDefaults();
    d.setString("A-B", "com.vuzidorazav.iuuid");
    plat::sim::Faults::fail("file.write", "VZRUserDefaults.plist", EIO);
    d.synchronize();
    EXPECT_NE(console.nslog().find("[Zuvadu:UserDefaults] Unable to open file for writing at path " + file()),
              std::string::npos)
        << console.nslog();
    EXPECT_FALSE(onDisk());
    EXPECT_TRUE(d.persistedDataDictionary().empty()) << "nothing was persisted";

    d.synchronize(); // no further change, yet the value is still unwritten
    EXPECT_TRUE(d.synchronizeWroteToDisk());
    ASSERT_TRUE(onDisk());
    EXPECT_EQ(onDisk()->find("com.vuzidorazav.iuuid")->stringValue(), "A-B");
}

TEST_F(VZRUserDefaultsTest, AValueThatIsNoPropertyListFailsTheWriteAndStaysInMemory) {
    auto& d = VZRUserDefaults::standardUserDefaults();
    d.setObject(Value(), "null");
    d.synchronize();
    EXPECT_NE(console.nslog().find("Unable to open file for writing"), std::string::npos);
    EXPECT_TRUE(d.objectForKey("null"));
    EXPECT_FALSE(onDisk());
}

TEST_F(VZRUserDefaultsTest, AnExistingFileIsLoaded) {
    ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(home.home() + "/Library/Application Support/com.vuzidorazav", true));
    auto bytes = plat::PropertyListSerialization::data(Value(plat::Dictionary{{"k", Value("v")}}),
                                                       plat::PropertyListSerialization::Format::Binary);
    ASSERT_TRUE(bytes && plat::writeData(file(), *bytes));
    auto& d = VZRUserDefaults::standardUserDefaults();
    EXPECT_EQ(d.stringForKey("k"), "v");
    d.synchronize();
    EXPECT_FALSE(d.synchronizeWroteToDisk());
}

TEST_F(VZRUserDefaultsTest, ACorruptFileReadsAsEmpty) {
    ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(home.home() + "/Library/Application Support/com.vuzidorazav", true));
    ASSERT_TRUE(plat::writeData(file(), plat::Data{'<', 'p', 'l', 'i'}));
    auto& d = VZRUserDefaults::standardUserDefaults();
    EXPECT_TRUE(d.dictionaryRepresentation().empty());
    EXPECT_NE(console.nslog().find("[Zuvadu:UserDefaults] failed to read existing UserDefaults file"), std::string::npos);
    d.setString("x", "k");
    d.synchronize();
    EXPECT_EQ(onDisk(), (plat::Dictionary{{"k", Value("x")}})) << "overwritten at the next write";
}

TEST_F(VZRUserDefaultsTest, ADirectoryInPlaceOfTheFileIsRemoved) {
    ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(file() + "/inner", true));
    auto& d = VZRUserDefaults::standardUserDefaults();
    EXPECT_TRUE(d.dictionaryRepresentation().empty());
    EXPECT_NE(console.nslog().find("[Zuvadu:UserDefaults] found directory where file expected. Removing "
                                   "conflicting directory"),
              std::string::npos);
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExists(file()));
}

TEST_F(VZRUserDefaultsTest, ValuesMoveOverFromThePlatformDefaults) {
    auto& platform = plat::UserDefaults::standardUserDefaults();
    auto& d = VZRUserDefaults::standardUserDefaults();

    d.migrateFromNSUserDefaults({"absent", "also-absent"});
    EXPECT_FALSE(onDisk()) << "nothing to move: nothing written";

    platform.set("old", Value("value"));
    platform.set("older", Value(int64_t{3}));
    EXPECT_EQ(d.objectForKeyByMigratingFromNSUserDefaults("old"), Value("value"));
    EXPECT_FALSE(platform.object("old")) << "removed from the platform defaults";
    EXPECT_EQ(onDisk()->find("old")->stringValue(), "value");
    EXPECT_FALSE(d.objectForKeyByMigratingFromNSUserDefaults("never"));

    d.migrateFromNSUserDefaults({"older", "absent"});
    EXPECT_FALSE(platform.object("older"));
    EXPECT_EQ(onDisk()->find("older")->integerValue(), 3);

    // A value already here wins over the platform's.
    platform.set("old", Value("stale"));
    EXPECT_EQ(d.objectForKeyByMigratingFromNSUserDefaults("old"), Value("value"));
    EXPECT_TRUE(platform.object("old"));
}

} // namespace
