// The push environment read from the provisioning profile in the bundle: profiles of every shape, with the
// rule that anything unreadable counts as production, and the answer kept for the life of the process.

#include "instance_id/DAVInstanceID.hpp"
#include "instance_id/tests/InstanceIDTestSupport.hpp"
#include "platform/foundation/FileManager.hpp"

#include <algorithm>

namespace {

std::string sandboxProfilePlist(const std::string& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>" + entries +
           "</dict>\n</plist>";
}

std::string sandboxEntitlements(const std::string& environment) {
    return "<key>Entitlements</key><dict><key>aps-environment</key>" + environment + "</dict>";
}

// A signed envelope: bytes of every kind around the plist text.
std::string sandboxInNoise(const std::string& plist) {
    std::string noise;
    for (int i = 0; i < 300; ++i) {
        noise += static_cast<char>((i * 37) & 0xFF);
    }
    noise.erase(std::remove(noise.begin(), noise.end(), '<'), noise.end());
    return noise + plist + noise;
}

class DAVInstanceIDSandboxTest : public iid_test::InstanceIDDeviceTest {
protected:
    void writeProfile(const std::optional<std::string>& bytes) {
        const std::string path = bundle->path() + "/embedded.mobileprovision";
        (void)plat::FileManager::defaultManager().removeItem(path);
        if (bytes) {
            ASSERT_TRUE(plat::writeData(path, plat::Data(bytes->begin(), bytes->end())));
        }
    }
};

TEST_F(DAVInstanceIDSandboxTest, EveryProfileShapeGivesAnEnvironmentAndNeverFails) {
    const std::string development = sandboxEntitlements("<string>development</string>");
    const struct {
        const char* name;
        std::optional<std::string> profile;
        bool production;
        const char* message; // a line that must be logged, if any
    } cases[] = {
        {"development", sandboxProfilePlist(development), false, "APNS Environment in profile: development"},
        {"production", sandboxProfilePlist(sandboxEntitlements("<string>production</string>")), true,
         "APNS Environment in profile: production"},
        {"no profile", std::nullopt, true, "Error while reading embedded mobileprovision"},
        {"empty profile", std::string(), true, "Error while reading embedded mobileprovision"},
        {"inside binary noise", sandboxInNoise(sandboxProfilePlist(development)), false, "[I-IID003013]"},
        {"devices listed",
         sandboxProfilePlist("<key>ProvisionedDevices</key><array><string>d1</string></array>" + development),
         false, "most likely a Dev profile"},
        {"no aps-environment", sandboxProfilePlist("<key>Entitlements</key><dict/>"), true,
         "No aps-environment set."},
        {"no plist in the noise", sandboxInNoise("nothing here"), true, nullptr},
        {"plist that is no dictionary", "<plist version=\"1.0\"><array/></plist>", true,
         "Error while converting assumed plist to dict"},
        {"broken plist", "<plist version=\"1.0\"><dict><key>a</dict>", true,
         "Error while converting assumed plist to dict"},
        {"aps-environment of another type", sandboxProfilePlist(sandboxEntitlements("<integer>1</integer>")), true,
         nullptr},
        {"empty aps-environment", sandboxProfilePlist(sandboxEntitlements("<string></string>")), true,
         "No aps-environment set."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeProfile(c.profile);
        logged();
        EXPECT_EQ(DAVInstanceID::isProductionApp(), c.production);
        if (c.message) {
            const auto lines = logged();
            EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                                    [&](const auto& l) { return l.find(c.message) != std::string::npos; }))
                << c.message;
        }
    }
    // Without the messaging client the configuration problems are debug lines.
    writeProfile(std::nullopt);
    EXPECT_TRUE(DAVInstanceID::isProductionApp());
    EXPECT_TRUE(loggedCode(3015));
}

TEST_F(DAVInstanceIDSandboxTest, TheAnswerIsTakenOncePerProcess) {
    writeProfile(sandboxProfilePlist(sandboxEntitlements("<string>development</string>")));
    EXPECT_TRUE(DAVInstanceID::isSandboxApp());
    writeProfile(sandboxProfilePlist(sandboxEntitlements("<string>production</string>")));
    EXPECT_TRUE(DAVInstanceID::isSandboxApp());
    EXPECT_TRUE(DAVInstanceID::isProductionApp());
}

} // namespace
