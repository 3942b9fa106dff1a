// The backup-excluded plist: where it lives, the move out of Documents, writes with backup exclusion, the
// read cache and deletion.

#include "instance_id/DAVInstanceIDBackupExcludedPlist.hpp"
#include "instance_id/tests/InstanceIDTestSupport.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/PropertyList.hpp"

#include <cerrno>

namespace {

constexpr const char* kPlistSubDirectory = "Razoza/VedudoduInstanceID";

class DAVInstanceIDBackupExcludedPlistTest : public iid_test::InstanceIDDeviceTest {
protected:
    std::string subDirectory() const { return plat::AppHome::applicationSupport() + "/" + kPlistSubDirectory; }
    std::string supportPath() const { return subDirectory() + "/g-checkin.plist"; }
    std::string documentsPath() const { return plat::AppHome::documents() + "/g-checkin.plist"; }
    void makeSubDirectory() {
        ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(subDirectory(), true));
    }
    void writePlistFile(const std::string& path, const plat::Dictionary& dict) {
        auto bytes = plat::PropertyListSerialization::data(plat::Value(dict),
                                                          plat::PropertyListSerialization::Format::XML);
        ASSERT_TRUE(bytes && plat::writeData(path, *bytes));
    }
    std::optional<plat::Dictionary> readPlistFile(const std::string& path) {
        auto data = plat::readData(path);
        if (!data) {
            return std::nullopt;
        }
        auto dict = plat::PropertyListSerialization::dictionary(std::span<const std::uint8_t>(*data));
        return dict ? std::optional<plat::Dictionary>(*dict) : std::nullopt;
    }
    bool exists(const std::string& path) { return plat::FileManager::defaultManager().fileExists(path); }
};

TEST_F(DAVInstanceIDBackupExcludedPlistTest, WithoutTheSubDirectoryTheFileIsAddressedInDocuments) {
    DAVInstanceIDBackupExcludedPlist plist("g-checkin", kPlistSubDirectory);
    EXPECT_FALSE(plist.fileInApplicationSupport());
    EXPECT_EQ(plist.plistDirectory(), DAVInstanceIDPlistDirectoryDocuments);
    EXPECT_EQ(plist.plistPathInDirectory(1), documentsPath());
    EXPECT_EQ(plist.plistPathInDirectory(2), supportPath());
    logged();
    EXPECT_EQ(plist.pathWithName("x", 3), "");
    EXPECT_TRUE(loggedCode(6003));
    ASSERT_TRUE(plist.writeDictionary({{"a", 1}}, nullptr));
    EXPECT_TRUE(exists(documentsPath()));
    // Even once the sub-directory appears the object keeps its location.
    makeSubDirectory();
    EXPECT_EQ(plist.plistDirectory(), DAVInstanceIDPlistDirectoryDocuments);
}

TEST_F(DAVInstanceIDBackupExcludedPlistTest, AFileOnlyInDocumentsMovesAndBothCopiesStayPut) {
    makeSubDirectory();
    writePlistFile(documentsPath(), {{"from", "documents"}});
    {
        DAVInstanceIDBackupExcludedPlist plist("g-checkin", kPlistSubDirectory);
        EXPECT_TRUE(plist.fileInApplicationSupport());
        EXPECT_FALSE(exists(documentsPath()));
        EXPECT_EQ(plist.contentAsDictionary(), (plat::Dictionary{{"from", "documents"}}));
    }
    writePlistFile(documentsPath(), {{"from", "documents again"}});
    DAVInstanceIDBackupExcludedPlist both("g-checkin", kPlistSubDirectory);
    EXPECT_FALSE(both.fileInApplicationSupport());
    EXPECT_TRUE(exists(documentsPath()));
    EXPECT_TRUE(exists(supportPath()));
    EXPECT_EQ(both.contentAsDictionary(), (plat::Dictionary{{"from", "documents again"}}));
}

TEST_F(DAVInstanceIDBackupExcludedPlistTest, AFailedMoveIsLoggedAndKeepsDocuments) {
    makeSubDirectory();
    writePlistFile(documentsPath(), {{"k", "v"}});
    logged();
    plat::sim::Faults::fail("file.rename", "g-checkin", EIO);
    DAVInstanceIDBackupExcludedPlist plist("g-checkin", kPlistSubDirectory);
    EXPECT_TRUE(loggedCode(6002));
    EXPECT_FALSE(plist.fileInApplicationSupport());
    EXPECT_TRUE(exists(documentsPath()));
    EXPECT_EQ(plist.contentAsDictionary(), (plat::Dictionary{{"k", "v"}}));
}

TEST_F(DAVInstanceIDBackupExcludedPlistTest, WritesAreXMLExcludedFromBackupAndCached) {
    makeSubDirectory();
    DAVInstanceIDBackupExcludedPlist plist("g-checkin", kPlistSubDirectory);
    EXPECT_FALSE(plist.doesFileExist());
    EXPECT_FALSE(plist.contentAsDictionary());
    const plat::Dictionary dict{{"VUREzodevevUDLastCheckinTimestampKey", std::int64_t{1234}},
                                {"VUREzodevevUDGServicesData", plat::Dictionary{}}};
    DAVInstanceIDErrorSlot error = plat::Error("stale", 1);
    ASSERT_TRUE(plist.writeDictionary(dict, &error));
    EXPECT_FALSE(error);
    EXPECT_TRUE(plist.doesFileExist());
    EXPECT_TRUE(plat::FileManager::defaultManager().isExcludedFromBackup(supportPath()));
    const auto text = plat::readData(supportPath());
    ASSERT_TRUE(text);
    EXPECT_EQ(std::string(text->begin(), text->begin() + 5), "<?xml");
    EXPECT_EQ(readPlistFile(supportPath()), dict);

    // The cache hides changes others make to the file until it is emptied by a delete.
    writePlistFile(supportPath(), {{"other", 1}});
    EXPECT_EQ(plist.contentAsDictionary(), dict);
    DAVInstanceIDBackupExcludedPlist fresh("g-checkin", kPlistSubDirectory);
    EXPECT_EQ(fresh.contentAsDictionary(), (plat::Dictionary{{"other", 1}}));

    EXPECT_TRUE(plist.deleteFile(&error));
    EXPECT_FALSE(plist.doesFileExist());
    EXPECT_FALSE(plist.contentAsDictionary());
    // Deleting what is not there succeeds.
    EXPECT_TRUE(plist.deleteFile(&error));
}

TEST_F(DAVInstanceIDBackupExcludedPlistTest, FailuresOfWriteExclusionAndDelete) {
    makeSubDirectory();
    DAVInstanceIDBackupExcludedPlist plist("g-checkin", kPlistSubDirectory);
    logged();
    plat::sim::Faults::fail("file.write", "g-checkin", ENOSPC);
    DAVInstanceIDErrorSlot error;
    EXPECT_FALSE(plist.writeDictionary({{"a", 1}}, &error));
    EXPECT_TRUE(loggedCode(6000));
    EXPECT_FALSE(plist.doesFileExist());
    EXPECT_FALSE(plist.contentAsDictionary());

    plat::sim::Faults::fail("file.xattr", "g-checkin", EIO);
    EXPECT_FALSE(plist.writeDictionary({{"b", 2}}, &error));
    EXPECT_TRUE(error);
    EXPECT_TRUE(loggedCode(6001));
    EXPECT_EQ(readPlistFile(supportPath()), (plat::Dictionary{{"b", 2}}));
    EXPECT_EQ(plist.contentAsDictionary(), (plat::Dictionary{{"b", 2}}));

    plat::sim::Faults::fail("file.remove", "g-checkin", EACCES);
    error.reset();
    EXPECT_FALSE(plist.deleteFile(&error));
    EXPECT_TRUE(error);
    EXPECT_FALSE(plist.contentAsDictionary() == std::nullopt); // the file is still there and read again
}

TEST_F(DAVInstanceIDBackupExcludedPlistTest, UnreadableOrNonDictionaryFilesReadAsAbsent) {
    makeSubDirectory();
    for (std::string_view content : {std::string_view("not a plist"),
                                     std::string_view("<?xml version=\"1.0\"?><plist><array/></plist>")}) {
        ASSERT_TRUE(plat::writeData(supportPath(), plat::Data(content.begin(), content.end())));
        DAVInstanceIDBackupExcludedPlist plist("g-checkin", kPlistSubDirectory);
        EXPECT_TRUE(plist.doesFileExist());
        EXPECT_FALSE(plist.contentAsDictionary()) << content;
    }
}

} // namespace
