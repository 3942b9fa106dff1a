// The executable reader over built fixtures: thin, fat, byte-swapped, truncated and hostile images, the
// object layer and the debug-symbol package. Every walk runs under AddressSanitizer, so a read past the
// end of a fixture fails the test.

#include "kit_host/VZRMachO.hpp"
#include "kit_host/VZRMachOBinary.hpp"
#include "kit_host/tests/MachOBuilder.hpp"

#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/PropertyList.hpp"
#include "platform/foundation/Random.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace {

using namespace machotest;

struct VZRMachOTest : ::testing::Test {
    plat::test::TempAppHome home;

    std::string write(const std::string& name, const Bytes& bytes) {
        const std::string path = home.root() + "/" + name;
        EXPECT_TRUE(plat::writeData(path, bytes));
        return path;
    }
};

// What one walk over in-memory bytes finds, with the bytes in an allocation of exactly their size.
struct Walk {
    std::vector<std::string> architectures;
    std::vector<std::vector<uint32_t>> commandTypes;
    std::vector<std::vector<std::string>> dylibs;
};

Walk walk(const Bytes& bytes) {
    auto exact = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), exact.get());
    Walk w;
    VZRMachOEnumerateSlices(exact.get(), bytes.size(), [&](VZRMachOSliceInfo* slice) {
        std::vector<uint32_t> types;
        VZRMachOSliceEnumerateLoadCommands(slice, [&](const VZRMachOLoadCommand& c) {
            types.push_back(c.type);
            // Every reader over every command: each must check its own bounds.
            (void)VZRMachOLoadCommandUUIDBytes(c);
            (void)VZRMachOLoadCommandIsEncrypted(c);
            (void)VZRMachOLoadCommandMinimumOSVersion(c);
            (void)VZRMachOLoadCommandSDKVersion(c);
            (void)VZRMachOLoadCommandDylibPath(c);
        });
        w.architectures.push_back(VZRMachOArchitectureName(slice));
        w.commandTypes.push_back(types);
        w.dylibs.push_back(VZRMachOSlice(*slice).linkedDylibs());
    });
    return w;
}

TEST_F(VZRMachOTest, UniversalExecutableGivesSlicesVersionsAndIdentity) {
    auto binary = VZRMachOBinary::MachOBinaryWithPath(write("App", universalApp()));
    ASSERT_TRUE(binary);
    ASSERT_EQ(binary->slices().size(), 2u);

    const auto& arm64 = *binary->slices()[0];
    EXPECT_EQ(arm64.architectureName(), "arm64");
    EXPECT_EQ(arm64.uuid(), "00112233445566778899aabbccddeeff");
    EXPECT_EQ(arm64.linkedDylibs(), std::vector<std::string>{"/usr/lib/libSystem.B.dylib"});
    char text[32];
    const VZRMachOVersion minimum = arm64.minimumOSVersion();
    ASSERT_TRUE(VZRMachOVersionString(&minimum, text, sizeof text));
    EXPECT_STREQ(text, "10.3.1");
    const VZRMachOVersion sdk = arm64.linkedSDKVersion();
    ASSERT_TRUE(VZRMachOVersionString(&sdk, text, sizeof text));
    EXPECT_STREQ(text, "11.0.0");
    EXPECT_FALSE(VZRMachOVersionString(nullptr, text, sizeof text));
    EXPECT_TRUE(VZRMachOSliceIs64Bit(&arm64.slice()));

    const auto& armv7 = *binary->slices()[1];
    EXPECT_EQ(armv7.architectureName(), "armv7");
    EXPECT_EQ(armv7.uuid(), "ffeeddccbbaa99887766554433221100");
    EXPECT_FALSE(VZRMachOSliceIs64Bit(&armv7.slice()));
    EXPECT_EQ(armv7.minimumOSVersion().major, 0u) << "no version command: zeros";

    EXPECT_EQ(binary->instanceIdentifier(), "0b456a320d99802056f5a03415ac6ef994c058b9");
    EXPECT_EQ(binary->sliceForArchitecture("armv7").get(), &armv7);
    EXPECT_EQ(binary->sliceForArchitecture("x86_64"), nullptr);
    std::vector<std::string> seen;
    binary->enumerateUUIDs([&](const std::string& uuid, const std::string& arch) { seen.push_back(arch + "=" + uuid); });
    EXPECT_EQ(seen, (std::vector<std::string>{"arm64=00112233445566778899aabbccddeeff",
                                              "armv7=ffeeddccbbaa99887766554433221100"}));
}

TEST_F(VZRMachOTest, FilesThatCannotBeMapped) {
    const std::string short15 = write("short", Bytes(15, 0));
    const std::string folder = home.root() + "/folder";
    ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(folder, true));
    for (const std::string& path : {short15, folder, home.root() + "/missing", std::string()}) {
        VZRMachOFile file;
        EXPECT_FALSE(VZRMachOFileMap(&file, path.c_str())) << path;
        EXPECT_EQ(file.mappedFile, nullptr);
        EXPECT_EQ(VZRMachOBinary::MachOBinaryWithPath(path), nullptr) << path;
    }
    VZRMachOFile file;
    EXPECT_FALSE(VZRMachOFileMap(nullptr, short15.c_str()));
    EXPECT_FALSE(VZRMachOFileMap(&file, nullptr));
    VZRMachOFileUnmap(nullptr);

    // Sixteen zero bytes map and read as one slice nobody can name.
    auto zeros = VZRMachOBinary::MachOBinaryWithPath(write("zeros", Bytes(16, 0)));
    ASSERT_TRUE(zeros);
    ASSERT_EQ(zeros->slices().size(), 1u);
    EXPECT_EQ(zeros->slices()[0]->architectureName(), "unknown");
    EXPECT_FALSE(zeros->slices()[0]->uuid());
    EXPECT_TRUE(zeros->slices()[0]->linkedDylibs().empty());
}

TEST(VZRMachO, ArchitectureNames) {
    struct Case {
        int32_t type, subtype;
        const char* name;
    } cases[] = {
        {kARM, 11, "armv7s"},
        {kARM, 12, "armv7k"},
        {kARM, 9, "armv7"},
        {kARM64, 2, "arm64e"},
        {kARM64, 0, "arm64"},
        // Not arm64e by the exact rule: the capability bits are masked off by the table look-up.
        {kARM64, static_cast<int32_t>(0x80000002), "arm64e"},
        {kARM64, 1, "arm64v8"},
        {kX86_64, 3, "x86_64"},
        {kX86_64, static_cast<int32_t>(0x80000003), "x86_64"},
        {7, 3, "i386"},
        {0, 0, "unknown"},
        {kARM64, 77, "unknown"},
    };
    for (const auto& c : cases) {
        VZRMachOSliceInfo slice;
        slice.cputype = c.type;
        slice.cpusubtype = c.subtype;
        EXPECT_STREQ(VZRMachOArchitectureName(&slice), c.name) << std::hex << c.type << "/" << c.subtype;
    }
    EXPECT_STREQ(VZRMachOArchitectureName(nullptr), "unknown");
}

TEST(VZRMachO, ByteSwappedImagesAreReadInTheirOwnOrder) {
    for (bool is64 : {false, true}) {
        const Bytes image = Image(kARM64, 2, is64, /*swapped=*/true)
                                .uuid(kUUIDUp)
                                .versionMin(37, 0x000A0301, 0x000B0000)
                                .dylib("/usr/lib/libz.dylib")
                                .encryption(1)
                                .bytes();
        VZRMachOSliceInfo slice = VZRMachOSliceWithHeader(image.data(), image.size());
        const uint8_t* first = nullptr;
        uint32_t count = 0;
        VZRMachOSliceReadHeader(&slice, &first, &count);
        EXPECT_EQ(slice.cputype, kARM64);
        EXPECT_EQ(count, 4u);
        EXPECT_EQ(first, image.data() + (is64 ? 32 : 28));

        VZRMachOSlice object(slice);
        EXPECT_EQ(object.architectureName(), "arm64e");
        EXPECT_EQ(object.uuid(), "00112233445566778899aabbccddeeff");
        EXPECT_EQ(object.minimumOSVersion().major, 10u);
        EXPECT_EQ(object.linkedSDKVersion().major, 11u);
        EXPECT_EQ(object.linkedDylibs(), std::vector<std::string>{"/usr/lib/libz.dylib"});
        bool encrypted = false;
        VZRMachOSliceEnumerateLoadCommands(&slice, [&](const VZRMachOLoadCommand& c) {
            encrypted = encrypted || VZRMachOLoadCommandIsEncrypted(c);
        });
        EXPECT_TRUE(encrypted);
    }
}

TEST(VZRMachO, HostileImagesStopTheWalkInsideTheData) {
    const Bytes good = Image(kARM64, 0).uuid(kUUIDUp).dylib("/a").bytes();
    Bytes truncated = good;
    truncated.resize(good.size() - 4); // the last command runs past the end

    Bytes zeroSize = Image(kARM64, 0).uuid(kUUIDUp).add(2, {}).bytes();
    zeroSize[32 + 24 + 4] = 0; // second command's size 8 -> 0

    Bytes shortUUID = Image(kARM64, 0).add(27, Bytes(8, 0xAB)).bytes(); // 16 bytes: too short for a UUID

    Bytes pathOutside = Image(kARM64, 0).dylib("/lib").bytes();
    pathOutside[32 + 8] = 0xF0; // path offset beyond the command
    Bytes pathUnterminated = Image(kARM64, 0).add(12, {16, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c', 'd'}).bytes();

    Bytes fatTableCut = universalApp();
    fatTableCut.resize(20); // the second entry of the table is cut off, the first slice too
    Bytes fatOutside = universalApp();
    fatOutside[8 + 20 + 8] = 0x7F; // second entry's offset far beyond the file

    struct Case {
        const char* name;
        Bytes bytes;
        std::vector<std::vector<uint32_t>> commands;
        std::vector<std::vector<std::string>> dylibs;
    } cases[] = {
        {"intact", good, {{27, 12}}, {{"/a"}}},
        {"last command cut", truncated, {{27}}, {{}}},
        {"huge command count", Image(kARM64, 0).uuid(kUUIDUp).commandCount(0xFFFFFFFF).bytes(), {{27}}, {{}}},
        {"command of size 0", zeroSize, {{27}}, {{}}},
        {"uuid command too short", shortUUID, {{27}}, {{}}},
        {"library path outside its command", pathOutside, {{12}}, {{}}},
        {"library path without its zero", pathUnterminated, {{12}}, {{}}},
        {"header cut", Bytes(good.begin(), good.begin() + 20), {{}}, {{}}},
        {"fat table cut", fatTableCut, {}, {}},
        {"fat entry outside the file", fatOutside, {{27, 37, 12}}, {{"/usr/lib/libSystem.B.dylib"}}},
    };
    for (const auto& c : cases) {
        const Walk w = walk(c.bytes);
        EXPECT_EQ(w.commandTypes, c.commands) << c.name;
        EXPECT_EQ(w.dylibs, c.dylibs) << c.name;
    }
    const Walk hostileCount = walk(Image(kARM64, 0).uuid(kUUIDUp).commandCount(0xFFFFFFFF).bytes());
    EXPECT_EQ(hostileCount.architectures, std::vector<std::string>{"arm64"});
}

TEST(VZRMachO, SeededMutationsNeverReadOutside) {
    const Bytes seeds[] = {
        universalApp(),
        Image(kARM64, 2, true, true).uuid(kUUIDUp).versionMin(47, 1, 2).dylib("/x").encryption(1).bytes(),
        Image(kARM, 9, false).uuid(kUUIDDown).versionMin(48, 3, 4).dylib("/y").bytes(),
        fat({{kARM64, 0, Image(kARM64, 0, true, true).uuid(kUUIDUp).bytes()}}),
    };
    plat::Random::seed(0x5EED);
    size_t walked = 0;
    for (int round = 0; round < 4000; ++round) {
        Bytes bytes = seeds[plat::Random::uniform(std::size(seeds))];
        const uint32_t edits = 1 + plat::Random::uniform(8);
        for (uint32_t e = 0; e < edits; ++e) {
            const size_t at = plat::Random::uniform(static_cast<uint32_t>(bytes.size()));
            switch (plat::Random::uniform(3)) {
            case 0:
                bytes[at] = static_cast<uint8_t>(plat::Random::u32());
                break;
            case 1: // a word of extreme values where counts, sizes and offsets live
                for (size_t i = at & ~size_t{3}; i < (at & ~size_t{3}) + 4 && i < bytes.size(); ++i)
                    bytes[i] = plat::Random::uniform(2) ? 0xFF : 0x00;
                break;
            default:
                bytes.resize(std::max<size_t>(4, at));
                break;
            }
        }
        walked += walk(bytes).architectures.size();
    }
    EXPECT_GT(walked, 0u);
}

TEST_F(VZRMachOTest, DebugSymbolPackage) {
    const std::string package = home.root() + "/App.app.dSYM";
    auto& fm = plat::FileManager::defaultManager();
    ASSERT_TRUE(fm.createDirectory(package + "/Contents/Resources/DWARF", true));
    EXPECT_EQ(VZRdSYM::dSYMWithURL(package), nullptr) << "an empty DWARF folder";

    const plat::Dictionary info{{"CFBundleIdentifier", plat::Value("com.apple.xcode.dsym.test.example.portal")},
                                {"CFBundleVersion", plat::Value("7")},
                                {"CFBundleShortVersionString", plat::Value("1.2")}};
    auto plist = plat::PropertyListSerialization::data(plat::Value(info), plat::PropertyListSerialization::Format::XML);
    ASSERT_TRUE(plist);
    ASSERT_TRUE(plat::writeData(package + "/Contents/Info.plist", *plist));
    ASSERT_TRUE(plat::writeData(package + "/Contents/Resources/DWARF/App", universalApp()));

    auto dsym = VZRdSYM::dSYMWithURL("file://" + package);
    ASSERT_TRUE(dsym);
    EXPECT_EQ(dsym->bundleIdentifier(), "test.example.portal");
    EXPECT_EQ(dsym->bundleVersion(), "7");
    EXPECT_EQ(dsym->shortBundleVersion(), "1.2");
    EXPECT_EQ(dsym->executablePath(), package + "/Contents/Resources/DWARF/App");
    ASSERT_TRUE(dsym->binary());
    EXPECT_EQ(dsym->binary()->instanceIdentifier(), "0b456a320d99802056f5a03415ac6ef994c058b9");

    EXPECT_EQ(VZRdSYM::dSYMWithURL(home.root() + "/none.dSYM"), nullptr);
    EXPECT_EQ(VZRCodeMapping::mappingWithURL("file:///x")->source(), 0);
}

} // namespace
