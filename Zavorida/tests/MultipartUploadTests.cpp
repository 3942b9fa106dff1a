// Multipart uploads of the session manager on the scripted network: memory or file by size and session kind,
// the temporary body file's lifetime, and how every failure reaches the encoding completion.

#include "Zavorida/Source/SessionManager.hpp"

#include "testing/Bytes.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Zavorida/Source/ZVError.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/net/ScriptedTransport.hpp"
#include "platform/net/SimNetwork.hpp"
#include "testing/TempAppHome.hpp"

namespace Zavorida {
namespace {

using plat::Virtual;
using EncodingResult = SessionManager::MultipartFormDataEncodingResult;

using plat::test::text;

class MultipartUploadTest : public ::testing::Test {
protected:
    void SetUp() override {
        script = &plat::sim::Network::useScripted();
        script->clearRequests();
        script->route("POST", "https://api.example.test/form", plat::ScriptedReply::text(200, "stored"));
        manager = SessionManager::make(plat::URLSessionConfiguration::ephemeral());
    }

    std::filesystem::path multipartFolder() const {
        return std::filesystem::path(plat::FileManager::defaultManager().temporaryDirectory()) /
               "org.zavorida.manager/multipart.form.data";
    }

    // Runs one upload to the end: the encoding result and, when a request was made, its string response.
    struct Outcome {
        std::optional<EncodingResult> result;
        bool reportedOnMain = false;
        std::optional<DataResponse<std::string>> response;
    };
    Outcome upload(SessionManager& on, SessionManager::MultipartFormBuilder form, std::uint64_t threshold,
                   URLConvertible url = "https://api.example.test/form") {
        Outcome out;
        on.makeMultipartUploadToURL(
            std::move(form), threshold, url, HTTPMethod::post, std::nullopt, [&](const EncodingResult& r) {
                out.result = r;
                out.reportedOnMain = plat::DispatchQueue::main()->isCurrent();
                if (const auto* success = r.successValue()) {
                    success->request->addStringResponseHandler(
                        nullptr, std::nullopt, [&](const DataResponse<std::string>& d) { out.response = d; });
                }
            });
        Virtual::runUntilIdle();
        return out;
    }

    plat::test::TempAppHome home;
    plat::ScriptedTransport* script = nullptr;
    std::shared_ptr<SessionManager> manager;
};

TEST_F(MultipartUploadTest, ShortFormsGoFromMemoryAndTheRestFromAFileThatIsGoneAfterTheUpload) {
    struct Case {
        std::size_t length;
        std::uint64_t threshold;
        bool fromDisk;
    };
    for (const auto& c :
         {Case{9, 10, false}, Case{10, 10, true}, Case{0, 0, true}, Case{3, 10'000'000, false}}) {
        SCOPED_TRACE(std::to_string(c.length) + " bytes, threshold " + std::to_string(c.threshold));
        script->clearRequests();
        std::string boundary;
        const auto out = upload(
            *manager,
            [&](MultipartFormData& form) {
                boundary = form.boundary();
                if (c.length) {
                    form.appendData(plat::Data(c.length, 'x'), "field");
                }
            },
            c.threshold);
        ASSERT_TRUE(out.result && out.result->isSuccess());
        EXPECT_TRUE(out.reportedOnMain);
        const auto& success = *out.result->successValue();
        EXPECT_EQ(success.streamingFromDisk, c.fromDisk);
        EXPECT_EQ(success.streamFileURL.has_value(), c.fromDisk);
        if (success.streamFileURL) {
            EXPECT_EQ(std::filesystem::path(success.streamFileURL->path()).parent_path(), multipartFolder());
            EXPECT_FALSE(std::filesystem::exists(success.streamFileURL->path()));
        }
        ASSERT_TRUE(out.response);
        EXPECT_EQ(*out.response->result().value(), "stored");

        const auto requests = script->requests();
        ASSERT_EQ(requests.size(), 1u);
        const auto& sent = requests[0];
        std::string contentType;
        for (const auto& [name, value] : sent.headers) {
            if (name == "Content-Type") {
                contentType = value;
            }
        }
        EXPECT_EQ(contentType, "multipart/form-data; boundary=" + boundary);
        const auto body = text(sent.body);
        if (c.length == 0) {
            EXPECT_TRUE(body.empty()) << "a form without parts has no body";
            continue;
        }
        EXPECT_EQ(body.rfind("--" + boundary + "\r\n", 0), 0u) << body;
        EXPECT_NE(body.find(std::string(c.length, 'x') + "\r\n--" + boundary + "--\r\n"), std::string::npos)
            << body;
    }
    EXPECT_TRUE(std::filesystem::is_empty(multipartFolder()));
}

TEST_F(MultipartUploadTest, ABackgroundSessionAlwaysUploadsFromAFile) {
    auto background = SessionManager::make(plat::URLSessionConfiguration::background("org.example.bg"));
    const auto out = upload(
        *background, [](MultipartFormData& form) { form.appendData({'a'}, "a"); },
        SessionManager::multipartMemoryThreshold);
    ASSERT_TRUE(out.result && out.result->isSuccess());
    EXPECT_TRUE(out.result->successValue()->streamingFromDisk);
    ASSERT_TRUE(out.response);
    EXPECT_TRUE(out.response->result().isSuccess());
    EXPECT_TRUE(std::filesystem::is_empty(multipartFolder()));
}

TEST_F(MultipartUploadTest, FailuresReachTheCompletionOnTheMainQueueAndLeaveNoFile) {
    bool built = false;
    auto out = upload(
        *manager, [&](MultipartFormData&) { built = true; }, 0, "not a url");
    ASSERT_TRUE(out.result && !out.result->isSuccess());
    EXPECT_TRUE(out.reportedOnMain);
    EXPECT_TRUE(out.result->failureValue()->as<ZVError>()->isInvalidURL());
    EXPECT_FALSE(built) << "the form is not built for a request that cannot be made";

    // A part whose file is missing fails the encoding, in memory and through a file alike.
    const auto missing = plat::URL::file(home.root() + "/missing.txt");
    for (const std::uint64_t threshold : {std::uint64_t{1'000'000}, std::uint64_t{0}}) {
        out = upload(
            *manager, [&](MultipartFormData& form) { form.appendFile(missing, "file"); }, threshold);
        ASSERT_TRUE(out.result && !out.result->isSuccess());
        EXPECT_TRUE(out.result->failureValue()->as<ZVError>()->isMultipartEncodingFailure());
    }
    EXPECT_TRUE(std::filesystem::is_empty(multipartFolder()));

    // A file where the folder belongs: the folder cannot be made and nothing is sent.
    std::filesystem::remove_all(multipartFolder().parent_path());
    std::ofstream(multipartFolder().parent_path()) << "in the way";
    out = upload(
        *manager, [](MultipartFormData& form) { form.appendData({'a'}, "a"); }, 0);
    ASSERT_TRUE(out.result && !out.result->isSuccess());
    EXPECT_TRUE(out.result->failureValue()->platformError());
    EXPECT_TRUE(script->requests().empty());
}

TEST_F(MultipartUploadTest, AnAdapterFailureIsASuccessfulEncodingOfAFailedUploadWhoseFileIsStillRemoved) {
    struct Refuses : RequestAdapter {
        plat::URLRequest adapt(plat::URLRequest) override { throw plat::Error("adapter", 7); }
    };
    manager->setAdapter(std::make_shared<Refuses>());
    const auto out = upload(
        *manager,
        [](MultipartFormData& form) {
            form.appendData({'a', 'b'}, "a");
        },
        1);
    ASSERT_TRUE(out.result && out.result->isSuccess());
    const auto& success = *out.result->successValue();
    EXPECT_TRUE(success.streamingFromDisk);
    EXPECT_FALSE(success.request->task());
    ASSERT_TRUE(out.response);
    EXPECT_EQ(out.response->result().error()->platformError()->domain, "adapter");
    EXPECT_FALSE(std::filesystem::exists(success.streamFileURL->path()));
    EXPECT_TRUE(script->requests().empty());
}

} // namespace
} // namespace Zavorida
