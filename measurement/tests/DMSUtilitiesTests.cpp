// The platform utilities: device and app facts, file locations, the keychain wrapper, random numbers, digests,
// query strings and Unicode lengths.

#include "measurement/storage/DMSAEU.hpp"
#include "measurement/storage/DMSCategories.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/PropertyList.hpp"
#include "platform/foundation/Random.hpp"
#include "platform/security/Keychain.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <cstdint>

namespace {

class DMSUtilitiesTest : public ::testing::Test {
protected:
    plat::test::TempAppHome home;
};

plat::Data dmsBytesFromZeroTo(int last) {
    plat::Data bytes;
    for (int i = 0; i <= last; ++i) {
        bytes.push_back(static_cast<uint8_t>(i));
    }
    return bytes;
}

} // namespace

TEST(DMSDigests, LeastSignificantBitsAndMD5) {
    EXPECT_EQ(dms_64LeastSignificantBits({0x01, 0x02}), 258);
    EXPECT_EQ(dms_64LeastSignificantBits(dmsBytesFromZeroTo(9)), 0x0203040506070809LL);
    EXPECT_EQ(dms_64LeastSignificantBits({}), 0);
    EXPECT_EQ(dms_64LSBMD5({}), -1621285313438006658LL);

    const std::pair<const char*, const char*> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [text, digest] : vectors) {
        EXPECT_EQ(dms_MD5String(text), std::optional<std::string>(digest)) << text;
    }
    EXPECT_EQ(dms_MD5String("\xFF\xFE"), std::nullopt);
}

TEST(DMSQueryStrings, ParsingKeepsTheFirstOccurrenceAndSkipsBadPieces) {
    struct QueryCase {
        const char* text;
        plat::Dictionary expected;
    };
    const QueryCase cases[] = {
        {"a=1&b=2&a=3", {{"a", plat::Value("1")}, {"b", plat::Value("2")}}},
        {"flag", {{"flag", plat::Value("")}}},
        {"k=a+b%20c", {{"k", plat::Value("a b c")}}},
        {"&&x=1&&", {{"x", plat::Value("1")}}},
        {"eq=a=b", {{"eq", plat::Value("a=b")}}},
        // Deep links come from outside: a bad escape or bytes that are no UTF-8 drop only their piece.
        {"bad=%ZZ&good=1", {{"good", plat::Value("1")}}},
        {"bad%=1&good=2", {{"good", plat::Value("2")}}},
        {"utf=%FF%FE&good=3", {{"good", plat::Value("3")}}},
        {"%C3%A9t%C3%A9=%E2%9C%93", {{"\xC3\xA9t\xC3\xA9", plat::Value("\xE2\x9C\x93")}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        plat::Dictionary parsed = dms_dictionaryWithHttpArgumentsString(c.text);
        EXPECT_EQ(parsed.size(), c.expected.size());
        for (const auto& [key, value] : c.expected) {
            ASSERT_NE(parsed.find(key), nullptr) << key;
            EXPECT_EQ(parsed.find(key)->asString(), value.asString());
        }
    }
    EXPECT_EQ(dms_stringByUnescapingFromURLArgument("a+b%20c"), std::optional<std::string>("a b c"));
}

TEST(DMSQueryStrings, ValuesWithSeparatorsSurviveARoundTrip) {
    plat::Dictionary original{{"campaign", plat::Value("a&b=c+d e")},
                              {"n", plat::Value(42)},
                              {"t\xC3\xA9xt", plat::Value("~ok-._")}};
    std::string query = dms_queryString(original);
    EXPECT_EQ(query, "campaign=a%26b%3Dc%2Bd%20e&n=42&t%C3%A9xt=~ok-._");
    plat::Dictionary parsed = dms_dictionaryWithHttpArgumentsString(query);
    ASSERT_EQ(parsed.size(), 3u);
    EXPECT_EQ(parsed.find("campaign")->asString(), "a&b=c+d e");
    EXPECT_EQ(parsed.find("n")->asString(), "42");
    EXPECT_EQ(parsed.find("t\xC3\xA9xt")->asString(), "~ok-._");
}

TEST(DMSUnicode, LengthsCountCharactersAndBytesNeverSplitOne) {
    const std::string smile = "\xF0\x9F\x98\x80";
    EXPECT_EQ(dms_UTF32Length(smile), 1);
    EXPECT_EQ(dms_UTF32Length("h\xC3\xA9llo"), 5);
    EXPECT_EQ(dms_UTF32Length(""), 0);

    uint8_t buffer[16] = {};
    // Seven bytes hold one character and no part of the second.
    EXPECT_EQ(dms_getUTF32Bytes("a" + smile, buffer, 7), 4u);
    EXPECT_EQ(dms_getUTF32Bytes("a" + smile, buffer, 8), 8u);
    const uint8_t expected[] = {'a', 0, 0, 0, 0x00, 0xF6, 0x01, 0x00};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), buffer));
}

TEST_F(DMSUtilitiesTest, DeviceAndAppFacts) {
    struct utsname name {};
    ASSERT_EQ(::uname(&name), 0);
    EXPECT_EQ(DMSAEU::deviceModel(), std::optional<std::string>(name.machine));
    EXPECT_EQ(DMSAEU::systemVersion(), "12.4");
    EXPECT_TRUE(DMSAEU::isOSSupported());

    plat::test::FixtureBundle app(home.root() + "/Portal.app", plat::Dictionary{});
    app.makeMain();
    EXPECT_FALSE(DMSAEU::isAEX());
    plat::sim::BundleSettings::setReceiptName("sandboxReceipt");
    EXPECT_EQ(DMSAEU::appStoreRURL(), std::optional<std::string>(app.path() + "/StoreKit/sandboxReceipt"));
    EXPECT_TRUE(DMSAEU::isASRS());
    plat::sim::BundleSettings::setReceiptName("receipt");
    EXPECT_FALSE(DMSAEU::isASRS());

    plat::test::FixtureBundle extension(home.root() + "/Share.appex", plat::Dictionary{});
    extension.makeMain();
    EXPECT_TRUE(DMSAEU::isAEX());
    EXPECT_EQ(DMSAEU::sharedApplication(), nullptr);
}

TEST_F(DMSUtilitiesTest, FileLocationsAndOperations) {
    EXPECT_EQ(DMSMeasurementFilePath("razoza-app-measurement.sql"),
              home.home() + "/Library/Application Support/Razoza/Measurement/razoza-app-measurement.sql");
    EXPECT_EQ(DMSPreferencesFilePath("com.razoza.rmp.measurement"),
              home.home() + "/Library/Preferences/com.razoza.rmp.measurement.plist");
    EXPECT_EQ(DMSMeasurementFilePath(""), "");
    EXPECT_EQ(DMSPreferencesFilePath(""), "");

    auto& files = plat::FileManager::defaultManager();
    std::string path = home.home() + "/Documents/data.bin";
    ASSERT_TRUE(files.createFile(path, plat::Data{1, 2, 3}));
    plat::Error error;
    EXPECT_TRUE(DMSExcludePathFromBackup(path, &error));
    EXPECT_TRUE(files.isExcludedFromBackup(path));
    EXPECT_TRUE(DMSDeleteFileAtPath(path, &error));
    EXPECT_FALSE(files.fileExists(path));

    EXPECT_FALSE(DMSDeleteFileAtPath(path, &error));
    EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
    EXPECT_FALSE(DMSDeleteFileAtPath("", &error));
    EXPECT_TRUE(error.is("com.razoza.rmp.measurement.ErrorDomain", 1));
}

TEST_F(DMSUtilitiesTest, ServiceInfoPlistOfTheMainBundle) {
    plat::test::FixtureBundle bare(home.root() + "/Bare.app", plat::Dictionary{});
    bare.makeMain();
    EXPECT_EQ(DMSInfoPlistFileUtil::dictionaryFromRazozaServiceInfoPlist(), std::nullopt);

    plat::test::FixtureBundle app(home.root() + "/Portal.app", plat::Dictionary{});
    auto plist = plat::PropertyListSerialization::data(
        plat::Value(plat::Dictionary{{"RAZOZA_APP_ID", plat::Value("1:123:ios:abc")}}),
        plat::PropertyListSerialization::Format::XML);
    ASSERT_TRUE(plist);
    app.add("RazozaService-Info.plist", std::string(plist->begin(), plist->end())).makeMain();
    auto dictionary = DMSInfoPlistFileUtil::dictionaryFromRazozaServiceInfoPlist();
    ASSERT_TRUE(dictionary);
    EXPECT_EQ(dictionary->find("RAZOZA_APP_ID")->asString(), "1:123:ios:abc");

    plat::test::FixtureBundle broken(home.root() + "/Broken.app", plat::Dictionary{});
    broken.add("RazozaService-Info.plist", "not a property list").makeMain();
    EXPECT_EQ(DMSInfoPlistFileUtil::dictionaryFromRazozaServiceInfoPlist(), std::nullopt);
}

TEST_F(DMSUtilitiesTest, KeychainItemsLiveInTheDeviceFolder) {
    const std::string appID = "1:123:ios:abc";
    EXPECT_EQ(DMSKeychainWrapper::keychainValueWithIdentifier("_pfo", appID), std::nullopt);
    EXPECT_TRUE(DMSKeychainWrapper::upsertKeychainValue("1", "_pfo", appID));
    EXPECT_EQ(DMSKeychainWrapper::keychainValueWithIdentifier("_pfo", appID), std::optional<std::string>("1"));
    EXPECT_TRUE(DMSKeychainWrapper::upsertKeychainValue("2", "_pfo", appID));
    EXPECT_EQ(DMSKeychainWrapper::keychainValueWithIdentifier("_pfo", appID), std::optional<std::string>("2"));

    auto items = plat::sim::Keychain::items();
    ASSERT_EQ(items.size(), 1u);
    const plat::Data identifier{'_', 'p', 'f', 'o'};
    EXPECT_EQ(items[0].find(plat::kSecClass)->asString(), plat::kSecClassGenericPassword);
    EXPECT_EQ(items[0].find(plat::kSecAttrService)->asString(), appID);
    EXPECT_EQ(items[0].find(plat::kSecAttrAccount)->asData(), identifier);
    EXPECT_EQ(items[0].find(plat::kSecAttrGeneric)->asData(), identifier);
    EXPECT_EQ(items[0].find(plat::kSecAttrAccessible)->asString(), plat::kSecAttrAccessibleAlwaysThisDeviceOnly);
    EXPECT_EQ(plat::sim::Keychain::path(), home.deviceFolder() + "/keychain.plist");
    EXPECT_TRUE(plat::FileManager::defaultManager().fileExists(plat::sim::Keychain::path()));

    // Empty values, identifiers and app IDs never reach the keychain.
    EXPECT_FALSE(DMSKeychainWrapper::upsertKeychainValue("", "other", appID));
    EXPECT_FALSE(DMSKeychainWrapper::upsertKeychainValue("v", "", appID));
    EXPECT_FALSE(DMSKeychainWrapper::upsertKeychainValue("v", "other", ""));
    EXPECT_EQ(DMSKeychainWrapper::searchDirectoryForIdentifier("", appID), std::nullopt);
    EXPECT_EQ(plat::sim::Keychain::items().size(), 1u);

    // A failing keychain gives NO or nothing, never a crash.
    plat::sim::Faults::fail("keychain.add", "", -34018);
    EXPECT_FALSE(DMSKeychainWrapper::upsertKeychainValue("v", "other", appID));
    plat::sim::Faults::fail("keychain.copy", "", -34018);
    EXPECT_EQ(DMSKeychainWrapper::keychainValueWithIdentifier("_pfo", appID), std::nullopt);

    DMSKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", appID);
    EXPECT_TRUE(plat::sim::Keychain::items().empty());
}

TEST_F(DMSUtilitiesTest, RandomIntegersComeFromThePlatformSource) {
    plat::Random::seed(7);
    int64_t first = DMSNumericUtil::randomInt64();
    plat::Random::seed(7);
    EXPECT_EQ(DMSNumericUtil::randomInt64(), first);
    EXPECT_NE(first, 0);

    dms::test::MonitorRecorder monitor;
    plat::sim::Faults::fail("random.bytes", "", 1);
    EXPECT_EQ(DMSNumericUtil::randomInt64(), 0);
    ASSERT_EQ(monitor.codes(), std::vector<int64_t>{26004});
    EXPECT_EQ(monitor.calls()[0].level, 4);
    EXPECT_EQ(monitor.calls()[0].message, std::optional<std::string>("Unable to generate random integer"));
}
