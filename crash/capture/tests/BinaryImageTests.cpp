// The binary image list: the initial scan of the loaded ELF objects, loads and unloads found by rescans,
// the record lines, the 512 nodes and their reuse, the address and uuid look-ups, the metadata's
// "executable" line, and image details from Mach-O headers built in memory.

#include "crash/capture/VZRBinaryImage.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/tests/CrashContextFixture.hpp"
#include "kit_host/tests/MachOBuilder.hpp"
#include "platform/foundation/Loader.hpp"
#include "testing/FixtureBundle.hpp"

#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<nlohmann::json> imageRecordLines(const std::string& text) {
    std::vector<nlohmann::json> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(nlohmann::json::parse(line));
    return out;
}

// The build-id note of a file as the toolchain's own reader shows it, cut to 16 bytes.
std::string buildIdOfFile(const std::string& path) {
    std::string out;
    FILE* pipe = ::popen(("readelf -n '" + path + "' 2>/dev/null").c_str(), "r");
    if (!pipe)
        return out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) {
        const std::string line(buffer);
        const size_t at = line.find("Build ID: ");
        if (at != std::string::npos && out.empty())
            out = line.substr(at + 10, 32);
    }
    ::pclose(pipe);
    return out;
}

std::string selfExecutable() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

class BinaryImageTest : public crashtest::CrashContextTest {
protected:
    void TearDown() override { VZRBinaryImageSetLoaderForTesting({}); }

    std::vector<nlohmann::json> records() { return imageRecordLines(crashtest::readFile(path("binary_images.vzrrecord"))); }

    static bool found(uintptr_t address, VZRBinaryImageNode* node = nullptr) {
        VZRBinaryImageNode ignored;
        return VZRBinaryImageSafeFindImageForAddress(address, node ? node : &ignored);
    }
};

TEST_F(BinaryImageTest, TheInitialScanRecordsEveryLoadedObjectWithItsBuildId) {
    ASSERT_TRUE(initialize());
    const auto lines = records();
    std::map<std::string, nlohmann::json> byPath;
    for (const auto& line : lines) {
        ASSERT_TRUE(line.contains("load")) << line;
        byPath[line["load"]["path"]] = line["load"];
    }
    const std::string exe = selfExecutable();
    std::string libc, loader;
    for (const auto& [p, _] : byPath) {
        if (p.find("/libc.so") != std::string::npos)
            libc = p;
        if (p.find("ld-linux") != std::string::npos)
            loader = p;
    }
    ASSERT_TRUE(byPath.count(exe)) << "executable";
    ASSERT_TRUE(byPath.count("linux-vdso.so.1")) << "vdso";
    ASSERT_FALSE(libc.empty());
    ASSERT_FALSE(loader.empty());
    for (const std::string& p : {exe, libc, loader}) {
        SCOPED_TRACE(p);
        const std::string expected = buildIdOfFile(p);
        ASSERT_EQ(expected.size(), 32u);
        EXPECT_EQ(byPath[p]["uuid"], expected);
        EXPECT_GT(byPath[p]["size"].get<uint64_t>(), 0u);
    }
    // The executable's node holds this function; its record gives the same base.
    VZRBinaryImageNode node;
    ASSERT_TRUE(found(reinterpret_cast<uintptr_t>(&selfExecutable), &node));
    EXPECT_EQ(node.loadAddress, byPath[exe]["base"].get<uint64_t>());
    EXPECT_NE(VZRBinaryImageNodeEhFrameHdr(node), 0u);
    EXPECT_NE(VZRBinaryImageNodeEhFrame(node), 0u);
    EXPECT_EQ(VZRBinaryImageNodeUnwindInfo(node), 0u);
    // libc's node carries its header table's entry count, as the header in memory states it.
    VZRBinaryImageNode libcNode;
    ASSERT_TRUE(found(reinterpret_cast<uintptr_t>(&::getpid), &libcNode));
    const auto* header = reinterpret_cast<const uint8_t*>(VZRBinaryImageNodeEhFrameHdr(libcNode));
    ASSERT_NE(header, nullptr);
    uint32_t count = 0;
    std::memcpy(&count, header + 8, sizeof count);
    EXPECT_GT(count, 0u);
    EXPECT_EQ(libcNode.ehFrameHdrCount, count);
    // ... and the slices of that table that the binary-images queue cut, kept beside the node.
    const VZRBinaryImagePivots* pivots = VZRBinaryImageNodePivots(libcNode);
    ASSERT_NE(pivots, nullptr);
    EXPECT_EQ(pivots->tableCount, count);
    EXPECT_GT(pivots->count, 1u);
    EXPECT_NE(VZRBinaryImageNodePivots(node), pivots);
}

TEST_F(BinaryImageTest, LoadAndUnloadOfALibraryInAFrameworkBundle) {
    ASSERT_TRUE(initialize());
    // The library inside "Probe.framework/", whose Info.plist has no short version.
    const std::string framework = home.root() + "/Frameworks/Probe.framework";
    plat::test::FixtureBundle bundle(framework, plat::Dictionary{{"CFBundleIdentifier", plat::Value("com.example.probe")},
                                                                 {"CFBundleVersion", plat::Value("41")}});
    const std::string library = framework + "/Probe";
    {
        auto bytes = plat::readData(CRASH_IMAGE_PROBE_LIBRARY);
        ASSERT_TRUE(bytes);
        ASSERT_TRUE(plat::writeData(library, *bytes));
    }
    const size_t before = records().size();
    // The loader wrapper asks for the rescan that finds it.
    void* handle = plat::loader::open(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    const auto function = reinterpret_cast<uintptr_t>(dlsym(handle, "crashImageProbeFunction"));
    plat::Virtual::runUntilIdle();

    auto lines = records();
    ASSERT_EQ(lines.size(), before + 1);
    const auto load = lines.back()["load"];
    EXPECT_EQ(load["path"], library);
    EXPECT_EQ(load["bundle_id"], "com.example.probe");
    EXPECT_EQ(load["build_version"], "41");
    EXPECT_FALSE(load.contains("display_version"));
    EXPECT_EQ(load["uuid"], buildIdOfFile(library));
    const uint64_t base = load["base"];
    const uint64_t size = load["size"];

    struct Case {
        uintptr_t address;
        bool expected;
    };
    for (const Case& c : {Case{base, true}, Case{function, true}, Case{base + size - 1, true}, Case{base + size, false}})
        EXPECT_EQ(found(c.address), c.expected) << std::hex << c.address - base;

    // Its node has slices of its table; the unload takes them with the node.
    VZRBinaryImageNode* tracked = nullptr;
    for (VZRBinaryImageNode& node : VZRSharedContext().writable.load()->binaryImages)
        tracked = node.loadAddress == base ? &node : tracked;
    ASSERT_NE(tracked, nullptr);
    ASSERT_NE(VZRBinaryImageNodePivots(*tracked), nullptr);
    EXPECT_EQ(VZRBinaryImageNodePivots(*tracked)->tableCount, tracked->ehFrameHdrCount);

    plat::loader::close(handle);
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(VZRBinaryImageNodePivots(*tracked), nullptr);
    lines = records();
    ASSERT_EQ(lines.size(), before + 2);
    EXPECT_EQ(lines.back()["unload"]["path"], library);
    EXPECT_EQ(lines.back()["unload"]["base"], base);
    EXPECT_FALSE(lines.back()["unload"].contains("bundle_id"));
    EXPECT_FALSE(found(base));
    EXPECT_FALSE(found(function));
}

VZRBinaryImageDetails fakeImage(int i) {
    VZRBinaryImageDetails d;
    d.loadAddress = 0x10000000 + static_cast<uintptr_t>(i) * 0x10000;
    d.textSize = 0x1000;
    d.path = "/fake/lib" + std::to_string(i) + ".so";
    std::snprintf(d.uuid, sizeof d.uuid, "%032x", i + 1);
    return d;
}

TEST_F(BinaryImageTest, LibrariesTheCLibraryLoadsByItselfAreFoundByThePeriodicCheck) {
    ASSERT_TRUE(initialize());
    const size_t before = records().size();
    void* handle = dlopen(CRASH_IMAGE_PROBE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr);
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(records().size(), before); // nothing told the list yet
    plat::Virtual::advanceBy(5.0);
    plat::Virtual::runUntilIdle();
    auto lines = records();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_EQ(lines.back()["load"]["path"], CRASH_IMAGE_PROBE_LIBRARY);
    dlclose(handle);
    plat::Virtual::advanceBy(5.0);
    plat::Virtual::runUntilIdle();
    lines = records();
    ASSERT_EQ(lines.size(), before + 2);
    EXPECT_TRUE(lines.back().contains("unload"));
}

TEST_F(BinaryImageTest, The513thImageIsRecordedButNotTrackedAndFreedNodesAreReused) {
    std::vector<VZRBinaryImageDetails> images;
    for (int i = 0; i < 513; ++i)
        images.push_back(fakeImage(i));
    VZRBinaryImageSetLoaderForTesting([&] { return images; });
    ASSERT_TRUE(initialize());
    EXPECT_EQ(records().size(), 513u);
    EXPECT_EQ(records().back()["load"]["path"], "/fake/lib512.so");
    EXPECT_NE(sdkLog().find("Error: Unable to track a loaded node 0x"), std::string::npos);
    EXPECT_TRUE(found(fakeImage(511).loadAddress));
    EXPECT_FALSE(found(fakeImage(512).loadAddress));

    // Unloading one frees its node for the next load.
    images.erase(images.begin() + 5);
    images.push_back(fakeImage(600));
    VZRBinaryImageRescan();
    plat::Virtual::runUntilIdle();
    const auto lines = records();
    ASSERT_EQ(lines.size(), 515u);
    EXPECT_EQ(lines[513]["unload"]["path"], "/fake/lib5.so");
    EXPECT_EQ(lines[514]["load"]["path"], "/fake/lib600.so");
    EXPECT_FALSE(found(fakeImage(5).loadAddress));
    VZRBinaryImageNode node;
    ASSERT_TRUE(found(fakeImage(600).loadAddress + 0xfff, &node));
    EXPECT_EQ(node.loadAddress, fakeImage(600).loadAddress);
    EXPECT_FALSE(found(fakeImage(600).loadAddress + 0x1000));
    EXPECT_EQ(VZRSharedContext().writable.load()->binaryImages[5].loadAddress, fakeImage(600).loadAddress);
    // An unload of an image that was never tracked says so.
    images.erase(images.end() - 2); // lib512, never tracked
    VZRBinaryImageRescan();
    plat::Virtual::runUntilIdle();
    EXPECT_NE(sdkLog().find("Error: Unable to track a unloaded node 0x"), std::string::npos);
}

TEST_F(BinaryImageTest, ExecutableMetadataAndTheUUIDLookUp) {
    ASSERT_TRUE(initialize());
    std::istringstream in(crashtest::readFile(path("metadata.vzrrecord")));
    std::string line;
    nlohmann::json executable;
    while (std::getline(in, line)) {
        const auto parsed = nlohmann::json::parse(line);
        if (parsed.contains("executable"))
            executable = parsed["executable"];
    }
    ASSERT_FALSE(executable.is_null());
#if defined(__x86_64__)
    EXPECT_EQ(executable["architecture"], "x86_64");
#endif
    EXPECT_EQ(executable["uuid"], buildIdOfFile(selfExecutable()));
    EXPECT_EQ(executable["encrypted"], false);
    EXPECT_EQ(executable["minimum_sdk_version"], "3.2.0");
    EXPECT_EQ(executable["built_sdk_version"], "0.0.0");
    VZRBinaryImageNode node;
    ASSERT_TRUE(found(reinterpret_cast<uintptr_t>(&selfExecutable), &node));
    EXPECT_EQ(executable["base"], node.loadAddress);
    EXPECT_EQ(executable["size"], node.textSize);

    VZRBinaryImageDetails details;
    const std::string uuid = executable["uuid"];
    ASSERT_TRUE(VZRBinaryImageFindImageForUUID(uuid.c_str(), &details));
    EXPECT_EQ(details.path, selfExecutable());
    EXPECT_FALSE(VZRBinaryImageFindImageForUUID("00000000000000000000000000000000", &details));
    EXPECT_FALSE(VZRBinaryImageFindImageForUUID("0123456789abcdef0123456789abcdef", &details));
    EXPECT_FALSE(VZRBinaryImageFindImageForUUID(nullptr, &details));
    EXPECT_NE(sdkLog().find("] null input\n"), std::string::npos);
    EXPECT_FALSE(VZRBinaryImageRecordExecutable(nullptr));
    EXPECT_NE(sdkLog().find("] Error: file is invalid\n"), std::string::npos);
}

// A segment command with its sections (name, address) in the 64- or 32-bit layout.
machotest::Bytes machoSegment(bool wide, const char* name, uint64_t vmsize,
                              const std::vector<std::pair<const char*, uint64_t>>& sections) {
    machotest::Bytes body;
    auto name16 = [&](const char* text) {
        char field[16] = {};
        std::strncpy(field, text, sizeof field);
        body.insert(body.end(), field, field + 16);
    };
    auto word = [&](uint64_t v) {
        if (wide) {
            machotest::put32(body, static_cast<uint32_t>(v));
            machotest::put32(body, static_cast<uint32_t>(v >> 32));
        } else {
            machotest::put32(body, static_cast<uint32_t>(v));
        }
    };
    name16(name);
    word(0);      // vmaddr
    word(vmsize); // vmsize
    word(0);      // fileoff
    word(vmsize); // filesize
    machotest::put32(body, 5);
    machotest::put32(body, 5);
    machotest::put32(body, static_cast<uint32_t>(sections.size()));
    machotest::put32(body, 0);
    for (const auto& [section, address] : sections) {
        name16(section);
        name16(name);
        word(address);
        word(0x100);
        for (int i = 0; i < (wide ? 8 : 7); ++i)
            machotest::put32(body, 0); // offset, align, reloff, nreloc, flags, reserved
    }
    return body;
}

TEST_F(BinaryImageTest, DetailsFromMachOHeadersInMemory) {
    std::array<uint8_t, 16> uuid{};
    for (int i = 0; i < 16; ++i)
        uuid[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 0x11);
    const auto arm64 = machotest::Image(0x0100000C, 0)
                           .uuid(uuid)
                           .encryption(1)
                           .versionMin(37, 0x000C0400, 0x000D0000)
                           .add(0x19, machoSegment(true, "__TEXT", 0x8000, {{"__text", 0x800}, {"__unwind_info", 0x1000},
                                                                             {"__eh_frame", 0x2000}}))
                           .add(0x19, machoSegment(true, "__DATA", 0x4000, {{"__crash_info", 0x9000}}))
                           .bytes();
    VZRBinaryImageDetails d;
    ASSERT_TRUE(VZRBinaryImageDetailsFromMachOHeader(arm64.data(), 0x100000, &d));
    EXPECT_STREQ(d.uuid, "00112233445566778899aabbccddeeff");
    EXPECT_TRUE(d.encrypted);
    EXPECT_EQ(d.minimumOSVersion.major, 12u);
    EXPECT_EQ(d.minimumOSVersion.minor, 4u);
    EXPECT_EQ(d.sdkVersion.major, 13u);
    EXPECT_EQ(d.sdkVersion.minor, 0u);
    EXPECT_EQ(d.textSize, 0x8000u);
    EXPECT_EQ(d.unwindInfo, 0x101000u);
    EXPECT_EQ(d.ehFrame, 0x102000u);
    EXPECT_EQ(d.crashInfo, 0x109000u);
    EXPECT_EQ(d.loadAddress, reinterpret_cast<uintptr_t>(arm64.data()));
    EXPECT_EQ(d.slide, 0x100000);
    EXPECT_STREQ(d.architecture, "arm64");

    const auto armv7 = machotest::Image(12, 9, false)
                           .add(0x1, machoSegment(false, "__TEXT", 0x4000, {{"__eh_frame", 0x3000}}))
                           .bytes();
    ASSERT_TRUE(VZRBinaryImageDetailsFromMachOHeader(armv7.data(), 0x10, &d));
    EXPECT_EQ(d.textSize, 0x4000u);
    EXPECT_EQ(d.ehFrame, 0x3010u);
    EXPECT_EQ(d.unwindInfo, 0u);
    EXPECT_FALSE(d.encrypted);
    EXPECT_STREQ(d.architecture, "armv7");
    EXPECT_STREQ(d.uuid, "00000000000000000000000000000000"); // no UUID command

    const machotest::Bytes notMachO(64, 0);
    EXPECT_FALSE(VZRBinaryImageDetailsFromMachOHeader(notMachO.data(), 0, &d));
    EXPECT_FALSE(VZRBinaryImageDetailsFromMachOHeader(nullptr, 0, &d));
}

} // namespace
