#include "Zavorida/Source/Request.hpp"

#include <gtest/gtest.h>

#include "Zavorida/Source/ZVError.hpp"
#include "Zavorida/Source/SessionDelegate.hpp"

#include "Zavorida/Source/RequestBuilding.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/net/ScriptedTransport.hpp"
#include "platform/net/SimNetwork.hpp"
#include "testing/TempAppHome.hpp"
#include <filesystem>
#include <unistd.h>

namespace Zavorida {
namespace {

using plat::Virtual;

plat::URLRequest get(std::string url) {
    return plat::URLRequest(*plat::URL::parse(url));
}

class RequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        plat::sim::Network::useScripted().route(
            "", "https://api.example.test/",
            plat::ScriptedReply::text(200, "{\"ok\":true}", "application/json"));
        session = plat::URLSession::make(plat::URLSessionConfiguration::ephemeral());
    }
    void TearDown() override { session->invalidateAndCancel(); }

    std::shared_ptr<DataRequest> dataRequest(std::string url = "https://api.example.test/a") {
        auto original = std::make_shared<Requestable>(get(url));
        auto task = original->makeTask(*session, nullptr, queue);
        return Request::make<DataRequest>(session, {Request::TaskKind::data, original, task});
    }

    std::shared_ptr<plat::URLSession> session;
    plat::DispatchQueuePtr queue = plat::DispatchQueue::makeSerial("org.zavorida.test.manager");
};

TEST_F(RequestTest, HandlersRunInOrderAfterTheEndTimeStampOnTheirQueues) {
    auto request = dataRequest();
    std::vector<std::string> events;
    const auto own = plat::DispatchQueue::makeSerial("own");
    request->addResponseHandler(nullptr, [&](const DefaultDataResponse& record) {
        EXPECT_TRUE(plat::DispatchQueue::main()->isCurrent());
        EXPECT_TRUE(request->endTime());
        EXPECT_EQ(record.data(), plat::Data({'h', 'i'}));
        events.push_back("default");
    });
    request->addJSONResponseHandler(own, 4, [&](const DataResponse<plat::Value>& record) {
        EXPECT_EQ(plat::DispatchQueue::currentLabel(), "own");
        const auto failure = record.result().error();
        ASSERT_TRUE(failure);
        EXPECT_TRUE(failure->as<ZVError>()->isResponseSerializationFailure());
        events.push_back("json");
    });
    request->addStringResponseHandler(nullptr, plat::UTF8StringEncoding,
                                      [&](const DataResponse<std::string>& record) {
                                          EXPECT_EQ(*record.result().value(), "hi");
                                          // No first response was recorded before this one's data: latency
                                          // counts from the first received bytes.
                                          EXPECT_GE(record.timeline().requestDuration(), 0);
                                          events.push_back("string");
                                      });
    Virtual::runUntilIdle();
    EXPECT_TRUE(events.empty()) << "handlers wait for the task to complete";

    const auto delegate = std::static_pointer_cast<DataTaskDelegate>(request->delegate());
    delegate->didReceiveData(*session, request->task(), {'h', 'i'});
    delegate->didCompleteWithError(*session, request->task(), std::nullopt);
    EXPECT_TRUE(events.empty()) << "completions are never synchronous";
    Virtual::runUntilIdle();
    EXPECT_EQ(events, (std::vector<std::string>{"default", "json", "string"}));

    // A handler added after completion delivers without further network activity.
    bool late = false;
    request->addDataResponseHandler(nullptr, [&](const DataResponse<plat::Data>& record) {
        late = true;
        EXPECT_EQ(*record.result().value(), plat::Data({'h', 'i'}));
    });
    Virtual::runUntilIdle();
    EXPECT_TRUE(late);
}

TEST_F(RequestTest, WithoutATaskResumeOnlyReleasesTheHandlersWithTheStoredError) {
    auto request = Request::make<DataRequest>(session, {Request::TaskKind::data, nullptr, nullptr},
                                              AnyError(ZVError::invalidURL(std::string("not a url"))));
    int posted = 0;
    const auto token = plat::NotificationCenter::defaultCenter().addObserver(
        std::nullopt, request.get(), nullptr, [&](const plat::Notification&) { ++posted; });
    std::optional<DefaultDataResponse> record;
    request->addResponseHandler(nullptr, [&](const DefaultDataResponse& r) { record = r; });
    request->suspend();
    request->cancel();
    request->resume();
    Virtual::runUntilIdle();
    plat::NotificationCenter::defaultCenter().removeObserver(token);
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->error()->as<ZVError>()->isInvalidURL());
    EXPECT_FALSE(request->startTime());
    EXPECT_TRUE(request->endTime());
    EXPECT_EQ(posted, 0);
    EXPECT_EQ(request->description(), "");
    // No first response: latency equals the request duration.
    EXPECT_EQ(record->timeline().latency(), record->timeline().requestDuration());
}

TEST_F(RequestTest, ResumeKeepsTheFirstStartTimeAndPostsEachTime) {
    auto request = dataRequest();
    std::vector<std::string> names;
    std::vector<std::uint64_t> tasks;
    const auto token = plat::NotificationCenter::defaultCenter().addObserver(
        std::nullopt, request.get(), nullptr, [&](const plat::Notification& n) {
            names.push_back(n.name);
            tasks.push_back(n.userInfo.find(Notification::Key::task)->unsignedLongLongValue());
        });
    request->resume();
    const auto first = request->startTime();
    ASSERT_TRUE(first);
    Virtual::advanceBy(1);
    request->suspend();
    request->resume();
    request->cancel();
    plat::NotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_EQ(request->startTime(), first);
    EXPECT_EQ(names, (std::vector<std::string>{
                         Notification::Name::Task::didResume, Notification::Name::Task::didSuspend,
                         Notification::Name::Task::didResume, Notification::Name::Task::didCancel}));
    for (const auto id : tasks) {
        EXPECT_EQ(id, request->task()->taskIdentifier());
    }
}

TEST_F(RequestTest, DescriptionAndAuthorizationHeader) {
    auto request = dataRequest("https://api.example.test/items?q=1");
    EXPECT_EQ(request->description(), "GET https://api.example.test/items?q=1");
    request->resume();
    Virtual::runUntilIdle();
    EXPECT_EQ(request->description(), "GET https://api.example.test/items?q=1 (200)");

    EXPECT_EQ(Request::authorizationHeader("", "")->second, "Basic Og==");
    EXPECT_EQ(*Request::authorizationHeader("user", "p\xC3\xA4ss"),
              std::make_pair(std::string("Authorization"), std::string("Basic dXNlcjpww6Rzcw==")));
    EXPECT_FALSE(Request::authorizationHeader("\xFF", "x"));

    request->authenticate("u", "p");
    EXPECT_EQ(request->delegate()->credential()->user(), "u");
}

TEST_F(RequestTest, DebugDescriptionIsARunnableCurlCommand) {
    auto configuration = plat::URLSessionConfiguration::ephemeral();
    configuration.urlCredentialStorage = nullptr;
    configuration.httpCookieStorage = nullptr;
    configuration.httpAdditionalHeaders.set("Cookie", plat::Value("from-config=1"));
    auto bare = plat::URLSession::make(configuration);
    const auto describe = [&](plat::URLRequest urlRequest) {
        auto original = std::make_shared<Requestable>(std::move(urlRequest));
        return Request::make<DataRequest>(bare, {Request::TaskKind::data, original, nullptr})
            ->debugDescription();
    };

    EXPECT_EQ(describe(get("https://api.example.test/a?b=1")),
              "$ curl -v \\\n\t\"https://api.example.test/a?b=1\"");

    auto post = get("https://api.example.test/register");
    post.setHTTPMethod("POST");
    (void)post.setValue("application/json", "Content-Type");
    (void)post.setValue("say \"hi\"", "cookie");
    const std::string body = "{\"player-id\":\"a\\\"b\"}";
    post.setHTTPBody(plat::Data(body.begin(), body.end()));
    EXPECT_EQ(describe(post), "$ curl -v \\\n\t"
                              "-X POST \\\n\t"
                              "-H \"Content-Type: application/json\" \\\n\t"
                              "-H \"cookie: say \\\"hi\\\"\" \\\n\t"
                              "-d \"{\\\"player-id\\\":\\\"a\\\\\\\"b\\\"}\" \\\n\t"
                              "\"https://api.example.test/register\"");

    auto lower = get("https://api.example.test/a");
    lower.setHTTPMethod("get");
    EXPECT_NE(describe(lower).find("-X get"), std::string::npos);
    auto withCookie = get("https://api.example.test/a");
    (void)withCookie.setValue("secret", "Cookie");
    EXPECT_EQ(describe(withCookie).find("secret"), std::string::npos);
    EXPECT_EQ(describe(plat::URLRequest(plat::URL::file("/tmp/x"))), "$ curl command could not be created");
    bare->invalidateAndCancel();
}

TEST_F(RequestTest, AdapterFailuresComeBackAsAdaptErrorsAndMakeNoTask) {
    struct Failing : RequestAdapter {
        plat::URLRequest adapt(plat::URLRequest) override { throw plat::Error("adapter", 7); }
    };
    struct Tagging : RequestAdapter {
        plat::URLRequest adapt(plat::URLRequest request) override {
            request.setValue("yes", "X-Adapted");
            return request;
        }
    };
    const Requestable original(get("https://api.example.test/a"));
    try {
        (void)original.makeTask(*session, std::make_shared<Failing>(), queue);
        FAIL() << "expected an AdaptError";
    } catch (const AdaptError& error) {
        EXPECT_EQ(error.error().platformError()->code, 7);
    }
    const auto task = original.makeTask(*session, std::make_shared<Tagging>(), queue);
    EXPECT_EQ(task->originalRequest()->value("X-Adapted"), "yes");

    // A download made from resume data has no URL request of its own.
    const auto fromResumeData = std::make_shared<Downloadable>(Downloadable::resumeData({1, 2}));
    auto download =
        Request::make<DownloadRequest>(session, {Request::TaskKind::download, fromResumeData, nullptr});
    EXPECT_FALSE(download->request());
    download->cancel();
    EXPECT_FALSE(download->resumeData());
}

TEST(DownloadRequestTest, SuggestedDestinationIsTheSuggestedNameInTheDirectory) {
    plat::test::TempAppHome home;
    const auto temporary = plat::URL::file(plat::AppHome::tmp() + "/CFNetworkDownload_1.tmp");
    const plat::HTTPURLResponse plain(*plat::URL::parse("https://api.example.test/files/report.pdf?v=2"), 200,
                                      "HTTP/1.1", {});
    const plat::HTTPURLResponse named(*plat::URL::parse("https://api.example.test/download"), 200, "HTTP/1.1",
                                      {{"Content-Disposition", "attachment; filename=\"../../evil.txt\""}});
    struct Case {
        const char* name;
        plat::SearchPathDirectory directory;
        int domain;
        const plat::HTTPURLResponse& response;
        std::string expected;
    };
    const Case cases[] = {
        {"last path component", plat::SearchPathDirectory::Document, plat::UserDomainMask, plain,
         plat::AppHome::documents() + "/report.pdf"},
        {"the server's file name, without its folders", plat::SearchPathDirectory::Caches,
         plat::UserDomainMask, named, plat::AppHome::caches() + "/evil.txt"},
        {"no folder in the domain: the file stays", plat::SearchPathDirectory::Document, 0, plain,
         temporary.path()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto destination = DownloadRequest::suggestedDestination(c.directory, c.domain);
        const auto result = destination(temporary, c.response);
        EXPECT_EQ(result.destinationURL.path(), c.expected);
        EXPECT_TRUE(result.destinationURL.isFileURL());
        EXPECT_TRUE(result.options.isEmpty());
    }
}

TEST_F(RequestTest, DownloadHandlersReadTheDestinationFile) {
    auto delegate = std::make_shared<SessionDelegate>();
    auto session = plat::URLSession::make(plat::URLSessionConfiguration::ephemeral(), delegate);
    const auto folder =
        std::filesystem::temp_directory_path() / ("zavorida-dl-" + std::to_string(::getpid()));
    const auto target = plat::URL::file((folder / "saved/body.json").string());
    const auto download = [&](bool withDestination) {
        auto original =
            std::make_shared<Downloadable>(Downloadable::request(get("https://api.example.test/file")));
        auto request = Request::make<DownloadRequest>(
            session, {Request::TaskKind::download, original, original->makeTask(*session, nullptr, nullptr)});
        if (withDestination) {
            std::static_pointer_cast<DownloadTaskDelegate>(request->delegate())
                ->setDestination([&](const auto&, const auto&) {
                    return DownloadDestinationResult{target,
                                                     DownloadOptions::createIntermediateDirectories() |
                                                         DownloadOptions::removeExistingFile()};
                });
        }
        delegate->setRequest(*request->task(), request);
        return request;
    };

    std::optional<DownloadResponse<plat::Value>> saved;
    std::optional<DefaultDownloadResponse> raw;
    auto moved = download(true);
    moved->addJSONResponseHandler(nullptr, 0, [&](const DownloadResponse<plat::Value>& r) { saved = r; })
        ->addResponseHandler(nullptr, [&](const DefaultDownloadResponse& r) { raw = r; });
    moved->resume();
    Virtual::runUntilIdle();
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->destinationURL(), target);
    EXPECT_TRUE((*saved->result().value())["ok"].boolValue()) << saved->debugDescription();
    ASSERT_TRUE(raw);
    EXPECT_FALSE(raw->error());
    EXPECT_EQ(delegate->requestCount(), 0u);

    // Without a destination the serializer reads the temporary file.
    std::optional<DownloadResponse<std::string>> text;
    auto kept = download(false);
    kept->addStringResponseHandler(nullptr, std::nullopt,
                                   [&](const DownloadResponse<std::string>& r) { text = r; });
    kept->resume();
    Virtual::runUntilIdle();
    ASSERT_TRUE(text);
    EXPECT_FALSE(text->destinationURL());
    EXPECT_TRUE(text->temporaryURL());
    std::filesystem::remove_all(folder);
    session->invalidateAndCancel();
}

} // namespace
} // namespace Zavorida
