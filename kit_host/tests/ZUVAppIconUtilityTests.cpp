// The icon search over fixture bundles holding real PNG files: where the names come from, their variants,
// the surface limit, equal surfaces, malformed Info.plist entries and files that are no image.

#include "kit_host/ZUVAppIconUtility.hpp"
#include "kit_host/ZUVUtilities.hpp"

#include "platform/foundation/Console.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/PngFixture.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

namespace {

using plat::Array;
using plat::Dictionary;
using plat::Value;

std::string iconPngText(uint32_t pixels, uint8_t fill = 0x7f) {
    const plat::Data png = plat::test::encodePng(pixels, pixels, fill);
    return std::string(png.begin(), png.end());
}

Value primaryIcons(Array names, std::optional<Value> prerendered = std::nullopt) {
    Dictionary primary{{"CFBundleIconFiles", Value(std::move(names))}};
    if (prerendered)
        primary.set("UIPrerenderedIcon", *prerendered);
    return Value(Dictionary{{"CFBundlePrimaryIcon", Value(primary)}});
}

struct IconCase {
    std::string what;
    Dictionary info;
    std::vector<std::pair<std::string, std::string>> files; // name, contents
    std::optional<std::string> chosen;                       // the file whose bytes the icon holds
    double pixels = 0;
    bool prerendered = false;
    std::vector<std::string> lines; // log lines expected, in order
};

TEST(ZUVAppIconUtilityTest, SearchPicksTheLargestIconWithinTheLimit) {
    const std::string p76 = iconPngText(76), p120 = iconPngText(120), p152 = iconPngText(152),
                      p180 = iconPngText(180), p120b = iconPngText(120, 0x10);
    const std::string malformed = "[Zuvadu] Info.plist field ";
    const std::vector<IconCase> cases = {
        {"icons dictionary: variants by scale, 180 px over the limit",
         {{"CFBundleIcons", primaryIcons({Value("Icon"), Value("Big")}, Value(true))}},
         {{"Icon.png", p76}, {"Icon@2x.png", p152}, {"Icon~ipad.png", p120}, {"Big.png", p180}},
         "Icon@2x.png", 152, true, {}},
        {"152 px is within the limit",
         {{"CFBundleIcons", primaryIcons({Value("A")}, Value("NO"))}},
         {{"A.png", p120}, {"A@2x~ipad.png", p76}, {"A~ipad.png", p152}},
         "A~ipad.png", 152, false, {}},
        {"the iPad dictionary comes first",
         {{"CFBundleIcons~ipad", primaryIcons({Value("Pad")})}, {"CFBundleIcons", primaryIcons({Value("Phone")})}},
         {{"Pad~ipad.png", p76}, {"Phone.png", p152}},
         "Pad~ipad.png", 76, false, {}},
        {"equal surfaces: the first name stays",
         {{"CFBundleIconFiles", Value(Array{Value("First"), Value("Second")})}},
         {{"Second.png", p120b}, {"First.png", p120}},
         "First.png", 120, false, {}},
        {"an icons dictionary that is a string: logged, the file list is used",
         {{"CFBundleIcons", Value("Icon")}, {"CFBundleIconFiles", Value(Array{Value("Listed")})}},
         {{"Listed.png", p120}, {"Icon.png", p152}},
         "Listed.png", 120, false, {malformed + "CFBundleIcons appears malformed"}},
        {"a primary icon that is no dictionary, icon files that are no array",
         {{"CFBundleIcons~ipad", Value(Dictionary{{"CFBundlePrimaryIcon", Value("x")}})},
          {"CFBundleIcons", Value(Dictionary{{"CFBundlePrimaryIcon", Value(Dictionary{{"CFBundleIconFiles", Value(1)}})}})},
          {"CFBundleIconFile", Value("One")}},
         {{"One.png", p76}},
         "One.png", 76, false,
         {malformed + "CFBundlePrimaryIcon appears malformed", malformed + "CFBundleIconFiles appears malformed",
          malformed + "CFBundleIconFiles appears malformed"}},
        {"an upper-case extension has no variants added",
         {{"CFBundleIconFiles", Value(Array{Value("Up.PNG")})}},
         {{"Up.PNG", p76}, {"Up.PNG@2x.png", p152}},
         "Up.PNG", 76, false, {}},
        {"the conventional names; a file that is no PNG is skipped",
         {},
         {{"Icon.png", "not a png"}, {"Icon-72.png", p76}, {"Icon-Small-50@2x.png", p120}},
         "Icon-Small-50@2x.png", 120, false,
         {malformed + "CFBundleIconFiles appears malformed", malformed + "CFBundleIconFile appears malformed"}},
        {"nothing usable",
         {{"CFBundleIconFiles", Value(Array{Value("Huge"), Value(7)})}},
         {{"Huge.png", p180}, {"Icon.png", ""}},
         std::nullopt, 0, false,
         {malformed + "CFBundleIconFile appears malformed", "[Zuvadu] Unable to locate application icon"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        plat::test::TempAppHome home;
        plat::test::FixtureBundle bundle(home.root() + "/App.app", c.info);
        for (const auto& [name, contents] : c.files)
            bundle.add(name, contents);
        bundle.makeMain();
        plat::sim::ConsoleCapture console;
        plat::sim::Console::clearCaptured();
        ZUVAppIconUtility utility;
        auto icon = utility.applicationIcon();
        std::string expectedLog;
        for (const auto& line : c.lines)
            expectedLog += line + "\n";
        std::string log = console.nslog();
        std::string onlyText;
        for (size_t at = 0; (at = log.find("[Zuvadu]", at)) != std::string::npos;) {
            const size_t end = log.find('\n', at);
            onlyText += log.substr(at, end - at + 1);
            at = end;
        }
        EXPECT_EQ(onlyText, expectedLog);
        if (!c.chosen) {
            EXPECT_FALSE(icon);
            continue;
        }
        ASSERT_TRUE(icon);
        std::string chosenBytes;
        for (const auto& [name, contents] : c.files)
            if (name == *c.chosen)
                chosenBytes = contents;
        EXPECT_EQ(std::string(icon->data().begin(), icon->data().end()), chosenBytes);
        EXPECT_EQ(icon->dataHash(), ZUVSHA1HexOfBytes(chosenBytes.data(), chosenBytes.size()));
        EXPECT_EQ(icon->size().width, c.pixels);
        EXPECT_EQ(icon->size().height, c.pixels);
        EXPECT_EQ(icon->prerendered(), c.prerendered);
        EXPECT_EQ(utility.applicationIcon(), icon) << "found once and kept";
    }
}

TEST(ZUVAppIconUtilityTest, NameVariantsAndSurfaceChecks) {
    EXPECT_EQ(ZUVAppIconUtility::iconNameSetWithAlternateNamesAddedToIconNameSet({"Icon", "A.PNG", "Icon@2x", "b.png"}),
              (std::vector<std::string>{"Icon", "Icon@2x", "Icon~ipad", "Icon@2x~ipad", "A.PNG", "Icon@2x@2x",
                                        "Icon@2x@2x~ipad", "b.png"}));
    for (const auto& [name, has] : std::vector<std::pair<std::string, bool>>{
             {"a.png", true}, {"a.Png", true}, {"a", false}, {"a.pngx", false}, {"png", false}, {"dir.png/a", false}})
        EXPECT_EQ(ZUVAppIconUtility::isIconImageFileNameExtensionPresentInName(name), has) << name;

    auto icon = ZUVIcon::initWithData({1, 2, 3}, {152, 152});
    EXPECT_TRUE(icon->isWithinMaxSurfaceArea());
    EXPECT_TRUE(icon->prerendered());
    EXPECT_EQ(icon->dataHash(), "7037807198c22a7d2b0807371d763779a84fdfcf");
    EXPECT_FALSE(ZUVIcon::initWithData({1}, {152, 153})->isWithinMaxSurfaceArea());
    EXPECT_TRUE(icon->largerThanSize({151, 152}));
    EXPECT_FALSE(icon->largerThanSize({152, 152}));
}

} // namespace
