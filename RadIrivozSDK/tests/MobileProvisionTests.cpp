// The release mode from the provisioning profile in the main bundle: bytes around an XML property list.

#include "RadIrivozSDK/tests/PushDeviceSupport.hpp"

#include "RadIrivozSDK/Source/RadIrivozMobileProvision.hpp"

#include <filesystem>

namespace {

using namespace push::test;

// A signed container as the build tools make it: binary bytes, the plist, more binary bytes.
std::string profile(const std::string& dictBody, bool closed = true) {
    std::string text("\x30\x82\x1f\x0b\x06\x09\x2a\x86\xe9", 9);
    text += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + dictBody + "</dict>\n";
    if (closed) {
        text += "</plist>";
    }
    return text + std::string("\xa0\x82\x0c\x00\xff", 5);
}

struct ProvisionCase {
    const char* name;
    std::optional<std::string> file;
    int64_t mode;
    const char* error;
};

class ReleaseModeTest : public PushDeviceTest, public ::testing::WithParamInterface<ProvisionCase> {};

TEST_P(ReleaseModeTest, TheProfileDecidesTheReleaseMode) {
    const ProvisionCase& c = GetParam();
    std::vector<std::pair<std::string, std::string>> files;
    if (c.file) {
        files.emplace_back("embedded.mobileprovision", *c.file);
    }
    boot("12.4", {}, files);
    EXPECT_EQ(RadIrivozMobileProvision::releaseMode(), c.mode);
    if (*c.error) {
        EXPECT_NE(console.nslog().find(std::string("ERROR: ") + c.error), std::string::npos) << console.nslog();
    }
}

const std::string kDevelopment = "<key>Entitlements</key><dict><key>aps-environment</key><string>development</string>"
                                 "</dict>\n";

INSTANTIATE_TEST_SUITE_P(
    Profiles, ReleaseModeTest,
    ::testing::Values(
        ProvisionCase{"NoProfile", std::nullopt, 4, ""},
        ProvisionCase{"Development", profile(kDevelopment), 1, ""},
        ProvisionCase{"Production",
                      profile("<key>Entitlements</key><dict><key>aps-environment</key><string>production</string>"
                              "</dict>\n"),
                      4, ""},
        ProvisionCase{"NoEnvironment", profile("<key>Name</key><string>x</string>\n"), 4, ""},
        ProvisionCase{"AllDevices", profile(kDevelopment + "<key>ProvisionsAllDevices</key><true/>\n"), 6, ""},
        ProvisionCase{"NoEnd", profile(kDevelopment, false), 0, "unable to find end of plist"},
        ProvisionCase{"NoBeginning", std::string("\x30\x82 no property list here", 24), 0,
                      "unable to find beginning of plist"},
        ProvisionCase{"Broken", profile("<key>Entitlements</key><dict>\n"), 0, "error parsing extracted plist - "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PushDeviceTest, AParsedProfileIsKeptAndTheFileNotReadAgain) {
    boot("12.4", {}, {{"embedded.mobileprovision", profile(kDevelopment)}});
    auto first = RadIrivozMobileProvision::getMobileProvision();
    ASSERT_TRUE(first);
    std::filesystem::remove(*plat::Bundle::main()->pathForResource("embedded", "mobileprovision"));
    EXPECT_EQ(RadIrivozMobileProvision::getMobileProvision(), first);
    EXPECT_EQ(RadIrivozMobileProvision::releaseMode(), 1);
}

TEST_F(PushDeviceTest, ADevelopmentBuildTellsTheServiceItsTestType) {
    boot("12.4", {}, {{"embedded.mobileprovision", profile(kDevelopment)}});
    net->route("POST", apiURL("players"), plat::ScriptedReply::text(200, R"({"id":"player-1"})"));
    ASSERT_TRUE(RadIrivoz::initAppId(std::string(radirivoz_test::kAppId), defaults(), {}));
    RadIrivoz::registerUser();
    plat::Virtual::runUntilIdle();
    const auto created = sent("POST", "players");
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(*body(created[0]).find("test_type"), plat::Value(1));
}

} // namespace
