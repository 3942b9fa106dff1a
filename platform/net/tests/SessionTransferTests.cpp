// Bulk transfers through URLSession against a loopback devserver: uploads from memory, files and streams,
// downloads to files with progress, suspend and resume, and resuming a cancelled download.

#include "platform/foundation/Stream.hpp"
#include "platform/net/URLError.hpp"
#include "platform/net/tests/SessionTestSupport.hpp"

#include <openssl/sha.h>
#include <sys/stat.h>

#include <filesystem>

namespace plat::test {
namespace {

using devserver::RecordedRequest;
using devserver::Reply;

// One upload and one download go at full size (100 MB). The other transfers are big enough to take many
// writes and progress callbacks; at 100 MB each would take 2-4 s more under the sanitizers.
constexpr uint64_t kUploadSize = 100ull * 1024 * 1024;
constexpr uint64_t kDownloadSize = 100ull * 1024 * 1024;
constexpr uint64_t kBulkSize = 24ull * 1024 * 1024;

std::string sha256Hex(const Data& data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(data.data(), data.size(), digest);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : digest) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

Data pattern(std::size_t size) {
    Data d(size);
    for (std::size_t i = 0; i < size; ++i)
        d[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
    return d;
}

bool isGenerated(const std::string& contents, uint64_t size) {
    if (contents.size() != size)
        return false;
    for (uint64_t i = 0; i < size; ++i)
        if (contents[i] != devserver::generatedByte(i))
            return false;
    return true;
}

class SessionTransferTest : public SessionFixture {
protected:
    void SetUp() override {
        startServer();
        devserver::Route upload;
        upload.method = "";
        upload.path = "/upload";
        upload.capture = devserver::BodyCapture::Hash;
        upload.handler = [](const RecordedRequest& r) {
            return Reply::text(200, std::to_string(r.bodySize) + " " + r.bodySha256);
        };
        server.route(upload);
    }
};

TEST_F(SessionTransferTest, UploadsFromMemoryAndFromAFileReportProgressAndArriveWhole) {
    const Data payload = pattern(kUploadSize);
    const std::string expected = std::to_string(payload.size()) + " " + sha256Hex(payload);
    const std::string file = AppHome::tmp() + "/upload.bin";
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(payload.data()),
                  static_cast<std::streamsize>(payload.size()));
    }
    for (bool fromFile : {false, true}) {
        auto delegate = std::make_shared<RecordingDelegate>();
        delegate->implement({URLSessionSelector::didSendBodyData, URLSessionSelector::didReceiveData,
                             URLSessionSelector::didCompleteWithError,
                             URLSessionSelector::didReceiveResponse});
        auto s = session(delegate);
        URLRequest request(url("/upload"));
        request.setHTTPMethod("PUT");
        auto task = fromFile ? s->uploadTask(request, URL::file(file)) : s->uploadTask(request, payload);
        task->resume();
        ASSERT_TRUE(waitFor([&] { return delegate->completed; })) << fromFile;
        ASSERT_FALSE(delegate->completionError) << delegate->completionError->description();
        EXPECT_EQ(delegate->bodyText(), expected) << fromFile;
        EXPECT_EQ(delegate->sent, static_cast<int64_t>(payload.size()));
        EXPECT_EQ(task->countOfBytesExpectedToSend(), static_cast<int64_t>(payload.size()));
        EXPECT_EQ(delegate->events, (std::vector<std::string>{"sent", "response:200", "data", "complete"}));
    }
    EXPECT_EQ(server.requests().at(1).method, "PUT");
}

TEST_F(SessionTransferTest, UploadOfAMissingFileFails) {
    auto s = session();
    auto out = std::make_shared<std::optional<Error>>();
    bool done = false;
    s->uploadTask(URLRequest(url("/upload")), URL::file(AppHome::tmp() + "/missing.bin"),
                  [&](auto, auto, auto error) {
                      *out = error;
                      done = true;
                  })
        ->resume();
    ASSERT_TRUE(waitFor([&] { return done; }));
    ASSERT_TRUE(*out);
    EXPECT_EQ((*out)->code, NSURLErrorFileDoesNotExist);
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(SessionTransferTest, DownloadWritesAPrivateFileWithProgressAndKeepsItWhileTheTaskLives) {
    server.route("GET", "/file", Reply::generated(kDownloadSize));
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->implement({URLSessionSelector::didWriteData, URLSessionSelector::didFinishDownloadingToURL,
                         URLSessionSelector::didCompleteWithError, URLSessionSelector::didReceiveResponse});
    auto s = session(delegate);
    auto task = s->downloadTask(URLRequest(url("/file")));
    task->resume();
    ASSERT_TRUE(waitFor([&] { return delegate->completed; }));
    ASSERT_FALSE(delegate->completionError) << delegate->completionError->description();
    // Download tasks do not hear of the response: they get written data, then the file.
    EXPECT_EQ(delegate->events, (std::vector<std::string>{"write", "downloaded", "complete"}));
    EXPECT_EQ(delegate->written, static_cast<int64_t>(kDownloadSize));
    EXPECT_EQ(task->countOfBytesExpectedToReceive(), static_cast<int64_t>(kDownloadSize));
    EXPECT_TRUE(isGenerated(delegate->downloadedContents, kDownloadSize));

    const std::string path = delegate->downloadedTo->path();
    EXPECT_EQ(path.rfind(AppHome::tmp(), 0), 0u) << path;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    task.reset();
    Virtual::runUntilIdle();
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(SessionTransferTest, DownloadWithACompletionHandlerHandsOverTheFile) {
    server.route("GET", "/small", Reply::text(200, "small file"));
    auto s = session();
    std::optional<URL> location;
    std::string contents;
    bool done = false;
    auto task = s->downloadTask(URLRequest(url("/small")), [&](auto url, auto response, auto error) {
        EXPECT_FALSE(error);
        EXPECT_EQ(response->statusCode(), 200);
        location = url;
        std::ifstream in(url->path());
        contents.assign(std::istreambuf_iterator<char>(in), {});
        done = true;
    });
    task->resume();
    ASSERT_TRUE(waitFor([&] { return done; }));
    EXPECT_EQ(contents, "small file");
    EXPECT_TRUE(std::filesystem::exists(location->path())); // still there for the HTTP client to move
}

TEST_F(SessionTransferTest, DownloadOverItsCapFailsAsItArrivesAndLeavesNoFile) {
    // A validator would let the failure carry resume data and keep the partial file for it.
    server.route("GET", "/big", Reply::generated(300000).withHeader("ETag", "\"v1\""));
    server.route("GET", "/big-chunked", Reply::generated(300000, true).withHeader("ETag", "\"v1\""));
    struct Outcome {
        bool done = false;
        std::optional<URL> location;
        std::optional<Error> error;
        int64_t size = -1;
    };
    auto download = [&](const std::shared_ptr<URLSession>& s, const char* path) {
        auto out = std::make_shared<Outcome>();
        auto task = s->downloadTask(URLRequest(url(path)), [out](auto location, auto, auto error) {
            out->location = location;
            out->error = error;
            if (location)
                out->size = static_cast<int64_t>(std::filesystem::file_size(location->path()));
            out->done = true;
        });
        task->resume();
        EXPECT_TRUE(waitFor([&] { return out->done; })) << path;
        return *out;
    };
    auto capped = URLSessionConfiguration::ephemeral();
    capped.maximumDownloadBytes = 100000;
    auto s = session(nullptr, capped);
    for (const char* path : {"/big", "/big-chunked"}) {
        const Outcome out = download(s, path);
        ASSERT_TRUE(out.error) << path;
        EXPECT_EQ(out.error->code, NSURLErrorDataLengthExceedsMaximum) << path;
        EXPECT_FALSE(out.error->userInfoValue(NSURLSessionDownloadTaskResumeData)) << path;
        EXPECT_FALSE(out.location) << path;
    }
    const std::string folder = s->downloadFolder();
    EXPECT_TRUE(waitFor([&] { return std::filesystem::is_empty(folder); }))
        << "the partial file goes with its task";

    // The cap is the download's own: a session whose data tasks keep less still downloads the whole file.
    auto uncapped = URLSessionConfiguration::ephemeral();
    uncapped.maximumResponseBodyBytes = 100000;
    for (const char* path : {"/big", "/big-chunked"}) {
        const Outcome out = download(session(nullptr, uncapped), path);
        EXPECT_FALSE(out.error) << path;
        EXPECT_EQ(out.size, 300000) << path;
    }
}

TEST_F(SessionTransferTest, DownloadAfterTheTemporaryFolderWasClearedGetsANewFolder) {
    server.route("GET", "/small", Reply::text(200, "small file"));
    auto s = session();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        std::optional<Error> failure;
        std::string contents;
        bool done = false;
        auto task = s->downloadTask(URLRequest(url("/small")), [&](auto location, auto, auto error) {
            failure = error;
            if (location) {
                std::ifstream in(location->path());
                contents.assign(std::istreambuf_iterator<char>(in), {});
            }
            done = true;
        });
        task->resume();
        ASSERT_TRUE(waitFor([&] { return done; }));
        EXPECT_FALSE(failure) << failure->description();
        EXPECT_EQ(contents, "small file");
        std::filesystem::remove_all(s->downloadFolder()); // as when the system clears the temporary folder
    }
}

TEST_F(SessionTransferTest, StreamedBodyIsAskedForAgainAfterA307) {
    server.route("POST", "/moved", Reply::redirect(307, "/upload"));
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->implement({URLSessionSelector::needNewBodyStream, URLSessionSelector::didReceiveData,
                         URLSessionSelector::didCompleteWithError,
                         URLSessionSelector::willPerformHTTPRedirection});
    const Data payload = pattern(300000);
    int streams = 0;
    delegate->onNeedStream = [&] {
        ++streams;
        return InputStream::withData(payload);
    };
    auto s = session(delegate);
    URLRequest request(url("/moved"));
    request.setHTTPMethod("POST");
    s->uploadTaskWithStreamedRequest(request)->resume();
    ASSERT_TRUE(waitFor([&] { return delegate->completed; }));
    ASSERT_FALSE(delegate->completionError) << delegate->completionError->description();
    EXPECT_EQ(streams, 2);
    EXPECT_EQ(delegate->events, (std::vector<std::string>{"needNewBodyStream", "redirect:307",
                                                          "needNewBodyStream", "data", "complete"}));
    EXPECT_EQ(delegate->bodyText(), std::to_string(payload.size()) + " " + sha256Hex(payload));
    EXPECT_EQ(server.requests().at(0).header("transfer-encoding"), "chunked");
}

// The first send reads the file the task opened when it started; the resend must read it whole again, not
// carry on from where the first one stopped.
TEST_F(SessionTransferTest, FileBodyIsSentWholeAgainAfterA307) {
    server.route("POST", "/moved", Reply::redirect(307, "/upload"));
    const Data payload = pattern(300000);
    const std::string file = AppHome::tmp() + "/redirected.bin";
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
    }
    auto s = session();
    URLRequest request(url("/moved"));
    request.setHTTPMethod("POST");
    std::optional<Data> body;
    std::optional<Error> error;
    bool done = false;
    s->uploadTask(request, URL::file(file), [&](auto data, auto, auto e) {
         body = std::move(data);
         error = e;
         done = true;
     })->resume();
    ASSERT_TRUE(waitFor([&] { return done; }));
    ASSERT_FALSE(error) << error->description();
    EXPECT_EQ(std::string(body->begin(), body->end()), std::to_string(payload.size()) + " " + sha256Hex(payload));
    ASSERT_EQ(server.requestCount(), 2u);
    EXPECT_EQ(server.requests().at(0).bodySize, payload.size());
}

TEST_F(SessionTransferTest, AConsumedOrMissingBodyStreamFailsTheResend) {
    server.route("POST", "/moved", Reply::redirect(307, "/upload"));
    // The request's own stream serves the first send; without needNewBodyStream there is nothing to resend.
    auto s = session();
    URLRequest request(url("/moved"));
    request.setHTTPMethod("POST");
    request.setHTTPBodyStream(InputStream::withData(pattern(1000)));
    auto out = load(s, request);
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, NSURLErrorRequestBodyStreamExhausted);

    // A stream that was already read from cannot be sent at all.
    auto used = InputStream::withData(pattern(10));
    used->open();
    uint8_t byte;
    ASSERT_EQ(used->read(&byte, 1), 1);
    URLRequest direct(url("/upload"));
    direct.setHTTPMethod("POST");
    direct.setHTTPBodyStream(used);
    out = load(s, direct);
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, NSURLErrorRequestBodyStreamExhausted);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(SessionTransferTest, SuspendedTaskWaitsAndResumesWhereItStopped) {
    // The answer comes a moment after the request, so the task is suspended before any byte arrives.
    server.route("GET", "/file", Reply::generated(kBulkSize).after(std::chrono::milliseconds(200)));
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->implement({URLSessionSelector::didWriteData, URLSessionSelector::didFinishDownloadingToURL,
                         URLSessionSelector::didCompleteWithError});
    auto s = session(delegate);
    auto task = s->downloadTask(URLRequest(url("/file")));
    task->suspend(); // before it ever ran: nothing happens
    EXPECT_EQ(task->state(), URLSessionTaskState::suspended);
    Virtual::runUntil([] { return false; }, 0.1);
    EXPECT_EQ(server.requestCount(), 0u);

    task->resume();
    ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(10)));
    task->suspend();
    EXPECT_EQ(task->state(), URLSessionTaskState::suspended);
    Virtual::runUntil([] { return false; }, 0.6);
    EXPECT_EQ(delegate->written, 0);
    EXPECT_FALSE(delegate->completed);

    task->resume();
    ASSERT_TRUE(waitFor([&] { return delegate->completed; }));
    ASSERT_FALSE(delegate->completionError);
    EXPECT_TRUE(isGenerated(delegate->downloadedContents, kBulkSize));
}

TEST_F(SessionTransferTest, CancelledDownloadResumesFromItsResumeData) {
    constexpr uint64_t size = 4 * 1024 * 1024;
    // The route owns its copy of the payload: the server thread that streamed the first answer may still hold
    // it when the test ends, and nothing the thread sanitizer sees orders that thread before this one.
    auto payload = std::make_shared<std::string>(size, '\0');
    for (uint64_t i = 0; i < size; ++i)
        (*payload)[i] = devserver::generatedByte(i);
    const std::string& full = *payload;
    server.route("GET", "/resumable", [payload, size](const RecordedRequest& r) {
        const std::string& full = *payload;
        const std::string range = r.header("range");
        if (range.rfind("bytes=", 0) == 0 && r.header("if-range") == "\"v1\"") {
            const uint64_t from = std::stoull(range.substr(6));
            return Reply::text(206, full.substr(from), "application/octet-stream")
                .withHeader("ETag", "\"v1\"")
                .withHeader("Content-Range", "bytes " + std::to_string(from) + "-" +
                                                 std::to_string(size - 1) + "/" + std::to_string(size));
        }
        // Slow first answer, so the cancel lands mid-transfer.
        return Reply::stalled(size, full.substr(0, 100000)).withHeader("ETag", "\"v1\"");
    });
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->implement({URLSessionSelector::didWriteData, URLSessionSelector::didFinishDownloadingToURL,
                         URLSessionSelector::didCompleteWithError, URLSessionSelector::didResumeAtOffset});
    auto s = session(delegate);
    auto task = s->downloadTask(URLRequest(url("/resumable")));
    task->resume();
    ASSERT_TRUE(waitFor([&] { return delegate->written >= 100000; }));
    std::optional<Data> resumeData;
    bool answered = false;
    task->cancelByProducingResumeData([&](std::optional<Data> data) {
        resumeData = std::move(data);
        answered = true;
    });
    ASSERT_TRUE(waitFor([&] { return answered && delegate->completed; }));
    ASSERT_TRUE(resumeData);
    EXPECT_EQ(delegate->completionError->code, NSURLErrorCancelled);

    delegate->completed = false;
    delegate->events.clear();
    s->downloadTaskWithResumeData(*resumeData)->resume();
    ASSERT_TRUE(waitFor([&] { return delegate->completed; }));
    ASSERT_FALSE(delegate->completionError) << delegate->completionError->description();
    EXPECT_EQ(delegate->events.front(), "write");
    EXPECT_EQ(delegate->downloadedContents.size(), full.size());
    const auto second = server.requests().at(1);
    EXPECT_EQ(second.header("range"), "bytes=" + std::to_string(100000) + "-");
    EXPECT_EQ(second.header("if-range"), "\"v1\"");
    EXPECT_TRUE(delegate->downloadedContents == full);
}

} // namespace
} // namespace plat::test
