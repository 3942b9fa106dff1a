// Downloads and uploads made from a URL and a method, and the shared manager's transfer functions, against a
// real loopback back end: what reaches the server byte for byte and where downloaded bodies land.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Zavorida/tests/DevserverFixture.hpp"
#include "platform/foundation/Stream.hpp"

namespace Zavorida {
namespace {

using devserver::RecordedRequest;
using devserver::Reply;
using test::waitFor;

using TransferEndToEndTest = test::DevserverTest;

// Every byte value, in an order that no off-by-one or text conversion would keep.
std::string binaryPayload(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 2463534242u;
    for (auto& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state & 0xff);
    }
    return bytes;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

plat::URL writeFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    return plat::URL::file(path);
}

plat::Data toData(const std::string& bytes) {
    return plat::Data(bytes.begin(), bytes.end());
}

TEST_F(TransferEndToEndTest, UploadsByURLAndMethodArriveByteForByte) {
    const auto payload = binaryPayload(300'000);
    const auto file = writeFile(home.root() + "/outgoing/body.bin", payload);
    struct Case {
        const char* name;
        std::function<std::shared_ptr<UploadRequest>(SessionManager&, const std::string& url)> upload;
    };
    const HeaderDictionary headers{{"Content-Type", "application/octet-stream"}, {"X-Upload", "1"}};
    const std::vector<Case> cases{
        {"file",
         [&](SessionManager& m, const std::string& url) {
             return m.makeFileUploadRequestToURL(file, url, HTTPMethod::put, headers);
         }},
        {"data",
         [&](SessionManager& m, const std::string& url) {
             return m.makeDataUploadRequestToURL(toData(payload), url, HTTPMethod::put, headers);
         }},
        {"stream",
         [&](SessionManager& m, const std::string& url) {
             return m.makeStreamUploadRequestToURL(plat::InputStream::withFile(file.path()), url,
                                                   HTTPMethod::put, headers);
         }},
    };
    auto manager = makeManager();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        portal.clearRequests();
        const std::string path = std::string("/api/store/") + c.name;
        portal.route("PUT", path, [](const RecordedRequest& r) {
            return Reply::text(201, std::to_string(r.body.size()));
        });
        std::optional<DataResponse<std::string>> record;
        auto upload = c.upload(*manager, "https://portal.example.test" + path);
        upload->addStringResponseHandler(nullptr, std::nullopt,
                                         [&](const DataResponse<std::string>& r) { record = r; });
        ASSERT_TRUE(waitFor([&] { return record.has_value(); }));

        ASSERT_TRUE(record->result().isSuccess()) << record->result().error()->description();
        EXPECT_EQ(record->response()->statusCode(), 201);
        ASSERT_EQ(portal.requestCount(), 1u);
        const auto sent = portal.requests()[0];
        EXPECT_EQ(sent.method, "PUT");
        EXPECT_EQ(sent.header("x-upload"), "1");
        EXPECT_EQ(sent.header("content-type"), "application/octet-stream");
        ASSERT_EQ(sent.body.size(), payload.size());
        EXPECT_TRUE(sent.body == payload) << "the body differs from what was uploaded";
        if (std::string(c.name) != "stream") { // a stream's length is not known ahead
            EXPECT_DOUBLE_EQ(upload->uploadProgress()->fractionCompleted(), 1.0);
        }
        EXPECT_EQ(manager->delegate()->requestCount(), 0u);
    }
}

TEST_F(TransferEndToEndTest, ADownloadByURLAndMethodSendsItsParametersAndLandsAtItsDestination) {
    const std::uint64_t size = 500'000;
    portal.route("POST", "/api/export", Reply::generated(size));
    const auto target = plat::URL::file(home.root() + "/Documents/exports/report.bin");
    plat::Dictionary parameters;
    parameters.set("format", plat::Value("bin"));
    std::optional<DownloadResponse<plat::Data>> record;
    makeManager()
        ->makeDownloadRequestToURL(
            "https://portal.example.test/api/export", HTTPMethod::post, parameters, JSONEncoding(),
            HeaderDictionary{{"X-Export", "yes"}},
            [&](const plat::URL&, const plat::HTTPURLResponse&) {
                return DownloadDestinationResult{target, DownloadOptions::createIntermediateDirectories()};
            })
        ->addDataResponseHandler(nullptr, [&](const DownloadResponse<plat::Data>& r) { record = r; });
    ASSERT_TRUE(waitFor([&] { return record.has_value(); }));

    ASSERT_TRUE(record->result().isSuccess()) << record->result().error()->description();
    EXPECT_EQ(record->destinationURL(), target);
    const auto written = readFile(target.path());
    ASSERT_EQ(written.size(), size);
    for (std::uint64_t i = 0; i < size; i += 4093) {
        ASSERT_EQ(written[i], devserver::generatedByte(i)) << "at " << i;
    }
    EXPECT_EQ(record->result().value()->size(), size);

    ASSERT_EQ(portal.requestCount(), 1u);
    const auto sent = portal.requests()[0];
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.body, "{\"format\":\"bin\"}");
    EXPECT_EQ(sent.header("content-type"), "application/json");
    EXPECT_EQ(sent.header("x-export"), "yes");
}

TEST_F(TransferEndToEndTest, ADownloadCancelledHalfwayResumesFromItsResumeDataThroughTheSharedManager) {
    // The route owns its copy of the payload: the server thread that streamed the first answer may still hold
    // it when the test ends, and nothing the thread sanitizer sees orders that thread before this one.
    const auto payload = std::make_shared<const std::string>(binaryPayload(64'000));
    const std::string& whole = *payload;
    const std::size_t half = whole.size() / 2;
    portal.route("GET", "/files/resumable.bin", [payload, half](const RecordedRequest& r) {
        const std::string& whole = *payload;
        if (!r.hasHeader("range")) {
            return Reply::stalled(whole.size(), whole.substr(0, half))
                .withHeader("Content-Type", "application/octet-stream")
                .withHeader("ETag", "\"v1\"");
        }
        return Reply::text(206, whole.substr(half), "application/octet-stream")
            .withHeader("Content-Range", "bytes " + std::to_string(half) + "-" +
                                             std::to_string(whole.size() - 1) + "/" +
                                             std::to_string(whole.size()))
            .withHeader("ETag", "\"v1\"");
    });
    const auto target = plat::URL::file(home.root() + "/Documents/resumable.bin");
    DownloadDestination destination = [&](const plat::URL&, const plat::HTTPURLResponse&) {
        return DownloadDestinationResult{target, DownloadOptions::createIntermediateDirectories()};
    };

    std::optional<DefaultDownloadResponse> cancelled;
    std::int64_t received = 0;
    auto first =
        downloadWithDefaultSession("https://portal.example.test/files/resumable.bin", HTTPMethod::get,
                                   std::nullopt, URLEncoding(), std::nullopt, destination);
    first->setProgressHandler(
        nullptr, [&](const ProgressPtr& progress) { received = progress->completedUnitCount(); });
    first->addResponseHandler(nullptr, [&](const DefaultDownloadResponse& r) { cancelled = r; });
    ASSERT_TRUE(waitFor([&] { return received >= static_cast<std::int64_t>(half); }));
    first->cancel();
    ASSERT_TRUE(waitFor([&] { return cancelled.has_value(); }));
    ASSERT_TRUE(cancelled->resumeData()) << "a cancelled download hands over resume data";

    std::optional<DownloadResponse<plat::Data>> resumed;
    downloadWithDefaultSessionFromResumeData(*cancelled->resumeData(), destination)
        ->addDataResponseHandler(nullptr, [&](const DownloadResponse<plat::Data>& r) { resumed = r; });
    ASSERT_TRUE(waitFor([&] { return resumed.has_value(); }));

    ASSERT_TRUE(resumed->result().isSuccess()) << resumed->result().error()->description();
    EXPECT_EQ(resumed->destinationURL(), target);
    EXPECT_TRUE(readFile(target.path()) == whole) << "the resumed file differs from the whole body";
    ASSERT_EQ(portal.requestCount(), 2u);
    EXPECT_EQ(portal.requests()[1].header("range"), "bytes=" + std::to_string(half) + "-");
}

TEST_F(TransferEndToEndTest, TheSharedManagersTransferFunctionsSendItsStandardHeaders) {
    const auto payload = binaryPayload(20'000);
    const auto file = writeFile(home.root() + "/outgoing/shared.bin", payload);
    portal.route("PUT", "/api/shared",
                 [](const RecordedRequest& r) { return Reply::text(200, std::to_string(r.body.size())); });
    portal.route("GET", "/api/shared", Reply::generated(1000));

    const auto url = std::string("https://portal.example.test/api/shared");
    auto put = [&] {
        plat::URLRequest request(*plat::URL::parse(url));
        request.setHTTPMethod("PUT");
        return request;
    };
    using Done = std::function<void()>;
    auto onData = [](Done done) { return [done](const DefaultDataResponse&) { done(); }; };
    auto onDownload = [](Done done) { return [done](const DefaultDownloadResponse&) { done(); }; };
    struct Case {
        const char* name;
        const char* method;
        bool sendsPayload;
        std::function<void(Done)> start;
    };
    const std::vector<Case> cases{
        {"downloadWithDefaultSession", "GET", false,
         [&](Done done) { downloadWithDefaultSession(url)->addResponseHandler(nullptr, onDownload(done)); }},
        {"downloadWithDefaultSessionFromURLRequest", "GET", false,
         [&](Done done) {
             downloadWithDefaultSessionFromURLRequest(plat::URLRequest(*plat::URL::parse(url)))
                 ->addResponseHandler(nullptr, onDownload(done));
         }},
        {"uploadFileWithDefaultSession", "PUT", true,
         [&](Done done) {
             uploadFileWithDefaultSession(file, url, HTTPMethod::put)
                 ->addResponseHandler(nullptr, onData(done));
         }},
        {"uploadFileWithDefaultSessionFromURLRequest", "PUT", true,
         [&](Done done) {
             uploadFileWithDefaultSessionFromURLRequest(file, put())
                 ->addResponseHandler(nullptr, onData(done));
         }},
        {"uploadDataWithDefaultSession", "PUT", true,
         [&](Done done) {
             uploadDataWithDefaultSession(toData(payload), url, HTTPMethod::put)
                 ->addResponseHandler(nullptr, onData(done));
         }},
        {"uploadDataWithDefaultSessionFromURLRequest", "PUT", true,
         [&](Done done) {
             uploadDataWithDefaultSessionFromURLRequest(toData(payload), put())
                 ->addResponseHandler(nullptr, onData(done));
         }},
        {"uploadStreamWithDefaultSession", "PUT", true,
         [&](Done done) {
             uploadStreamWithDefaultSession(plat::InputStream::withData(toData(payload)), url,
                                            HTTPMethod::put)
                 ->addResponseHandler(nullptr, onData(done));
         }},
        {"uploadStreamWithDefaultSessionFromURLRequest", "PUT", true,
         [&](Done done) {
             uploadStreamWithDefaultSessionFromURLRequest(plat::InputStream::withData(toData(payload)), put())
                 ->addResponseHandler(nullptr, onData(done));
         }},
    };
    const auto standard = SessionManager::standardHeaders();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        portal.clearRequests();
        bool done = false;
        c.start([&] { done = true; });
        ASSERT_TRUE(waitFor([&] { return done; }));
        ASSERT_EQ(portal.requestCount(), 1u);
        const auto sent = portal.requests()[0];
        EXPECT_EQ(sent.method, c.method);
        EXPECT_EQ(sent.path, "/api/shared");
        for (const auto& name : {"Accept-Encoding", "Accept-Language", "User-Agent"}) {
            EXPECT_EQ(sent.header(name), standard.at(name)) << name;
        }
        if (c.sendsPayload) {
            EXPECT_TRUE(sent.body == payload) << "the body differs from what was uploaded";
        }
    }
    EXPECT_EQ(SessionManager::shared().delegate()->requestCount(), 0u);
}

} // namespace
} // namespace Zavorida
