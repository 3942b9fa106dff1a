// The HTTP client library against a real loopback back end over TLS: what reaches the server, what comes
// back to the caller, and server-trust pinning.

#include "Zavorida/Source/SessionManager.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Zavorida/tests/DevserverFixture.hpp"
#include "platform/foundation/Base64.hpp"

namespace Zavorida {
namespace {

using devserver::RecordedRequest;
using devserver::Reply;

SecCertificatePtr certificateFromPem(const std::string& pem) {
    std::istringstream lines(pem);
    std::string base64;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("-----", 0) != 0) {
            base64 += line;
        }
    }
    const auto der = plat::base64Decode(base64);
    return der ? plat::SecCertificate::createWithData(*der) : nullptr;
}

using EndToEndTest = test::DevserverTest;
using test::waitFor;

TEST_F(EndToEndTest, AJSONPostThroughTheSharedManagerCarriesTheStandardHeadersAndItsResultArrivesOnMain) {
    portal.route("POST", "/api/echo",
                 [](const RecordedRequest& r) { return Reply::json(201, "{\"received\":" + r.body + "}"); });
    plat::Dictionary parameters;
    parameters.set("subscriber", plat::Value("s-1"));
    std::optional<DataResponse<plat::Value>> record;
    bool onMain = false;
    requestWithDefaultSession("https://portal.example.test/api/echo", HTTPMethod::post, parameters,
                              JSONEncoding())
        ->addJSONResponseHandler(nullptr, 0, [&](const DataResponse<plat::Value>& r) {
            onMain = plat::DispatchQueue::main()->isCurrent();
            record = r;
        });
    ASSERT_TRUE(waitFor([&] { return record.has_value(); }));

    EXPECT_TRUE(onMain);
    ASSERT_TRUE(record->result().isSuccess()) << record->result().error()->description();
    EXPECT_EQ((*record->result().value())["received"]["subscriber"].stringValue(), "s-1");
    EXPECT_EQ(record->response()->statusCode(), 201);

    ASSERT_EQ(portal.requestCount(), 1u);
    const auto sent = portal.requests()[0];
    EXPECT_EQ(sent.host, "portal.example.test");
    EXPECT_EQ(sent.header("content-type"), "application/json");
    const auto standard = SessionManager::standardHeaders();
    for (const auto& name : {"Accept-Encoding", "Accept-Language", "User-Agent"}) {
        EXPECT_TRUE(sent.hasHeader(name)) << name;
        EXPECT_EQ(sent.header(name), standard.at(name)) << name;
    }
}

TEST_F(EndToEndTest, ADownloadLandsAtItsDestination) {
    const std::string payload(300'000, 'd');
    portal.route("GET", "/files/report.bin", Reply::text(200, payload, "application/octet-stream"));
    const auto target = plat::URL::file(home.root() + "/downloads/nested/report.bin");
    std::optional<DefaultDownloadResponse> record;
    makeManager()
        ->makeDownloadRequest(
            plat::URLRequest(*plat::URL::parse("https://portal.example.test/files/report.bin")),
            [&](const plat::URL&, const plat::HTTPURLResponse&) {
                return DownloadDestinationResult{target, DownloadOptions::createIntermediateDirectories()};
            })
        ->addResponseHandler(nullptr, [&](const DefaultDownloadResponse& r) { record = r; });
    ASSERT_TRUE(waitFor([&] { return record.has_value(); }));

    EXPECT_FALSE(record->error()) << record->error()->description();
    EXPECT_EQ(record->destinationURL(), target);
    std::ifstream in(target.path(), std::ios::binary);
    const std::string written((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(written.size(), payload.size());
    EXPECT_EQ(written, payload);
}

TEST_F(EndToEndTest, AMultipartUploadAboveTheThresholdStreamsFromAFileThatIsGoneAfterwards) {
    portal.route("POST", "/api/upload", Reply::text(200, "stored"));
    const std::string big(200'000, 'm');
    std::string boundary;
    std::optional<SessionManager::MultipartFormDataEncodingResult> encoded;
    std::optional<DataResponse<std::string>> record;
    uploadMultipartWithDefaultSession(
        [&](MultipartFormData& form) {
            boundary = form.boundary();
            form.appendData(plat::Data(big.begin(), big.end()), "attachment");
            form.appendData({'o', 'k'}, "note");
        },
        100'000, "https://portal.example.test/api/upload", HTTPMethod::post, std::nullopt,
        [&](const SessionManager::MultipartFormDataEncodingResult& result) {
            encoded = result;
            if (const auto* success = result.successValue()) {
                success->request->addStringResponseHandler(
                    nullptr, std::nullopt, [&](const DataResponse<std::string>& r) { record = r; });
            }
        });
    ASSERT_TRUE(waitFor([&] { return record.has_value() || (encoded && !encoded->isSuccess()); }));
    ASSERT_TRUE(encoded->isSuccess()) << encoded->failureValue()->description();
    const auto& success = *encoded->successValue();
    EXPECT_TRUE(success.streamingFromDisk);
    ASSERT_TRUE(success.streamFileURL);
    EXPECT_EQ(*record->result().value(), "stored");
    // The removal runs once the upload's task has completed, which the response handler already saw.
    EXPECT_TRUE(waitFor([&] { return !std::filesystem::exists(success.streamFileURL->path()); }));

    ASSERT_EQ(portal.requestCount(), 1u);
    const auto sent = portal.requests()[0];
    EXPECT_EQ(sent.header("content-type"), "multipart/form-data; boundary=" + boundary);
    EXPECT_NE(sent.body.find("name=\"attachment\"\r\n\r\n" + big + "\r\n--" + boundary + "\r\n"),
              std::string::npos);
    EXPECT_NE(sent.body.find("name=\"note\"\r\n\r\nok\r\n--" + boundary + "--\r\n"), std::string::npos);
}

TEST_F(EndToEndTest, PinningAcceptsThePinnedServerAndRejectsAnotherThatTheSystemWouldTrust) {
    ASSERT_TRUE(other.start()) << other.error();
    // Both CAs are trusted, so only the pin tells the two servers apart.
    std::ofstream(caPath, std::ios::app) << other.caPem();
    plat::sim::Network::setCAFile(caPath);
    plat::sim::Network::setResolve(portal.resolveEntry("portal.example.test") + "," +
                                   other.resolveEntry("www.example.test"));
    portal.route("GET", "/ping", Reply::text(200, "portal"));
    other.route("GET", "/ping", Reply::text(200, "other"));

    const auto pinned = certificateFromPem(portal.caPem());
    ASSERT_TRUE(pinned);
    const auto pin = ServerTrustPolicy::pinCertificates({pinned}, true, true);
    auto pinning = makeManager(std::make_shared<ServerTrustPolicyManager>(
        std::map<std::string, ServerTrustPolicy>{{"portal.example.test", pin}, {"www.example.test", pin}}));
    auto plain = makeManager();

    auto fetch = [&](SessionManager& manager, const std::string& url) {
        std::optional<DataResponse<std::string>> record;
        manager.makeDataRequestToURL(url)->addStringResponseHandler(
            nullptr, std::nullopt, [&](const DataResponse<std::string>& r) { record = r; });
        EXPECT_TRUE(waitFor([&] { return record.has_value(); }));
        return *record;
    };
    const auto accepted = fetch(*pinning, "https://portal.example.test/ping");
    ASSERT_TRUE(accepted.result().isSuccess()) << accepted.result().error()->description();
    EXPECT_EQ(*accepted.result().value(), "portal");

    const auto rejected = fetch(*pinning, "https://www.example.test/ping");
    ASSERT_TRUE(rejected.result().isFailure());
    ASSERT_TRUE(rejected.result().error()->platformError());
    EXPECT_EQ(rejected.result().error()->platformError()->code, -999);
    EXPECT_EQ(other.requestCount(), 0u);

    const auto unpinned = fetch(*plain, "https://www.example.test/ping");
    ASSERT_TRUE(unpinned.result().isSuccess()) << unpinned.result().error()->description();
    EXPECT_EQ(*unpinned.result().value(), "other");
}

} // namespace
} // namespace Zavorida
