// The log-collection client against devserver over HTTPS, on virtual time: the files events go to, one
// POST per file and what it carries (checked with protoc --decode_raw as well), what each reply does to the
// file and the retry budget, and the account names that must stay inside the log folder.

#include "core/DAVDiagnostics.hpp"
#include "core/DAVErrorObject.hpp"
#include "core/DAVZarezuveLogger.hpp"
#include "core/DVUGzip.hpp"
#include "core/tests/CoreLogTestEvents.hpp"
#include "devserver/LogRoutes.hpp"
#include "devserver/Server.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/SystemLog.hpp"
#include "platform/net/SimNetwork.hpp"
#include "platform/runtime/Runtime.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using devserver::Reply;


// Every file below a folder, full paths.
std::vector<std::string> zarezuveFilesBelow(const std::string& folder) {
    std::vector<std::string> out;
    auto& fm = plat::FileManager::defaultManager();
    auto names = fm.contentsOfDirectory(folder);
    if (!names) {
        return out;
    }
    for (const auto& name : *names) {
        const std::string path = folder + "/" + name;
        bool isDirectory = false;
        if (fm.fileExists(path, &isDirectory) && isDirectory) {
            auto inner = zarezuveFilesBelow(path);
            out.insert(out.end(), inner.begin(), inner.end());
        } else {
            out.push_back(path);
        }
    }
    return out;
}

// protoc's own reading of the bytes, without a schema.
std::string zarezuveDecodeRaw(const plat::Data& bytes) {
    const std::string path = plat::AppHome::tmp() + "/raw.bin";
    if (!plat::writeData(path, bytes, {})) {
        return "";
    }
    std::string out;
    if (FILE* pipe = ::popen(("protoc --decode_raw < '" + path + "' 2>&1").c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            out.append(buffer, n);
        }
        ::pclose(pipe);
    }
    return out;
}

class ZarezuveLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start()) << server.error();
        const std::string ca = plat::AppHome::tmp() + "/zarezuve-ca.pem";
        ASSERT_TRUE(server.writeCa(ca));
        plat::sim::Network::setCAFile(ca);
        plat::sim::Network::setResolve(server.resolveEntry("logs.example.test"));
        plat::sim::Network::setReachability(2);
        network = DVUNetwork::initWithReachabilityHost("logs.example.test");
        ASSERT_TRUE(network);
        // The checker reports changes only.
        plat::sim::Network::setReachability(0);
        plat::Virtual::runUntilIdle();
        plat::sim::Network::setReachability(2);
        ASSERT_TRUE(plat::Virtual::runUntil([&] { return network->isNetworkConnected(); }, 20));
        DAVZarezuveLogger::Setup setup;
        setup.network = network;
        logger = DAVZarezuveLogger::make(setup);
        server.route("POST", "/log", Reply::text(200, "ok"));
    }

    std::string logFolder() const { return plat::AppHome::caches() + "/DAVZarezuveLogger"; }

    void settle() { plat::Virtual::runUntilIdle(); }

    // Flushes and waits until the posts it makes are answered (or it stops).
    int flush() {
        auto calls = std::make_shared<int>(0);
        const std::size_t before = server.requests().size();
        logger->flushWithCompletionHandler([calls] { ++*calls; });
        plat::Virtual::runUntil([&] { return *calls > 0 || server.requests().size() > before; }, 20);
        plat::Virtual::runUntil([&] { return *calls > 0 || !network->hasUploadInProgress(); }, 20);
        settle();
        return *calls;
    }

    std::shared_ptr<DLCPBLogRequest> postedRequest(std::size_t index) {
        auto requests = server.requests();
        if (index >= requests.size()) {
            return nullptr;
        }
        const std::string& body = requests[index].body;
        auto plain = dvu_dataByInflatingGzippedData(std::span(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
        return plain ? DLCPBLogRequest::initWithBuffer(*plain) : nullptr;
    }

    plat::test::TempAppHome home;
    devserver::Server server;
    std::shared_ptr<DVUNetwork> network;
    std::shared_ptr<DAVZarezuveLogger> logger;
};

TEST_F(ZarezuveLoggerTest, AnEventBecomesOneRecordAndAFlushPostsTheFileOnce) {
    logger->logEvent(coreLogGoldenEvent(), 137, "greenhouse");
    settle();
    auto files = zarezuveFilesBelow(logFolder());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].rfind(logFolder() + "/greenhouse/137/", 0), 0u);
    auto bytes = plat::readData(files[0]);
    ASSERT_TRUE(bytes);
    ASSERT_EQ(bytes->size(), 26u);
    EXPECT_EQ((*bytes)[0], 0x19);
    struct stat info {};
    ASSERT_EQ(::stat(files[0].c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    EXPECT_EQ(flush(), 1);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].host, "logs.example.test");
    EXPECT_EQ(requests[0].path, "/log");
    auto posted = postedRequest(0);
    ASSERT_TRUE(posted);
    EXPECT_EQ(NANOGetInt32(posted, DLCPBLogRequest::kLogSource), 137);
    auto blobs = NANOGetArray(posted, DLCPBLogRequest::kSerializedLogEvents);
    ASSERT_EQ(blobs->size(), 1u);
    EXPECT_EQ((*blobs)[0].asData(), *bytes);

    const std::string raw = zarezuveDecodeRaw(*posted->protoBuffer());
    EXPECT_NE(raw.find("1 {\n  1: 3\n"), std::string::npos) << raw;
    EXPECT_NE(raw.find("\n2: 137\n"), std::string::npos) << raw;
    EXPECT_NE(raw.find("\n5: \""), std::string::npos) << raw;
    EXPECT_TRUE(zarezuveFilesBelow(logFolder()).empty());

    // An event's own times are kept; missing ones come from the clock.
    auto bare = DLCPBLogEvent::init();
    logger->logEvent(bare, 137, "greenhouse");
    EXPECT_EQ(NANOGetInt64(bare, DLCPBLogEvent::kEventTimeMs), DAVZarezuveCurrentTimeMillis());
    EXPECT_TRUE(NANOHasField(bare, DLCPBLogEvent::kEventUptimeMs));
}

TEST_F(ZarezuveLoggerTest, FailedPostsKeepTheFileRetryLaterAndStopAfterSix) {
    plat::sim::SystemLogCapture log;
    server.route("POST", "/log", Reply::text(500, "no"));
    logger->logEvent(coreLogGoldenEvent(), 137, "greenhouse");
    EXPECT_EQ(flush(), 0);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(zarezuveFilesBelow(logFolder()).size(), 1u);
    EXPECT_EQ(logger->uploadRetriesRemaining(), 5);
    bool lined = false;
    for (const auto& line : log.texts()) {
        lined |= line.find("[Vedudodu/Core][I-COR000020] Error posting to Zarezuve: (null), with Status Code: 500") !=
                 std::string::npos;
    }
    EXPECT_TRUE(lined);

    // The scheduled send tries again 900 s later.
    plat::Virtual::advanceBy(899);
    settle();
    EXPECT_EQ(server.requests().size(), 1u);
    plat::Virtual::advanceBy(1);
    ASSERT_TRUE(plat::Virtual::runUntil([&] { return server.requests().size() == 2; }, 20));
    plat::Virtual::runUntil([&] { return !network->hasUploadInProgress(); }, 20);
    settle();
    for (int i = 0; i < 4; ++i) {
        flush();
    }
    EXPECT_EQ(logger->uploadRetriesRemaining(), 0);
    const std::size_t posts = server.requests().size();
    EXPECT_EQ(posts, 6u);
    server.route("POST", "/log", Reply::text(200, "ok"));
    EXPECT_EQ(flush(), 0);
    EXPECT_EQ(server.requests().size(), posts);
    EXPECT_EQ(zarezuveFilesBelow(logFolder()).size(), 1u);
}

TEST_F(ZarezuveLoggerTest, APermanentRefusalSetsTheFileAsideAndTheNextOneStillGoes) {
    server.route("POST", "/log", Reply::text(400, "bad"));
    logger->logEvent(coreLogGoldenEvent(), 137, "greenhouse");
    EXPECT_EQ(flush(), 1);
    EXPECT_TRUE(zarezuveFilesBelow(logFolder()).empty());
    EXPECT_EQ(zarezuveFilesBelow(DAVZarezuveLogger::rejectedDirectory()).size(), 1u);
    EXPECT_EQ(logger->uploadRetriesRemaining(), 6);

    server.route("POST", "/log", Reply::text(200, "ok"));
    logger->logEvent(coreLogGoldenEvent(), 137, "greenhouse");
    EXPECT_EQ(flush(), 1);
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_TRUE(zarezuveFilesBelow(logFolder()).empty());
}

TEST_F(ZarezuveLoggerTest, FilesOfOneMillisecondAndUnreadableFilesLoseNoOtherEvent) {
    // Every event closes its file: with the clock standing still, all three files share a millisecond.
    logger->setMaxRequestNumBytes(1);
    for (int i = 0; i < 3; ++i) {
        logger->logEvent(coreLogGoldenEvent(), 137, "greenhouse");
    }
    settle();
    auto files = zarezuveFilesBelow(logFolder());
    ASSERT_EQ(files.size(), 3u);
    for (const auto& file : files) {
        EXPECT_EQ(plat::readData(file)->size(), 26u) << file;
    }
    // Something in the folder that cannot be read as a file is dropped without a post.
    ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(logFolder() + "/greenhouse/137/1", true, {}));
    EXPECT_EQ(flush(), 1);
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_TRUE(zarezuveFilesBelow(logFolder()).empty());
}

TEST_F(ZarezuveLoggerTest, AccountNamesStayInsideTheLogFolderAndComeBackFromTheScan) {
    for (const char* account : {".", "..", "a/b"}) {
        logger->logEvent(coreLogGoldenEvent(), 7, account);
    }
    settle();
    auto names = plat::FileManager::defaultManager().contentsOfDirectory(logFolder());
    ASSERT_TRUE(names);
    std::sort(names->begin(), names->end());
    EXPECT_EQ(*names, (std::vector<std::string>{"%2E", "%2E%2E", "a%2Fb"}));

    logger->queue()->sync([&] {
        logger->flushWriters();
        logger->updatePendingRequests();
    });
    std::vector<std::string> accounts;
    while (auto request = logger->nextPendingRequest()) {
        accounts.push_back(request->account);
        EXPECT_EQ(request->logSource, 7);
    }
    std::sort(accounts.begin(), accounts.end());
    EXPECT_EQ(accounts, (std::vector<std::string>{".", "..", "a/b"}));
}

TEST_F(ZarezuveLoggerTest, AShortWriteLeavesNoTornRecord) {
    const std::string path = plat::AppHome::tmp() + "/short/1";
    DAVZarezuveWriter writer(path);
    ASSERT_GE(writer.fd(), 0);
    ASSERT_TRUE(writer.writeLogEvent(*coreLogGoldenEvent()));
    // Past 30 bytes the kernel refuses to grow the file: the second record is cut short.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = old;
    limited.rlim_cur = 30;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool second = writer.writeLogEvent(*coreLogGoldenEvent());
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(second);
    EXPECT_EQ(writer.numBytes(), 26u);
    writer.close();
    EXPECT_EQ(plat::readData(path)->size(), 26u);
}


// The configuration carried by the one event of a posted file.
std::shared_ptr<DAVPBICoreConfiguration> zarezuveReportOf(const std::shared_ptr<DLCPBLogRequest>& request) {
    auto blobs = request ? NANOGetArray(request, DLCPBLogRequest::kSerializedLogEvents) : std::nullopt;
    if (!blobs || blobs->size() != 1) {
        return nullptr;
    }
    const plat::Data& file = (*blobs)[0].asData();
    // One record: the varint length, then the event.
    std::size_t length = 0;
    std::size_t at = 0;
    for (int shift = 0; at < file.size() && shift < 35; shift += 7) {
        const uint8_t b = file[at++];
        length |= std::size_t(b & 0x7f) << shift;
        if (!(b & 0x80)) {
            break;
        }
    }
    if (at + length != file.size()) {
        return nullptr;
    }
    auto event = DLCPBLogEvent::initWithBuffer(plat::Data(file.begin() + static_cast<std::ptrdiff_t>(at), file.end()));
    if (!event) {
        return nullptr;
    }
    const auto* payload = std::get_if<NANOStringRecord>(&event->messageInfo()->slots[DLCPBLogEvent::kSourceExtension]);
    if (!payload || !payload->bytes) {
        return nullptr;
    }
    return DAVPBICoreConfiguration::initWithBuffer(
        plat::Data(payload->bytes.get(), payload->bytes.get() + payload->length));
}

TEST_F(ZarezuveLoggerTest, EachDiagnosticsNotificationBecomesOneReportUploadedUnderSource137) {
    plat::rt::registerClass("DAVAnalytics");
    DAVDiagnostics::setZarezuveLogger(logger);
    DAVDiagnostics::setLoadedImageNamesProvider([] {
        return std::vector<std::string>{"/app/Portal", "/usr/lib/x86_64-linux-gnu/libc.so.6", "/app/Kit.so"};
    });
    DAVDiagnostics::load();
    auto& center = plat::NotificationCenter::defaultCenter();
    center.post("DAVAppDiagnosticsNotification");
    ASSERT_TRUE(plat::Virtual::runUntil([&] { return server.requests().size() == 1; }, 20));
    auto posted = postedRequest(0);
    ASSERT_TRUE(posted);
    EXPECT_EQ(NANOGetInt32(posted, DLCPBLogRequest::kLogSource), 137);
    auto report = zarezuveReportOf(posted);
    ASSERT_TRUE(report);
    using C = DAVPBICoreConfiguration;
    EXPECT_EQ(NANOGetInt32(report, C::kFixedCode16), 2);
    EXPECT_FALSE(NANOGetBool(report, C::kFixedFlag29));
    EXPECT_TRUE(NANOHasField(report, C::kFixedFlag29));
    EXPECT_EQ(NANOGetInt32(report, C::kFixedCode30), 1);
    EXPECT_EQ(NANOGetString(report, C::kToolchainBuild), "-");
    EXPECT_EQ(NANOGetArray(report, C::kSdkServiceInstalled), (plat::Array{plat::Value(18)}));
    EXPECT_TRUE(NANOGetBool(report, C::kAppDelegateProxyEnabled));
    EXPECT_EQ(NANOGetInt32(report, C::kLinkedFrameworkCount), 1);
    EXPECT_EQ(NANOGetInt32(report, C::kAppCount), 0);
    EXPECT_FALSE(NANOHasField(report, C::kConfigurationType));
    EXPECT_FALSE(NANOHasField(report, C::kServiceType));
    const std::string installFile = plat::AppHome::applicationSupport() + "/Razoza/DAVApp/VEDUDODU_UNIQUE_INSTALL";
    auto install = plat::readData(installFile);
    ASSERT_TRUE(install);
    const std::string identifier(install->begin(), install->end());
    EXPECT_EQ(identifier.size(), 36u);
    EXPECT_EQ(NANOGetString(report, C::kInstallString), identifier);
    plat::Virtual::runUntil([&] { return !network->hasUploadInProgress(); }, 20);
    settle();

    center.post("DAVAppDiagnosticsNotification", nullptr,
                plat::Dictionary{{"ConfigType", plat::Value(3)},
                                 {"SDKName", plat::Value("Foo")},
                                 {"SDKVersion", plat::Value("1.2")},
                                 {"Error", DAVErrorObject::valueWithError(plat::Error("com.example", -7))}});
    ASSERT_TRUE(plat::Virtual::runUntil([&] { return server.requests().size() == 2; }, 20));
    report = zarezuveReportOf(postedRequest(1));
    ASSERT_TRUE(report);
    EXPECT_FALSE(NANOHasField(report, C::kConfigurationType));
    EXPECT_TRUE(NANOHasField(report, C::kServiceType));
    EXPECT_EQ(NANOGetInt32(report, C::kServiceType), 0);
    EXPECT_EQ(NANOGetString(report, C::kServiceVersion), "1.2");
    auto error = NANOGetMessage<DAVPBErrorInfo>(report, C::kErrorInfo);
    ASSERT_TRUE(error);
    EXPECT_TRUE(NANOGetBool(error, DAVPBErrorInfo::kErrorPresent));
    EXPECT_EQ(NANOGetInt32(error, DAVPBErrorInfo::kErrorCode), -7);
    EXPECT_EQ(NANOGetString(report, C::kInstallString), identifier);
    plat::Virtual::runUntil([&] { return !network->hasUploadInProgress(); }, 20);
    settle();
    DAVDiagnostics::setZarezuveLogger(nullptr);
    DAVDiagnostics::setLoadedImageNamesProvider(nullptr);
}


// devserver's log service reads what the client posts with nanopb alone, a rolled-over file past the
// client's own 1 MiB field limit included, and its scripted refusals keep the file for later.
TEST_F(ZarezuveLoggerTest, TheLogServiceReadsARolledOverFile) {
    server.clearRoutes();
    auto service = devserver::installLogRoutes(server);
    logger->setInstallIdentifier(std::string("install-1"));
    for (int i = 0; i < 2; ++i) {
        auto event = coreLogGoldenEvent();
        NANOSetBytes(event, DLCPBLogEvent::kSourceExtension, plat::Value(plat::Data(600 * 1024, 0x5a)));
        logger->logEvent(event, 137, "greenhouse");
    }
    settle();
    service->scriptNext(Reply::text(503, "busy"));
    EXPECT_EQ(flush(), 0);
    EXPECT_EQ(flush(), 1);
    auto received = service->received();
    ASSERT_EQ(received.size(), 2u);
    const auto& last = received[1];
    ASSERT_TRUE(last.decoded);
    EXPECT_EQ(last.logSource, 137);
    EXPECT_EQ(last.clientType, 3u);
    EXPECT_EQ(last.installIdentifier, "install-1");
    ASSERT_EQ(last.serializedLogEvents.size(), 1u);
    EXPECT_GT(last.serializedLogEvents[0].size(), 1048576u);
    EXPECT_TRUE(zarezuveFilesBelow(logFolder()).empty());
}

} // namespace
