// The file stages of a rotated log: compression that gunzips back to the log, a failed compression that
// keeps its log for the next start, and the start-up clean-up that sorts, drops and trims what it finds.

#include "ZazududIda/ZDAFileUtils.hpp"
#include "ZazududIda/ZDALogFileOperations.hpp"
#include "ZazududIda/ZDALogger.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Random.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace {

class ZDALogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = home_.home() + "/Library/Caches/events";
        ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(dir_, true));
    }
    plat::URL put(const std::string& name, const std::string& contents = "x") {
        const std::string path = dir_ + "/" + name;
        EXPECT_TRUE(plat::FileManager::defaultManager().createFile(
            path, std::span(reinterpret_cast<const uint8_t*>(contents.data()), contents.size())));
        return plat::URL::file(path);
    }
    bool exists(const std::string& name) const { return plat::FileManager::defaultManager().fileExists(dir_ + "/" + name); }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& url : ZDAFileUtils::allFilesInDirectory(plat::URL::file(dir_, true))) {
            out.push_back(url.lastPathComponent());
        }
        return out;
    }

    plat::test::TempAppHome home_;
    std::string dir_;
};

std::optional<std::string> gunzipFile(const std::string& path) {
    gzFile gz = gzopen(path.c_str(), "r");
    if (!gz) {
        return std::nullopt;
    }
    std::string out;
    char buffer[4096];
    int n = 0;
    while ((n = gzread(gz, buffer, sizeof buffer)) > 0) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    int err = Z_OK;
    gzerror(gz, &err);
    gzclose(gz);
    if (n < 0 || err != Z_OK) {
        return std::nullopt;
    }
    return out;
}

// A gzip writer that takes only part of the log, as a full disk would.
class ZDAShortCompressLogOperation : public ZDACompressLogOperation {
public:
    using ZDACompressLogOperation::ZDACompressLogOperation;

protected:
    int64_t writeCompressed(void* gz, const uint8_t* bytes, uint64_t length) override {
        return ZDACompressLogOperation::writeCompressed(gz, bytes, length / 2);
    }
};

TEST_F(ZDALogFileTest, CompressedLogGunzipsBackToItsBytes) {
    plat::Random::seed(1);
    std::string large(200000, '\0');
    for (char& c : large) {
        c = static_cast<char>(plat::Random::uniform(256));
    }
    for (const std::string& contents :
         {std::string(), std::string("1500\tcustom\t2\t{}\n"), std::string("\xc3\xa9\t\0\n", 5), large}) {
        const plat::URL log = put("A.log", contents);
        const plat::URL gz = ZDACompressLogOperation::compressedURLForUncompressedURL(log);
        EXPECT_EQ(gz.lastPathComponent(), "A.gz");
        ZDACompressLogOperation op(log, gz);
        op.start();
        EXPECT_TRUE(op.success()) << contents.size();
        const auto plain = gunzipFile(gz.path());
        ASSERT_TRUE(plain) << "a valid gzip stream for " << contents.size() << " bytes";
        EXPECT_EQ(*plain, contents);
        EXPECT_TRUE(exists("A.log")) << "the operation itself keeps the log";
        ASSERT_TRUE(plat::FileManager::defaultManager().removeItem(gz.path()));
    }
}

TEST_F(ZDALogFileTest, AnExistingCompressedFileIsKeptAsItIs) {
    const plat::URL log = put("A.log", "new");
    const plat::URL gz = put("A.gz", "old bytes");
    ZDACompressLogOperation op(log, gz);
    op.start();
    EXPECT_TRUE(op.success());
    EXPECT_EQ(plat::FileManager::defaultManager().contentsAtPath(gz.path()).value(),
              plat::Data({'o', 'l', 'd', ' ', 'b', 'y', 't', 'e', 's'}));
}

TEST_F(ZDALogFileTest, MissingInputsAreReportedAndNothingIsMade) {
    plat::sim::ConsoleCapture console;
    ZDALogger::sharedLogger().setDebugMode(true);
    ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(dir_ + "/D.log", false));
    for (const char* name : {"M.log", "D.log"}) {
        const plat::URL log = plat::URL::file(dir_ + "/" + name);
        ZDACompressLogOperation op(log, ZDACompressLogOperation::compressedURLForUncompressedURL(log));
        op.start();
        EXPECT_FALSE(op.success()) << name;
        EXPECT_NE(console.nslog().find("[Zuvidir] Error: attempting to compress nonexistent file: " +
                                       log.absoluteString()),
                  std::string::npos)
            << console.nslog();
    }
    EXPECT_EQ(names(), std::vector<std::string>{"D.log"});
}

TEST_F(ZDALogFileTest, AFailedCompressionKeepsTheLogForTheNextStart) {
    plat::sim::ConsoleCapture console;
    ZDALogger::sharedLogger().setDebugMode(true);
    const plat::URL log = put("A.log", std::string(5000, 'e'));
    ZDAShortCompressLogOperation op(log, ZDACompressLogOperation::compressedURLForUncompressedURL(log));
    op.start();
    EXPECT_FALSE(op.success());
    EXPECT_NE(console.nslog().find("Failed to compress file at " + log.absoluteString()), std::string::npos);
    EXPECT_EQ(names(), std::vector<std::string>{"A.log"}) << "no short stream left to be packaged in its place";

    std::set<plat::URL> logs;
    ZDACleanupFilesOperation cleanup(plat::URL::file(dir_, true), 100);
    cleanup.setSuccessBlock([&](const auto& l, const auto&, const auto&) { logs = l; });
    cleanup.start();
    EXPECT_EQ(logs, std::set<plat::URL>{log}) << "the next start hands the log back to the chain";
}

TEST_F(ZDALogFileTest, APackageIsTheOnePartOfItsCompressedLog) {
    const plat::URL log = put("L.log", "1500\tcustom\t2\t{}\n");
    const plat::URL gz = ZDACompressLogOperation::compressedURLForUncompressedURL(log);
    ZDACompressLogOperation compress(log, gz);
    compress.start();
    ASSERT_TRUE(compress.success());
    const plat::URL package = ZDAPackageLogOperation::multipartURLForCompressedURL(gz, "B");
    EXPECT_EQ(package.lastPathComponent(), "B.multipartmime");
    ZDAPackageLogOperation op(gz, package, "B");
    op.start();
    EXPECT_TRUE(op.success());
    auto gzBytes = plat::FileManager::defaultManager().contentsAtPath(gz.path()).value();
    const std::string expected = "MIME-Version: 1.0\r\n--B\r\n"
                                 "Content-Disposition: form-data; name=\"L.gz\"; filename=\"L.gz\"\r\n"
                                 "Content-Type: application/vnd.vuzidorazav.ios.events\r\n"
                                 "Content-Transfer-Encoding: binary\r\n\r\n" +
                                 std::string(gzBytes.begin(), gzBytes.end()) + "\r\n--B--\r\n";
    auto written = plat::FileManager::defaultManager().contentsAtPath(package.path()).value();
    EXPECT_EQ(std::string(written.begin(), written.end()), expected);
    EXPECT_TRUE(exists("L.gz")) << "the operation itself keeps its input";
}

TEST_F(ZDALogFileTest, APackageIsMadeOnlyFromAWholeCompressedLog) {
    plat::sim::ConsoleCapture console;
    ZDALogger::sharedLogger().setDebugMode(true);
    struct Case {
        const char* what;
        std::optional<std::string> gz; // none: no file
        const char* line;
    };
    const Case cases[] = {
        {"missing", std::nullopt, "[Zuvidir] Error: attempting to package nonexistent file: "},
        {"empty", std::string(), nullptr},
    };
    for (const auto& c : cases) {
        const plat::URL gz = plat::URL::file(dir_ + "/E.gz");
        if (c.gz) {
            put("E.gz", *c.gz);
        }
        ZDAPackageLogOperation op(gz, ZDAPackageLogOperation::multipartURLForCompressedURL(gz, "P"), "P");
        op.start();
        EXPECT_FALSE(op.success()) << c.what;
        EXPECT_FALSE(exists("P.multipartmime")) << c.what;
        if (c.line) {
            EXPECT_NE(console.nslog().find(c.line + gz.absoluteString()), std::string::npos) << c.what;
        }
    }
}

TEST_F(ZDALogFileTest, CleanupSortsTheStagesAndRemovesTheRest) {
    const plat::URL a = put("a.log");
    put("a.gz");
    const plat::URL b = put("b.gz");
    const plat::URL c = put("c.multipartmime");
    put("x.tmp");
    put("noextension");
    ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(dir_ + "/sub.d", false));
    bool called = false;
    ZDACleanupFilesOperation cleanup(plat::URL::file(dir_, true), 100);
    cleanup.setSuccessBlock([&](const auto& logs, const auto& compressed, const auto& packages) {
        called = true;
        EXPECT_EQ(logs, std::set<plat::URL>{a});
        EXPECT_EQ(compressed, std::set<plat::URL>{b});
        EXPECT_EQ(packages, std::set<plat::URL>{c});
    });
    cleanup.start();
    EXPECT_TRUE(called);
    EXPECT_EQ(names(), (std::vector<std::string>{"a.log", "b.gz", "c.multipartmime"}));
}

TEST_F(ZDALogFileTest, PackagesAreTrimmedOldestFirst) {
    // Three packages, then a hundred made strictly later (the file system's clock is coarse, so wait for it
    // to tick past the third by watching the creation date of a probe file).
    std::vector<plat::URL> oldest;
    for (int i = 0; i < 3; ++i) {
        oldest.push_back(put("old" + std::to_string(i) + ".multipartmime"));
    }
    const plat::Date third = ZDAFileUtils::fileCreatedDateAtURL(oldest.back(), plat::Date::distantFuture());
    for (int i = 0; ZDAFileUtils::fileCreatedDateAtURL(put("probe.tmp"), third) <= third; ++i) {
        ASSERT_TRUE(plat::FileManager::defaultManager().removeItem(dir_ + "/probe.tmp"));
        ASSERT_LT(i, 10000000);
    }
    std::vector<plat::URL> all = oldest;
    for (int i = 0; i < 100; ++i) {
        all.push_back(put("new" + std::to_string(i) + ".multipartmime"));
    }
    const auto kept = ZDACleanupFilesOperation::URLsByRemovingOldFiles(all, 100);
    EXPECT_EQ(kept.size(), 100u);
    for (const auto& url : oldest) {
        EXPECT_FALSE(exists(url.lastPathComponent())) << url.lastPathComponent();
        EXPECT_EQ(std::count(kept.begin(), kept.end(), url), 0);
    }
    EXPECT_EQ(ZDACleanupFilesOperation::URLsByRemovingOldFiles(kept, 100), kept) << "at the maximum nothing goes";

    for (int64_t maximum : {0, -5}) {
        const plat::URL p = put("p.multipartmime");
        bool called = false;
        ZDACleanupFilesOperation cleanup(plat::URL::file(dir_, true), maximum);
        cleanup.setSuccessBlock([&](const auto&, const auto&, const auto& packages) {
            called = true;
            EXPECT_TRUE(packages.empty()) << maximum;
        });
        cleanup.start();
        EXPECT_TRUE(called);
        EXPECT_TRUE(names().empty()) << maximum;
    }
}

} // namespace
