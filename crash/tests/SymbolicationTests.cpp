// Symbolication of recorded stack traces against the images of this test program and of the C++ runtime,
// each placed at a made-up base as a crashed process would have had them.

#include "crash/VZRProcessReportOperation.hpp"
#include "crash/VZRSymbolResolver.hpp"

#include "crash/capture/VZRBinaryImage.hpp"
#include "crash/capture/VZRFile.hpp"

#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// Two functions the loader does not export (the test program is linked without exported symbols), kept in
// this order, so they are named from the file's symbol table; the caller ends with a call that never returns.
extern "C" {
__attribute__((noinline, used)) static void symbolication_fixture_caller() {
    std::terminate();
}
__attribute__((noinline, used)) static int symbolication_fixture_leaf(const int* p) {
    return *p + 1;
}
}

namespace {

constexpr uint64_t kExecutableBase = 0x10000000;
constexpr uint64_t kRuntimeBase = 0x20000000;
constexpr uint64_t kStaleBase = 0x30000000;

VZRBinaryImageDetails symbolicationImageOf(const void* address) {
    struct Search {
        uintptr_t address;
        VZRBinaryImageDetails details;
        bool found = false;
    } search{reinterpret_cast<uintptr_t>(address), {}, false};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            VZRBinaryImageDetails details;
            if (!VZRBinaryImageDetailsFromELF(info, &details))
                return 0;
            if (s->address >= details.loadAddress && s->address - details.loadAddress < details.textSize) {
                s->details = details;
                s->found = true;
                return 1;
            }
            return 0;
        },
        &search);
    EXPECT_TRUE(search.found);
    return search.details;
}

std::string symbolicationReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class SymbolicationTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = home_.home() + "/report";
        ASSERT_EQ(::mkdir(dir_.c_str(), 0755), 0);
        executable_ = symbolicationImageOf(reinterpret_cast<const void*>(&symbolication_fixture_leaf));
        runtime_ = symbolicationImageOf(reinterpret_cast<const void*>(&std::terminate));
        ASSERT_NE(std::string(executable_.uuid), std::string(32, '0')) << "the test program has no build id";
        ASSERT_NE(std::string(runtime_.uuid), std::string(32, '0'));
    }

    // "load" lines for the test program and the C++ runtime, an image not loaded now, and lines to ignore.
    void writeImages() {
        VZRFile f;
        ASSERT_TRUE(VZRFileInitWithPathMode(&f, imagesPath().c_str(), false, false));
        const auto load = [&](const char* section, const std::string& path, const char* uuid, uint64_t base,
                              uint64_t size, bool nullBase) {
            VZRFileBeginSection(&f, section);
            VZRFileBeginObject(&f);
            VZRFileWriteStringField(&f, "path", path.c_str());
            VZRFileWriteStringField(&f, "uuid", uuid);
            if (nullBase)
                VZRFileWriteStringField(&f, "base", nullptr);
            else
                VZRFileWriteUnsignedField(&f, "base", base);
            VZRFileWriteUnsignedField(&f, "size", size);
            VZRFileEndObject(&f);
            VZRFileEndSection(&f);
        };
        // Out of order on purpose; the null-base line overlaps everything and must be ignored.
        load("load", runtime_.path, runtime_.uuid, kRuntimeBase, runtime_.textSize, false);
        load("load", "/old/libgone.so", "0123456789abcdef0123456789abcdef", kStaleBase, 0x1000, false);
        load("load", "/nowhere/libnull.so", runtime_.uuid, 0, 0x7fffffff, true);
        load("unload", runtime_.path, runtime_.uuid, kExecutableBase, executable_.textSize, false);
        load("load", executable_.path, executable_.uuid, kExecutableBase, executable_.textSize, false);
        VZRFileClose(&f);
    }

    void writeThreads(const std::vector<std::vector<uint64_t>>& threads, bool withStacks = true) {
        VZRFile f;
        ASSERT_TRUE(VZRFileInitWithPathMode(&f, recordPath().c_str(), false, false));
        VZRFileBeginSection(&f, "signal");
        VZRFileBeginObject(&f);
        VZRFileWriteUnsignedField(&f, "number", 11);
        VZRFileEndObject(&f);
        VZRFileEndSection(&f);
        if (withStacks) {
            VZRFileBeginSection(&f, "threads");
            VZRFileBeginArray(&f);
            for (const auto& stack : threads) {
                VZRFileBeginObject(&f);
                if (!stack.empty()) {
                    VZRFileWriteKey(&f, "stacktrace");
                    VZRFileBeginArray(&f);
                    for (uint64_t address : stack)
                        VZRFileAppendUnsigned(&f, address);
                    VZRFileEndArray(&f);
                }
                VZRFileEndObject(&f);
            }
            VZRFileEndArray(&f);
            VZRFileEndSection(&f);
        }
        VZRFileClose(&f);
    }

    // Where an address of this process lay in the crashed one.
    uint64_t recorded(const void* address, const VZRBinaryImageDetails& image, uint64_t base, int64_t delta = 0) const {
        return reinterpret_cast<uintptr_t>(address) - image.loadAddress + base + static_cast<uint64_t>(delta);
    }
    uint64_t leaf(int64_t delta = 0) const {
        return recorded(reinterpret_cast<const void*>(&symbolication_fixture_leaf), executable_, kExecutableBase, delta);
    }

    std::string imagesPath() const { return dir_ + "/binary_images.vzrrecord"; }
    std::string recordPath() const { return dir_ + "/signal.vzrrecord"; }
    std::string library(const VZRBinaryImageDetails& image) const { return image.path.substr(image.path.rfind('/') + 1); }

    plat::test::TempAppHome home_;
    std::string dir_;
    VZRBinaryImageDetails executable_;
    VZRBinaryImageDetails runtime_;
};

TEST_F(SymbolicationTest, WritesEachThreadsFramesNamedFromTheLoaderOrTheFileWithTheFirstFrameExact) {
    writeImages();
    const uint64_t callerStart =
        recorded(reinterpret_cast<const void*>(&symbolication_fixture_caller), executable_, kExecutableBase);
    const uint64_t terminate = recorded(reinterpret_cast<const void*>(&std::terminate), runtime_, kRuntimeBase, 1);
    writeThreads({
        // pc at the leaf's first byte; a return address there; one inside it; an exported C++ function of
        // another image; an address in no image; one in an image not loaded now; a null address.
        {leaf(), leaf(), leaf(4), terminate, 0x50000000, kStaleBase + 0x10, 0},
        {leaf()},
        {},
    });
    auto resolver = std::make_shared<VZRSymbolResolver>();
    ASSERT_TRUE(resolver->loadBinaryImagesFromFile(imagesPath()));
    ASSERT_EQ(resolver->binaryImages.size(), 3u);
    auto operation = VZRProcessReportOperation::initWithReport(VZRInternalReport::initWithPath(dir_), resolver);
    ASSERT_TRUE(operation->symbolicateFile(recordPath(), resolver));

    const std::string exe = library(executable_);
    const std::string leafFrame0 = R"({"symbol":"symbolication_fixture_leaf","offset":0,"library":")" + exe + R"("})";
    const std::string nulls = R"({"symbol":null,"raw_symbol":null,"offset":0,"library":null})";
    const std::string expected =
        R"({"threads":[[)" + leafFrame0 + "," +
        R"({"symbol":"symbolication_fixture_caller","offset":)" + std::to_string(leaf() - 2 - callerStart) +
        R"(,"library":")" + exe + R"("},)" +
        R"({"symbol":"symbolication_fixture_leaf","offset":4,"library":")" + exe + R"("},)" +
        R"x({"symbol":"std::terminate()","raw_symbol":"_ZSt9terminatev","offset":1,"library":")x" + library(runtime_) +
        R"("},)" + nulls + "," + nulls + "," + nulls + "],[" + leafFrame0 + "],[]]}\n";
    EXPECT_EQ(symbolicationReadFile(recordPath() + ".symbolicated"), expected);
}

TEST_F(SymbolicationTest, ReportProcessingSkipsFilesWithoutThreadsAndReportsWithoutReadableImages) {
    struct Case {
        const char* name;
        bool images;
        bool stacks;
        bool symbolicated;
    };
    for (const Case& c : {Case{"images and threads", true, true, true}, Case{"no threads section", true, false, false},
                          Case{"unreadable image file", false, true, false}}) {
        SCOPED_TRACE(c.name);
        ::unlink(imagesPath().c_str());
        ::unlink((recordPath() + ".symbolicated").c_str());
        if (c.images)
            writeImages();
        writeThreads({{leaf()}}, c.stacks);
        auto operation =
            VZRProcessReportOperation::initWithReport(VZRInternalReport::initWithPath(dir_), std::make_shared<VZRSymbolResolver>());
        operation->start();
        struct stat st {};
        EXPECT_EQ(::stat((recordPath() + ".symbolicated").c_str(), &st) == 0, c.symbolicated);
    }
    EXPECT_FALSE(VZRSymbolResolver().loadBinaryImagesFromFile(""));
}

TEST_F(SymbolicationTest, ResolverFindsTheLowestBaseAndBuildsFramesOnlyForKnownImages) {
    writeImages();
    VZRSymbolResolver resolver;
    ASSERT_TRUE(resolver.loadBinaryImagesFromFile(imagesPath()));
    const auto image = resolver.loadedBinaryImageForPC(kExecutableBase);
    ASSERT_TRUE(image);
    ASSERT_TRUE(image->find("path"));
    EXPECT_EQ(image->find("path")->asString(), executable_.path);
    EXPECT_FALSE(resolver.loadedBinaryImageForPC(kExecutableBase - 1));
    EXPECT_FALSE(resolver.loadedBinaryImageForPC(kStaleBase + 0x1000));
    const auto frame = resolver.frameForAddress(leaf(4));
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->symbol, "symbolication_fixture_leaf");
    EXPECT_EQ(frame->offset, 4u);
    EXPECT_FALSE(resolver.frameForAddress(kStaleBase + 0x10));
    EXPECT_FALSE(resolver.frameForAddress(0));
}

// A real crash: the probe faults on the leaf's first instruction below a caller whose return address is the
// leaf's first byte, through foo() of its shared library; a second run of the probe (which has the same images
// loaded) symbolicates the report folder the first one left.
TEST(SymbolicationProbeTest, CrashedProbesReportNamesEveryFrameOfTheFaultingChain) {
    plat::test::TempAppHome crashed;
    plat::test::TempAppHome later;
    const std::string probe = CRASH_PROBE;
    const int crashedStatus = std::system(("exec " + probe + " " + crashed.home() + " chain 2>/dev/null").c_str());
    ASSERT_TRUE(WIFSIGNALED(crashedStatus) || (WIFEXITED(crashedStatus) && WEXITSTATUS(crashedStatus) >= 128))
        << crashedStatus;
    const std::string report = crashed.home() + "/report";
    ASSERT_EQ(std::system((probe + " " + later.home() + " symbolicate " + report).c_str()), 0);
    const std::string text = symbolicationReadFile(report + "/signal.vzrrecord.symbolicated");
    // Frame 0 is the exact pc: the leaf itself. The return address at the leaf's first byte belongs to the
    // caller (2 bytes back); the local callee is named from the file's symbol table.
    const std::string chain = R"x([[{"symbol":"probe_chain_leaf","offset":0,"library":"crash_probe"},)x"
                              R"x({"symbol":"probe_chain_callee","offset":5,"library":"crash_probe"},)x"
                              R"x({"symbol":"probe_chain_caller","offset":5,"library":"crash_probe"},)x"
                              R"x({"symbol":"foo()","raw_symbol":"_Z3foov","offset":)x";
    EXPECT_EQ(text.rfind(R"x({"threads":)x" + chain, 0), 0u) << text;
    const size_t lib = text.find(R"x(,"library":"libcrash_probe_lib.so"},{"symbol":"probe_fault_chain","offset":)x");
    EXPECT_NE(lib, std::string::npos) << text;
    const size_t main = text.find(R"x({"symbol":"main","offset":)x", lib);
    ASSERT_NE(main, std::string::npos) << text;
    const std::string mainFrame = text.substr(main, text.find('}', main) + 1 - main);
    EXPECT_NE(mainFrame.find(R"x(,"library":"crash_probe"})x"), std::string::npos) << mainFrame;
    EXPECT_EQ(text.back(), '\n');
}

TEST(ThreadArrayOperationTest, CancellingSkipsTheRestOfEachThread) {
    auto operation = std::make_shared<VZRThreadArrayOperation>();
    for (uint64_t thread = 0; thread < 3; ++thread) {
        operation->threadArray.emplace_back();
        for (uint64_t i = 0; i < 3; ++i)
            operation->threadArray.back().push_back(
                std::make_shared<VZRStackFrame>(VZRStackFrame::stackFrameWithAddress(thread * 10 + i)));
    }
    std::vector<uint64_t> seen;
    operation->enumerateFramesWithBlock([&](VZRStackFrame& frame, size_t) {
        seen.push_back(frame.address);
        if (frame.address == 1)
            operation->cancel();
    });
    EXPECT_EQ(seen, (std::vector<uint64_t>{0, 1, 10, 20}));
}

TEST(ThreadArrayOperationTest, DemanglingReplacesTheSymbolAndKeepsTheRawName) {
    auto frames = std::vector<std::shared_ptr<VZRStackFrame>>{
        std::make_shared<VZRStackFrame>(VZRStackFrame::stackFrameWithSymbol("_Z3foov")),
        std::make_shared<VZRStackFrame>(VZRStackFrame::stackFrameWithSymbol("__Z3foov_block_invoke_2")),
        std::make_shared<VZRStackFrame>(VZRStackFrame::stackFrameWithSymbol("__Z_block_invoke")),
        std::make_shared<VZRStackFrame>(VZRStackFrame::stackFrameWithSymbol("main")),
        std::make_shared<VZRStackFrame>(VZRStackFrame::stackFrame()),
    };
    auto operation = std::make_shared<VZRDemangleOperation>();
    operation->threadArray = {frames};
    operation->start();
    const std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> expected{
        {"foo()", "_Z3foov"},
        {"foo()_block_invoke_2", "__Z3foov_block_invoke_2"},
        {"__Z_block_invoke", "__Z_block_invoke"},
        {"main", "main"},
        {std::nullopt, std::nullopt},
    };
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i]->symbol, expected[i].first) << i;
        EXPECT_EQ(frames[i]->rawSymbol, expected[i].second) << i;
    }
}

} // namespace
