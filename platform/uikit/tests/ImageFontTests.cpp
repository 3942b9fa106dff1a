// Images read from PNG files (size from the header, scale from the name, the file's bytes as PNG) and font
// tables read from the bundle's sfnt files, including damaged and hostile files.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/FileManager.hpp"
#include "platform/uikit/FontProvider.hpp"
#include "platform/uikit/UIImage.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/PngFixture.hpp"
#include "testing/TempAppHome.hpp"

namespace plat {
namespace {

using test::encodePng;

class UIKitImages : public ::testing::Test {
protected:
    std::string write(const std::string& name, const Data& bytes) {
        std::string path = temp.root() + "/" + name;
        EXPECT_TRUE(writeData(path, bytes).ok()) << path;
        return path;
    }
    test::TempAppHome temp;
};

TEST_F(UIKitImages, SizeInPointsComesFromTheHeaderAndScaleFromTheName) {
    const Data png = encodePng(120, 90);
    struct Case {
        const char* name;
        double scale;
    } cases[] = {
        {"Icon.png", 1},          {"Icon@2x.png", 2},    {"Icon@3x.png", 3},
        {"Icon@2x~ipad.png", 2},  {"Icon~ipad.png", 1},  {"Icon@4x.png", 1},
        {"Icon@2x.extra.png", 1}, {"Icon-72@2x.png", 2}, {"no-extension@3x", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto image = UIImage::imageWithContentsOfFile(write(c.name, png));
        ASSERT_TRUE(image);
        EXPECT_EQ(image->scale(), c.scale);
        EXPECT_EQ(image->size().width, 120 / c.scale);
        EXPECT_EQ(image->size().height, 90 / c.scale);
        EXPECT_EQ(image->pngRepresentation(), png) << "the PNG form is the file itself";
    }
}

TEST_F(UIKitImages, MissingDamagedOrOtherFilesGiveNoImage) {
    const Data png = encodePng(4, 3);
    Data badCrc = png;
    badCrc[29] ^= 0xff; // inside the IHDR chunk: its checksum no longer matches
    Data wrongSignature = png;
    wrongSignature[1] = 'Q';
    const std::string text = "just text, not an image";
    struct Case {
        const char* what;
        Data bytes;
    } cases[] = {
        {"empty file", {}},
        {"text", Data(text.begin(), text.end())},
        {"JPEG start", Data{0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0}},
        {"signature only", Data(png.begin(), png.begin() + 8)},
        {"header cut short", Data(png.begin(), png.begin() + 20)},
        {"header without image data", Data(png.begin(), png.begin() + 33)},
        {"damaged header", badCrc},
        {"wrong signature", wrongSignature},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(UIImage::imageWithContentsOfFile(write("image.png", c.bytes)));
    }
    EXPECT_FALSE(UIImage::imageWithContentsOfFile(temp.root() + "/absent.png"));
    EXPECT_FALSE(UIImage::imageWithContentsOfFile(temp.root())) << "a folder";
}

// ---- fonts ----

struct Table {
    std::string tag;
    std::string bytes;
};

void put32(std::string& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out[at + static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
    }
}

// An sfnt file: the 12-byte header, one 16-byte record per table, then the tables, 4-byte aligned.
std::string buildFont(const std::vector<Table>& tables, uint32_t version = 0x00010000) {
    std::string out(12 + 16 * tables.size(), '\0');
    put32(out, 0, version);
    out[4] = static_cast<char>(tables.size() >> 8);
    out[5] = static_cast<char>(tables.size() & 0xff);
    for (size_t i = 0; i < tables.size(); ++i) {
        const size_t record = 12 + 16 * i;
        out.replace(record, 4, tables[i].tag);
        put32(out, record + 8, static_cast<uint32_t>(out.size()));
        put32(out, record + 12, static_cast<uint32_t>(tables[i].bytes.size()));
        out += tables[i].bytes;
        out.resize((out.size() + 3) & ~size_t{3}, '\0');
    }
    return out;
}

constexpr uint32_t kCRSH = 0x43525348;
constexpr uint32_t kHead = 0x68656164;

Data bytesOf(const std::string& s) {
    return Data(s.begin(), s.end());
}

std::optional<std::string> tableText(const std::string& font, uint32_t tag) {
    auto table = FontProvider::tableFromFontData(bytesOf(font), tag);
    if (!table) {
        return std::nullopt;
    }
    return std::string(table->begin(), table->end());
}

const std::string kToken = std::string("\0\0\0\1\0\0\0\5", 8) + "abcde";

TEST(UIKitFonts, TablesAreFoundByTagAndMissingTagsGiveNone) {
    const std::string font = buildFont({{"head", "HEAD-TABLE"}, {"CRSH", kToken}, {"name", ""}});
    EXPECT_EQ(tableText(font, kCRSH), kToken);
    EXPECT_EQ(tableText(font, kHead), "HEAD-TABLE");
    EXPECT_EQ(tableText(font, 0x6E616D65), "") << "an empty table is there, with no bytes";
    EXPECT_EQ(tableText(font, 0x676C7966), std::nullopt) << "'glyf' is not in the directory";
    EXPECT_EQ(tableText(font, 0x63727368), std::nullopt) << "tags are case-sensitive";

    EXPECT_EQ(tableText(buildFont({{"CRSH", kToken}}, 0x4F54544F), kCRSH), kToken) << "CFF ('OTTO') fonts";
    EXPECT_EQ(tableText(buildFont({{"CRSH", kToken}}, 0x74727565), kCRSH), kToken) << "'true' fonts";
}

TEST(UIKitFonts, DamagedOrHostileFilesGiveNoneAndAreNeverReadPastTheirEnd) {
    const std::string good = buildFont({{"head", "HEAD"}, {"CRSH", kToken}});
    const size_t crshRecord = 12 + 16;

    std::string pastEnd = good;
    put32(pastEnd, crshRecord + 12, static_cast<uint32_t>(kToken.size() + 64));
    std::string offsetPastEnd = good;
    put32(offsetPastEnd, crshRecord + 8, static_cast<uint32_t>(good.size() + 1));
    std::string wrapping = good; // offset + length wraps around 32 bits
    put32(wrapping, crshRecord + 8, 0xFFFFFFF0);
    put32(wrapping, crshRecord + 12, 0x20);
    std::string hugeCount = good;
    hugeCount[4] = '\xff';
    hugeCount[5] = '\xff';
    std::string collection = good;
    put32(collection, 0, 0x74746366); // 'ttcf'
    std::string garbage = good;
    put32(garbage, 0, 0xDEADBEEF);

    struct Case {
        const char* what;
        std::string font;
    } cases[] = {
        {"table reaches past the end", pastEnd},
        {"table starts past the end", offsetPastEnd},
        {"offset and length wrap", wrapping},
        {"directory longer than the file", hugeCount},
        {"directory cut short", good.substr(0, crshRecord + 10)},
        {"shorter than the header", good.substr(0, 11)},
        {"empty", ""},
        {"a font collection", collection},
        {"not an sfnt", garbage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(tableText(c.font, kCRSH), std::nullopt);
    }
    EXPECT_EQ(tableText(good.substr(0, good.size() - 4), kHead), "HEAD")
        << "a table that fits is still read when a later one is cut";
}

TEST(UIKitFonts, FontsComeFromTheMainBundleAsTtfThenOtf) {
    test::TempAppHome temp;
    test::FixtureBundle bundle(temp.root() + "/App.app", Dictionary{});
    bundle.add("Vuzidorazav.ttf", buildFont({{"CRSH", kToken}}))
        .add("Other.otf", buildFont({{"CRSH", "from otf"}}, 0x4F54544F))
        .add("Both.ttf", buildFont({{"CRSH", "from ttf"}}))
        .add("Both.otf", buildFont({{"CRSH", "from otf"}}, 0x4F54544F))
        .makeMain();

    EXPECT_TRUE(FontProvider::hasFont("Vuzidorazav"));
    auto token = FontProvider::copyTable("Vuzidorazav", kCRSH);
    ASSERT_TRUE(token);
    EXPECT_EQ(*token, bytesOf(kToken));
    EXPECT_EQ(FontProvider::copyTable("Other", kCRSH), bytesOf("from otf"));
    EXPECT_EQ(FontProvider::copyTable("Both", kCRSH), bytesOf("from ttf"));
    EXPECT_EQ(FontProvider::copyTable("Vuzidorazav", kHead), std::nullopt);

    for (const char* absent : {"Missing", "", "../App.app/Vuzidorazav"}) {
        SCOPED_TRACE(absent);
        EXPECT_FALSE(FontProvider::hasFont(absent));
        EXPECT_EQ(FontProvider::copyTable(absent, kCRSH), std::nullopt);
    }
}

} // namespace
} // namespace plat
