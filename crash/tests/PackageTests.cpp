// Packaging a report directory into one multipart file of gzip parts in the "prepared" stage.

#include "crash/VZRFileManager.hpp"
#include "crash/VZRPackageReportOperation.hpp"
#include "crash/VZRReport.hpp"

#include "crash/capture/VZRFile.hpp"
#include "crash/capture/tests/CrashContextFixture.hpp"

#include "platform/foundation/FileManager.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

void packageWriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string packageGunzip(const std::string& path) {
    gzFile file = ::gzopen(path.c_str(), "r");
    if (!file)
        return "<unreadable>";
    std::string out;
    char buffer[4096];
    int n = 0;
    while ((n = ::gzread(file, buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<size_t>(n));
    ::gzclose(file);
    return out;
}

std::string packageValuePart(const std::string& boundary, const std::string& field, const std::string& value) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + field +
           "\"\r\nContent-Type: text/plain\r\n\r\n" + value + "\r\n";
}

std::string packageFilePart(const std::string& boundary, const std::string& field, const std::string& type,
                            const std::string& bytes) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + field + "\"; filename=\"" + field +
           ".gz\"\r\nContent-Type: " + type + "\r\nContent-Transfer-Encoding: binary\r\n\r\n" + bytes + "\r\n";
}

class PackageTest : public crashtest::CrashContextTest {
protected:
    void SetUp() override {
        CrashContextTest::SetUp();
        ASSERT_TRUE(initialize());
        files = std::make_shared<VZRFileManager>();
        ASSERT_TRUE(files->prepareForNewLaunch());
        reportDir = files->processingPath() + "/ID";
        ASSERT_TRUE(files->createDirectoryAtPath(reportDir));
        packageWriteFile(reportDir + "/signal.vzrrecord", "S\n");
        packageWriteFile(reportDir + "/empty.vzrrecord", "");
        packageWriteFile(reportDir + "/old.gz", "not a part");
    }

    void writeAPIKey(const char* key) {
        VZRFile f;
        ASSERT_TRUE(VZRFileInitWithPath(&f, (reportDir + "/metadata.vzrrecord").c_str(), false));
        VZRFileBeginSection(&f, "identity");
        VZRFileBeginObject(&f);
        VZRFileWriteStringField(&f, "api_key", key);
        VZRFileEndObject(&f);
        VZRFileEndSection(&f);
        VZRFileClose(&f);
    }

    std::shared_ptr<VZRPackageReportOperation> makeOperation() {
        auto operation = VZRPackageReportOperation::initWithReport(
            VZRInternalReport::initWithPathExecutionIdentifier(reportDir, "ID"), files);
        operation->boundaryGenerator = [] { return std::string("B"); };
        return operation;
    }

    std::vector<std::string> listing() { return files->contentsOfDirectory(reportDir); }

    std::shared_ptr<VZRFileManager> files;
    std::string reportDir;
};

TEST_F(PackageTest, CarriesKeyIdentifierAndOneGzipPartPerNonEmptyFile) {
    writeAPIKey("K");
    packageWriteFile(reportDir + "/signal.vzrrecord.gz", "left over from an earlier attempt");
    auto operation = makeOperation();
    operation->start();
    ASSERT_EQ(operation->finalPath(), files->preparedPath() + "/B.multipartmime");

    std::string expected = "MIME-Version: 1.0\r\n" + packageValuePart("B", "api_key", "K") +
                           packageValuePart("B", "report_id", "ID");
    for (const std::string& path : listing()) {
        const std::string name = path.substr(path.rfind('/') + 1);
        if (name == "signal.vzrrecord" || name == "metadata.vzrrecord")
            expected += packageFilePart("B", name, "application/x-gzip", crashtest::readFile(path + ".gz"));
    }
    expected += "--B--\r\n";
    EXPECT_EQ(crashtest::readFile(*operation->finalPath()), expected);
    // The leftover was overwritten by the new compression, never sent as a part of its own.
    EXPECT_EQ(packageGunzip(reportDir + "/signal.vzrrecord.gz"), "S\n");
    EXPECT_EQ(packageGunzip(reportDir + "/metadata.vzrrecord.gz"), crashtest::readFile(reportDir + "/metadata.vzrrecord"));
    EXPECT_NE(sdkLog().find("] Error: unable to read data for compression: empty.vzrrecord\n"), std::string::npos)
        << sdkLog();
}

TEST_F(PackageTest, MissingKeyUnwritableGzipAndCancellation) {
    // Without metadata there is no API key; a directory where the gzip file would go forces the plain part.
    ASSERT_TRUE(files->createDirectoryAtPath(reportDir + "/signal.vzrrecord.gz"));
    auto operation = makeOperation();
    operation->start();
    ASSERT_TRUE(operation->finalPath());
    EXPECT_EQ(crashtest::readFile(*operation->finalPath()),
              "MIME-Version: 1.0\r\n" + packageValuePart("B", "report_id", "ID") +
                  packageFilePart("B", "signal.vzrrecord", "text/plain", "S\n") + "--B--\r\n");
    EXPECT_NE(sdkLog().find("] Error: compression failed for signal.vzrrecord.gz\n"), std::string::npos) << sdkLog();

    // Cancelled while it runs (the boundary is drawn inside): no package is left and nothing is final.
    auto cancelled = makeOperation();
    cancelled->boundaryGenerator = [op = cancelled.get()] {
        op->cancel();
        return std::string("C");
    };
    cancelled->start();
    EXPECT_FALSE(cancelled->finalPath());
    EXPECT_FALSE(crashtest::exists(files->preparedPath() + "/C.multipartmime"));
}

TEST_F(PackageTest, CompressionFailsForEmptyDataAndAnUnopenableDestination) {
    auto operation = makeOperation();
    EXPECT_FALSE(operation->compressData({}, reportDir + "/nothing.gz"));
    EXPECT_FALSE(operation->compressData({'x'}, reportDir + "/missing/dir/x.gz"));
    EXPECT_NE(sdkLog().find("] Error: unable to open file for compression "), std::string::npos) << sdkLog();
    const plat::Data big(3 << 20, 'z');
    ASSERT_TRUE(operation->compressData(big, reportDir + "/big.gz"));
    EXPECT_EQ(packageGunzip(reportDir + "/big.gz"), std::string(big.begin(), big.end()));
}

} // namespace
