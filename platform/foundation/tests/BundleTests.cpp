#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/PropertyList.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace plat;

namespace {

class BundleTest : public ::testing::Test {
protected:
    test::TempAppHome home;
    test::FixtureBundle fixture{home.root() + "/App.app",
                                Dictionary{{"CFBundleIdentifier", Value("com.example.app")},
                                           {"CFBundleName", Value("App")},
                                           {"CFBundleVersion", Value("42")},
                                           {"CFBundleShortVersionString", Value("1.2.3")},
                                           {"CFBundleExecutable", Value("portal-app")},
                                           {"UIBackgroundModes", Value(Array{Value("location")})}}};
    std::string root = fixture.path();

    void SetUp() override {
        fixture.add("RazozaService-Info.plist", "<plist/>")
            .add("Config.json", "{}")
            .add("web/index.html", "<html/>")
            .add("web/app.js", "")
            .add("Base.lproj/Main.strings", "x");
        ASSERT_TRUE(writeData(home.root() + "/secret.txt", Data{'s'}));
        ASSERT_EQ(::symlink((home.root() + "/secret.txt").c_str(), (root + "/escape.txt").c_str()), 0);
        ASSERT_EQ(::symlink(home.root().c_str(), (root + "/outside").c_str()), 0);
        ASSERT_EQ(::symlink((root + "/Config.json").c_str(), (root + "/alias.json").c_str()), 0);
    }
};

TEST_F(BundleTest, InfoDictionaryAndVersionKeys) {
    Bundle b(root);
    EXPECT_EQ(b.bundlePath(), root);
    EXPECT_EQ(b.bundleIdentifier(), "com.example.app");
    EXPECT_EQ(b.name(), "App");
    EXPECT_EQ(b.version(), "42");
    EXPECT_EQ(b.shortVersionString(), "1.2.3");
    EXPECT_EQ(b.executableName(), "portal-app");
    EXPECT_EQ(b.objectForInfoDictionaryKey("UIBackgroundModes")->asArray().at(0).asString(), "location");
    EXPECT_EQ(b.objectForInfoDictionaryKey("Missing"), std::nullopt);
    EXPECT_FALSE(b.isAppExtension());
    EXPECT_EQ(b.storeReceiptURL(), root + "/StoreKit/receipt");
    sim::BundleSettings::setReceiptName("sandboxReceipt");
    EXPECT_EQ(b.storeReceiptURL(), root + "/StoreKit/sandboxReceipt");

    Bundle none(home.root() + "/NoSuch.app");
    EXPECT_FALSE(none.infoDictionary());
    EXPECT_EQ(none.bundleIdentifier(), std::nullopt);
    EXPECT_EQ(none.pathForResource("Config", "json"), std::nullopt);
}

TEST_F(BundleTest, MainBundleIsSettable) {
    EXPECT_FALSE(Bundle::main()->infoDictionary());
    Bundle::setMain(root + "/");
    EXPECT_EQ(Bundle::main()->bundleIdentifier(), "com.example.app");
    EXPECT_EQ(Bundle::main()->bundlePath(), root);
    EXPECT_EQ(Bundle::forClass("DAVOptions")->bundleIdentifier(), "com.example.app");
}

TEST_F(BundleTest, ResourcesAreFoundInsideTheBundleOnly) {
    Bundle b(root);
    EXPECT_EQ(b.pathForResource("RazozaService-Info", "plist"), root + "/RazozaService-Info.plist");
    EXPECT_EQ(b.pathForResource("Config.json", ""), root + "/Config.json");
    EXPECT_EQ(b.pathForResource("index", "html", "web"), root + "/web/index.html");
    EXPECT_EQ(b.pathForResource("Main", "strings"), root + "/Base.lproj/Main.strings");
    EXPECT_EQ(b.pathForResource("alias", "json"), root + "/alias.json"); // a link that stays inside is fine
    EXPECT_EQ(b.pathForResource("Missing", "json"), std::nullopt);

    struct Attempt {
        const char* name;
        const char* type;
        const char* subdirectory;
    };
    const Attempt escapes[] = {
        {"../secret", "txt", ""},         {"secret", "txt", ".."}, {"x/../../secret", "txt", ""},
        {"/etc/passwd", "", ""},          {"passwd", "", "/etc"},  {"escape", "txt", ""},
        {"secret", "txt", "outside"},     {"", "json", ""},        {"secret", "../txt", ""},
        {"App.app/../secret", "txt", ""}, {"..", "", ""},
    };
    for (const auto& a : escapes)
        EXPECT_EQ(b.pathForResource(a.name, a.type, a.subdirectory), std::nullopt)
            << a.name << " . " << a.type << " in " << a.subdirectory;
}

TEST_F(BundleTest, ResourcesOfATypeListSortedWithoutEscapes) {
    Bundle b(root);
    EXPECT_EQ(b.pathsForResourcesOfType("json"),
              (std::vector<std::string>{root + "/Config.json", root + "/alias.json"}));
    EXPECT_EQ(b.pathsForResourcesOfType("", "web"),
              (std::vector<std::string>{root + "/web/app.js", root + "/web/index.html"}));
    EXPECT_TRUE(b.pathsForResourcesOfType("txt").empty()); // escape.txt leads out
    EXPECT_TRUE(b.pathsForResourcesOfType("txt", "outside").empty());
    EXPECT_TRUE(b.pathsForResourcesOfType("txt", "..").empty());
}

TEST_F(BundleTest, LocalizedStringsFromPlistOrJsonTables) {
    auto table = PropertyListSerialization::data(Value(Dictionary{{"greeting", Value("Hallo")}}),
                                                 PropertyListSerialization::Format::Binary);
    ASSERT_TRUE(table);
    ASSERT_TRUE(FileManager::defaultManager().createDirectory(root + "/en.lproj", true));
    ASSERT_TRUE(writeData(root + "/en.lproj/Localizable.strings", *table));
    fixture.add("Other.strings", R"({"k": "from json"})");
    fixture.add("Broken.strings", R"("k" = "old-style text";)");
    Bundle b(root);
    EXPECT_EQ(b.localizedString("greeting", "", ""), "Hallo");
    EXPECT_EQ(b.localizedString("missing", "fallback", ""), "fallback");
    EXPECT_EQ(b.localizedString("missing", "", ""), "missing");
    EXPECT_EQ(b.localizedString("k", "", "Other"), "from json");
    EXPECT_EQ(b.localizedString("k", "", "Broken"), "k");
}

TEST_F(BundleTest, ExtensionBundlesAreRecognised) {
    test::FixtureBundle ext(
        home.root() + "/Ext.appex",
        Dictionary{{"CFBundleIdentifier", Value("com.example.app.ext")},
                   {"NSExtension", Value(Dictionary{{"NSExtensionPointIdentifier", Value("x")}})}});
    EXPECT_TRUE(Bundle(ext.path()).isAppExtension());
}

} // namespace
