// UIDevice and UIScreen answer from the installed facts provider, fall back to the default device, and keep
// the vendor identifier stable within a process.

#include <gtest/gtest.h>

#include <memory>

#include "platform/uikit/UIDevice.hpp"

namespace plat {
namespace {

class TabletFacts : public DeviceFacts {
public:
    std::string systemVersion() const override { return "9.3.5"; }
    std::string model() const override { return "SimPad"; }
    std::optional<UUID> identifierForVendor() const override { return std::nullopt; }
    UIDeviceOrientation orientation() const override { return UIDeviceOrientation::faceUp; }
    int64_t userInterfaceIdiom() const override { return UIUserInterfaceIdiomPad; }
    CGRect screenBounds() const override { return CGRect{{0, 0}, {768, 1024}}; }
    double screenScale() const override { return 2; }
    bool multitaskingSupported() const override { return false; }
};

TEST(UIKitDevice, AnswersComeFromTheProviderAndFallBackToTheDefaultDevice) {
    UIDevice& device = UIDevice::currentDevice();
    const auto vendor = device.identifierForVendor();
    ASSERT_TRUE(vendor.has_value());
    EXPECT_EQ(device.identifierForVendor(), vendor) << "stable within the process";
    EXPECT_EQ(device.systemName(), "SimOS");
    EXPECT_EQ(device.userInterfaceIdiom(), UIUserInterfaceIdiomPhone);
    EXPECT_EQ(UIScreen::mainScreen().bounds(), (CGRect{{0, 0}, {375, 812}}));
    EXPECT_EQ(UIScreen::mainScreen().scale(), 3);
    EXPECT_TRUE(device.isMultitaskingSupported());

    sim::setDeviceFacts(std::make_shared<TabletFacts>());
    EXPECT_EQ(device.systemVersion(), "9.3.5");
    EXPECT_EQ(device.model(), "SimPad");
    EXPECT_EQ(device.systemName(), "SimOS") << "what the provider leaves alone stays the default";
    EXPECT_FALSE(device.identifierForVendor().has_value());
    EXPECT_EQ(device.orientation(), UIDeviceOrientation::faceUp);
    EXPECT_EQ(static_cast<int64_t>(device.orientation()), 5);
    EXPECT_EQ(device.userInterfaceIdiom(), UIUserInterfaceIdiomPad);
    EXPECT_EQ(UIScreen::mainScreen().bounds(), (CGRect{{0, 0}, {768, 1024}}));
    EXPECT_EQ(UIScreen::mainScreen().scale(), 2);
    EXPECT_FALSE(device.isMultitaskingSupported());

    sim::setDeviceFacts(nullptr);
    EXPECT_EQ(device.model(), "SimPhone");
    EXPECT_EQ(device.identifierForVendor(), vendor);
}

} // namespace
} // namespace plat
