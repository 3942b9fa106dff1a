#include "Zavorida/Source/SessionManager.hpp"

#include <gtest/gtest.h>

#include <atomic>

#include "Zavorida/Source/ZVError.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Locale.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/Stream.hpp"
#include "platform/net/ScriptedTransport.hpp"
#include "platform/net/SimNetwork.hpp"
#include "testing/FixtureBundle.hpp"

#include <filesystem>
#include <unistd.h>

namespace Zavorida {
namespace {

using plat::Virtual;

// Retries every failure once per request, after `delay`.
struct RetryOnce : RequestRetrier {
    explicit RetryOnce(double delay) : delay(delay) {}
    void shouldRetry(SessionManager&, const std::shared_ptr<Request>& request, const AnyError& error,
                     Completion completion) override {
        errors.push_back(error);
        completion(request->retryCount() == 0, delay);
    }
    double delay;
    std::vector<AnyError> errors;
};

class SessionManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        script = &plat::sim::Network::useScripted();
        script->clearRequests();
        script->route("GET", "https://api.example.test/json",
                      plat::ScriptedReply::text(200, "{\"player-id\":\"p1\"}", "application/json"));
        script->route("GET", "https://api.example.test/flaky", [this](const plat::ScriptedRequest&) {
            return ++flakyCalls == 1 ? plat::ScriptedReply::error(plat::WireFailure::connectionLost)
                                     : plat::ScriptedReply::text(200, "second");
        });
        manager = SessionManager::make(plat::URLSessionConfiguration::ephemeral());
    }

    plat::ScriptedTransport* script = nullptr;
    std::shared_ptr<SessionManager> manager;
    int flakyCalls = 0;
};

TEST_F(SessionManagerTest, DataRequestRunsEndToEndAndLeavesTheDelegate) {
    std::vector<plat::Notification> completions;
    const auto token = plat::NotificationCenter::defaultCenter().addObserver(
        std::string(Notification::Name::Task::didComplete), nullptr, nullptr,
        [&](const plat::Notification& n) { completions.push_back(n); });

    std::optional<DataResponse<plat::Value>> record;
    auto request =
        manager->makeDataRequestToURL("https://api.example.test/json", HTTPMethod::get, plat::Dictionary{},
                                      URLEncoding(), HeaderDictionary{{"X-A", "1"}});
    EXPECT_EQ(manager->delegate()->requestCount(), 1u);
    request->addJSONResponseHandler(nullptr, 4, [&](const DataResponse<plat::Value>& r) { record = r; });
    Virtual::runUntilIdle();
    plat::NotificationCenter::defaultCenter().removeObserver(token);

    ASSERT_TRUE(record);
    EXPECT_EQ((*record->result().value())["player-id"].stringValue(), "p1");
    EXPECT_EQ(record->response()->statusCode(), 200);
    EXPECT_LE(record->timeline().requestStartTime(), record->timeline().requestCompletedTime());
    EXPECT_EQ(manager->delegate()->requestCount(), 0u);
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].object, manager->delegate().get());
    EXPECT_EQ(completions[0].userInfo.find(Notification::Key::responseData)->asData().size(), 18u);
    ASSERT_EQ(script->requests().size(), 1u);
}

TEST_F(SessionManagerTest, FailedRequestsCarryTheirErrorAndAreNeverRegistered) {
    std::optional<DefaultDataResponse> record;
    auto request = manager->makeDataRequestToURL("not a url");
    request->addResponseHandler(nullptr, [&](const DefaultDataResponse& r) { record = r; });
    Virtual::runUntilIdle();
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->error()->as<ZVError>()->isInvalidURL());
    EXPECT_FALSE(request->originalTask());
    EXPECT_FALSE(manager->retryRequest(request));
    EXPECT_EQ(manager->delegate()->requestCount(), 0u);
    EXPECT_TRUE(script->requests().empty());
}

TEST_F(SessionManagerTest, ARetriedTaskIsRegisteredOnceAndLeavesWhenItFinishes) {
    auto retrier = std::make_shared<RetryOnce>(0);
    manager->setRetrier(retrier);
    int resumes = 0;
    auto request = manager->makeDataRequestToURL("https://api.example.test/flaky");
    const auto token = plat::NotificationCenter::defaultCenter().addObserver(
        std::string(Notification::Name::Task::didResume), request.get(), nullptr,
        [&](const plat::Notification&) { ++resumes; });
    std::optional<DataResponse<std::string>> record;
    request->addStringResponseHandler(nullptr, std::nullopt,
                                      [&](const DataResponse<std::string>& r) { record = r; });
    Virtual::runUntilIdle();
    Virtual::advanceBy(0.1);
    Virtual::runUntilIdle();
    plat::NotificationCenter::defaultCenter().removeObserver(token);

    ASSERT_TRUE(record);
    EXPECT_EQ(*record->result().value(), "second");
    EXPECT_EQ(request->retryCount(), 1u);
    EXPECT_EQ(retrier->errors.size(), 1u);
    EXPECT_EQ(resumes, 0) << "a retried attempt posts no did-resume";
    EXPECT_EQ(flakyCalls, 2);
    EXPECT_EQ(manager->delegate()->requestCount(), 0u);
}

TEST_F(SessionManagerTest, AnAdapterFailureGoesToTheRetrierAndTheAdapterRunsAgain) {
    struct FailsOnce : RequestAdapter {
        plat::URLRequest adapt(plat::URLRequest request) override {
            if (++calls == 1) {
                throw plat::Error("adapter", 1);
            }
            return request;
        }
        int calls = 0;
    };
    auto adapter = std::make_shared<FailsOnce>();
    auto retrier = std::make_shared<RetryOnce>(0.5);
    manager->setAdapter(adapter);
    manager->setRetrier(retrier);
    std::optional<DataResponse<plat::Value>> record;
    auto request = manager->makeDataRequestToURL("https://api.example.test/json");
    request->addJSONResponseHandler(nullptr, 0, [&](const DataResponse<plat::Value>& r) { record = r; });
    Virtual::runUntilIdle();
    EXPECT_FALSE(request->task());
    EXPECT_FALSE(record);
    ASSERT_EQ(retrier->errors.size(), 1u);
    EXPECT_EQ(retrier->errors[0].platformError()->domain, "adapter")
        << "the retrier sees the adapter's own error";
    Virtual::advanceBy(0.5);
    Virtual::runUntilIdle();
    EXPECT_EQ(adapter->calls, 2);
    EXPECT_EQ(request->retryCount(), 1u);
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->result().isSuccess());
}

TEST_F(SessionManagerTest, StreamedUploadsSendTheStreamOnceAndFailWhenTheBodyIsNeededAgain) {
    script->route("POST", "https://api.example.test/upload", plat::ScriptedReply::text(200, "stored"));
    script->route("POST", "https://api.example.test/moved",
                  plat::ScriptedReply::redirect(307, "https://api.example.test/upload"));
    auto post = [](std::string url) {
        plat::URLRequest request(*plat::URL::parse(url));
        request.setHTTPMethod("POST");
        return request;
    };
    std::optional<DataResponse<std::string>> sent;
    manager
        ->makeStreamUploadRequest(plat::InputStream::withData({'a', 'b', 'c'}),
                                  post("https://api.example.test/upload"))
        ->addStringResponseHandler(nullptr, std::nullopt,
                                   [&](const DataResponse<std::string>& r) { sent = r; });
    Virtual::runUntilIdle();
    ASSERT_TRUE(sent);
    EXPECT_EQ(*sent->result().value(), "stored");
    ASSERT_EQ(script->requests().size(), 1u);
    EXPECT_EQ(script->requests()[0].body, (plat::Data{'a', 'b', 'c'}));

    // A 307 must send the body again; the stream was used up, so the upload fails rather than send less.
    std::optional<DataResponse<std::string>> resent;
    const auto stream = plat::InputStream::withData({'x'});
    const auto moved = manager->makeStreamUploadRequest(stream, post("https://api.example.test/moved"));
    moved->addStringResponseHandler(nullptr, std::nullopt,
                                    [&](const DataResponse<std::string>& r) { resent = r; });
    const auto provide = moved->delegate()->taskNeedNewBodyStream();
    ASSERT_TRUE(provide);
    EXPECT_EQ(provide(*manager->session(), moved->task()), stream);
    EXPECT_EQ(provide(*manager->session(), moved->task()), stream)
        << "the same stream every time it is asked";
    Virtual::runUntilIdle();
    ASSERT_TRUE(resent);
    ASSERT_TRUE(resent->result().isFailure());
    EXPECT_EQ(resent->result().error()->platformError()->code, -1021);
    EXPECT_EQ(script->requests().size(), 2u);
    EXPECT_EQ(manager->delegate()->requestCount(), 0u);
}

TEST_F(SessionManagerTest, DownloadsGoToTheirDestinationAndBuildFailuresCompleteAtOnce) {
    script->route("GET", "https://api.example.test/file", plat::ScriptedReply::text(200, "payload"));
    const auto folder =
        std::filesystem::temp_directory_path() / ("zavorida-mgr-dl-" + std::to_string(::getpid()));
    const auto target = plat::URL::file((folder / "out/file.txt").string());
    DownloadDestination destination = [&](const auto&, const auto&) {
        return DownloadDestinationResult{target, DownloadOptions::createIntermediateDirectories()};
    };
    std::optional<DownloadResponse<std::string>> record;
    manager
        ->makeDownloadRequest(plat::URLRequest(*plat::URL::parse("https://api.example.test/file")),
                              destination)
        ->addStringResponseHandler(nullptr, std::nullopt,
                                   [&](const DownloadResponse<std::string>& r) { record = r; });
    Virtual::runUntilIdle();
    ASSERT_TRUE(record);
    EXPECT_EQ(*record->result().value(), "payload");
    EXPECT_EQ(record->destinationURL(), target);
    std::filesystem::remove_all(folder);

    std::optional<DefaultDownloadResponse> failure;
    auto failed = manager->makeDownloadRequest(
        URLRequestConvertible([]() -> plat::URLRequest { throw plat::Error("build", 3); }), destination);
    failed->addResponseHandler(nullptr, [&](const DefaultDownloadResponse& r) { failure = r; });
    Virtual::runUntilIdle();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->error()->platformError()->domain, "build");
    EXPECT_FALSE(failed->task());
    EXPECT_FALSE(failed->request());
}

TEST_F(SessionManagerTest, TransfersWhoseURLRequestCannotBeBuiltFailAtOnceWithoutAnOrigin) {
    bool destinationAsked = false;
    DownloadDestination destination = [&](const auto&, const auto&) {
        destinationAsked = true;
        return DownloadDestinationResult{plat::URL::file("/nonexistent/x"), DownloadOptions{}};
    };
    plat::Dictionary unencodable;
    unencodable.set("blob", plat::Value(plat::Data{1, 2, 3}));
    const auto file = plat::URL::file("/nonexistent/upload.bin");
    struct Case {
        const char* name;
        std::function<std::shared_ptr<Request>()> make;
        bool invalidURL; // else the parameter encoding failed
    };
    const std::vector<Case> cases{
        {"download to an invalid URL",
         [&] {
             return manager->makeDownloadRequestToURL("not a url", HTTPMethod::get, std::nullopt,
                                                      URLEncoding(), std::nullopt, destination);
         },
         true},
        {"download whose parameters cannot be encoded",
         [&] {
             return manager->makeDownloadRequestToURL("https://api.example.test/file", HTTPMethod::post,
                                                      unencodable, JSONEncoding(), std::nullopt, destination);
         },
         false},
        {"download from a request that cannot be built",
         [&] {
             return manager->makeDownloadRequest(
                 URLRequestConvertible([]() -> plat::URLRequest { throw ZVError::invalidURL("built"); }),
                 destination);
         },
         true},
        {"file upload", [&] { return manager->makeFileUploadRequestToURL(file, "not a url"); }, true},
        {"data upload", [&] { return manager->makeDataUploadRequestToURL({'a'}, "not a url"); }, true},
        {"stream upload",
         [&] {
             return manager->makeStreamUploadRequestToURL(plat::InputStream::withData({'a'}), "not a url");
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto request = c.make();
        bool completed = false;
        request->delegate()->queue()->addOperationWithBlock([&] { completed = true; });
        Virtual::runUntilIdle();
        EXPECT_TRUE(completed) << "resumed at once";
        EXPECT_FALSE(request->originalTask()) << "nothing a retry could make a task from";
        EXPECT_FALSE(request->task());
        ASSERT_TRUE(request->delegate()->error());
        const auto* error = request->delegate()->error()->as<ZVError>();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->isInvalidURL(), c.invalidURL);
        EXPECT_EQ(error->isParameterEncodingFailure(), !c.invalidURL);
        if (const auto download = std::dynamic_pointer_cast<DownloadTaskDelegate>(request->delegate())) {
            EXPECT_TRUE(download->destination()) << "a failed download keeps its destination";
        }
        EXPECT_FALSE(manager->retryRequest(request));
    }
    EXPECT_FALSE(destinationAsked);
    EXPECT_EQ(manager->delegate()->requestCount(), 0u);
    EXPECT_TRUE(script->requests().empty());
}

TEST_F(SessionManagerTest, ADownloadResumedFromResumeDataKeepsItSoARetryResumesFromItAgain) {
    manager->setStartRequestsImmediately(false);
    const plat::Data resumeData{'{', '}'};
    const auto request = manager->makeResumedDownloadRequest(resumeData);
    const auto* origin = dynamic_cast<const Downloadable*>(request->originalTask().get());
    ASSERT_TRUE(origin);
    ASSERT_TRUE(std::holds_alternative<plat::Data>(origin->value));
    EXPECT_EQ(std::get<plat::Data>(origin->value), resumeData);
    const auto first = request->task();
    ASSERT_TRUE(first);

    ASSERT_TRUE(manager->retryRequest(request));
    EXPECT_NE(request->task(), first);
    EXPECT_TRUE(std::dynamic_pointer_cast<plat::URLSessionDownloadTask>(request->task()));
    EXPECT_EQ(request->retryCount(), 1u);
    EXPECT_EQ(request->originalTask().get(), origin) << "the same origin for every attempt";
    request->cancel();
    Virtual::runUntilIdle();
}

TEST_F(SessionManagerTest, StreamRequestsToAHostOrAResolvedServiceAreRegisteredAndIgnoreTheAdapter) {
    struct Throws : RequestAdapter {
        plat::URLRequest adapt(plat::URLRequest) override { throw plat::Error("adapter", 1); }
    };
    manager->setAdapter(std::make_shared<Throws>());
    NetService service{"local.", "_portal._tcp.", "Printer", std::string("printer.example.test"), 6310};

    struct Case {
        const char* name;
        std::function<std::shared_ptr<StreamRequest>()> make;
        std::string host;
        int port;
    };
    const std::vector<Case> cases{
        {"host and port", [&] { return manager->makeStreamRequestToHost("chat.example.test", 5222); },
         "chat.example.test", 5222},
        {"resolved service", [&] { return manager->makeStreamRequestToService(service); },
         "printer.example.test", 6310},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto request = c.make();
        EXPECT_EQ(manager->delegate()->requestCount(), 1u);
        const auto task = std::dynamic_pointer_cast<plat::URLSessionStreamTask>(request->task());
        ASSERT_TRUE(task);
        EXPECT_EQ(task->host(), c.host);
        EXPECT_EQ(task->port(), c.port);
        EXPECT_EQ(task->state(), plat::URLSessionTaskState::running);
        ASSERT_TRUE(request->originalTask());
        EXPECT_FALSE(request->delegate()->error());
        request->cancel();
        Virtual::runUntilIdle();
        EXPECT_EQ(manager->delegate()->requestCount(), 0u);
    }
}

TEST_F(SessionManagerTest, AStreamRequestToAnUnresolvedServiceFailsAtOnceAndIsNotOfferedToTheRetrier) {
    auto retrier = std::make_shared<RetryOnce>(0);
    manager->setRetrier(retrier);
    const auto request =
        manager->makeStreamRequestToService(NetService{"local.", "_portal._tcp.", "Gone", std::nullopt, -1});
    bool completed = false;
    request->delegate()->queue()->addOperationWithBlock([&] { completed = true; });
    Virtual::runUntilIdle();

    EXPECT_TRUE(completed);
    EXPECT_FALSE(request->task());
    EXPECT_FALSE(request->originalTask());
    ASSERT_TRUE(request->delegate()->error());
    ASSERT_TRUE(request->delegate()->error()->platformError());
    EXPECT_EQ(request->delegate()->error()->platformError()->code, -1003);
    EXPECT_TRUE(retrier->errors.empty());
    EXPECT_EQ(manager->delegate()->requestCount(), 0u);

    // Not started on its own when the manager leaves starting to the caller.
    manager->setStartRequestsImmediately(false);
    completed = false;
    manager->makeStreamRequestToService(NetService{})->delegate()->queue()->addOperationWithBlock([&] {
        completed = true;
    });
    Virtual::runUntilIdle();
    EXPECT_FALSE(completed);
}

TEST_F(SessionManagerTest, TheSharedManagersStreamFunctionsRegisterWithIt) {
    const auto toHost = streamWithDefaultSessionToHost("chat.example.test", 5222);
    const auto toService = streamWithDefaultSessionToService(
        NetService{"local.", "_chat._tcp.", "Chat", std::string("chat.example.test"), 5223});
    EXPECT_EQ(toHost->session(), SessionManager::shared().session());
    EXPECT_EQ(toService->session(), SessionManager::shared().session());
    EXPECT_EQ(SessionManager::shared().delegate()->requestCount(), 2u);
    toHost->cancel();
    toService->cancel();
    Virtual::runUntilIdle();
    EXPECT_EQ(SessionManager::shared().delegate()->requestCount(), 0u);
}

TEST_F(SessionManagerTest, StandardHeaderValues) {
    plat::sim::LocaleSettings::setPreferredLanguages({"en-US", "de", "fr", "it", "es", "nl", "sv"});
    EXPECT_EQ(SessionManager::acceptLanguageValue(),
              "en-US;q=1.0, de;q=0.9, fr;q=0.8, it;q=0.7, es;q=0.6, nl;q=0.5");
    plat::sim::LocaleSettings::setPreferredLanguages({"pt"});
    EXPECT_EQ(SessionManager::acceptLanguageValue(), "pt;q=1.0");

    plat::sim::Process::setOperatingSystemVersion({12, 1, 0});
    const auto folder =
        std::filesystem::temp_directory_path() / ("zavorida-ua-" + std::to_string(::getpid()));
    plat::Dictionary info;
    info.set("CFBundleExecutable", plat::Value("Portal"));
    info.set("CFBundleIdentifier", plat::Value("org.example.portal"));
    info.set("CFBundleVersion", plat::Value(int64_t{42}));
    plat::test::FixtureBundle(folder.string(), info).makeMain();
    const auto userAgent = SessionManager::userAgentValue();
    EXPECT_EQ(userAgent.substr(0, userAgent.find(')') + 1),
              "Portal/Unknown (org.example.portal; build:Unknown; iOS 12.1.0)");
    std::filesystem::remove_all(folder);

    const auto headers = SessionManager::standardHeaders();
    EXPECT_EQ(headers.at("Accept-Encoding"), "gzip;q=1.0, compress;q=0.5");
    EXPECT_EQ(headers.size(), 3u);
    EXPECT_NE(SessionManager::make()->queue()->label(), SessionManager::make()->queue()->label());
}

TEST(SessionDelegateTest, RespondsOnlyToOverriddenOptionalCallbacks) {
    namespace sel = plat::URLSessionSelector;
    const std::string_view streamSelectors[] = {sel::readClosedForStreamTask, sel::writeClosedForStreamTask,
                                                sel::betterRouteDiscoveredForStreamTask,
                                                sel::didBecomeInputStream};
    // From OS 9 the stream callbacks are hidden until overridden; before it they answer like every
    // callback the delegate implements.
    for (const char* version : {"8.4.1", "9.0", "12.4"}) {
        SCOPED_TRACE(version);
        plat::sim::Process::setOperatingSystemVersion(*plat::OperatingSystemVersion::parse(version));
        const bool hidesStreams = std::string_view(version) != "8.4.1";
        SessionDelegate delegate;
        for (const auto selector : {sel::didBecomeInvalidWithError, sel::didReceiveChallenge,
                                    sel::didFinishEventsForBackgroundURLSession,
                                    sel::willPerformHTTPRedirection, sel::didReceiveResponse}) {
            EXPECT_FALSE(delegate.respondsTo(selector)) << selector;
        }
        for (const auto selector : streamSelectors) {
            EXPECT_EQ(delegate.respondsTo(selector), !hidesStreams) << selector;
        }
        for (const auto selector :
             {sel::didCompleteWithError, sel::didReceiveData, sel::didFinishCollectingMetrics,
              sel::willCacheResponse, sel::taskDidReceiveChallenge, sel::needNewBodyStream,
              sel::didSendBodyData, sel::didBecomeDownloadTask, sel::didFinishDownloadingToURL,
              sel::didWriteData, sel::didResumeAtOffset}) {
            EXPECT_TRUE(delegate.respondsTo(selector)) << selector;
        }
        delegate.setTaskWillPerformHTTPRedirectionWithCompletion(
            [](auto&, const auto&, const auto&, const auto&, auto completion) { completion(std::nullopt); });
        delegate.setStreamTaskReadClosed([](auto&, const auto&) {});
        delegate.setStreamTaskDidBecomeInputStream([](auto&, const auto&, auto, auto) {});
        EXPECT_TRUE(delegate.respondsTo(sel::willPerformHTTPRedirection));
        EXPECT_TRUE(delegate.respondsTo(sel::readClosedForStreamTask));
        EXPECT_TRUE(delegate.respondsTo(sel::didBecomeInputStream));
        EXPECT_EQ(delegate.respondsTo(sel::writeClosedForStreamTask), !hidesStreams);
    }
}

TEST_F(SessionManagerTest, WillCacheResponseGoesThroughOverridesThenTheTaskDelegate) {
    auto configuration = plat::URLSessionConfiguration::ephemeral();
    configuration.urlCache = std::make_shared<plat::URLCache>();
    auto caching = SessionManager::make(configuration);
    const auto delegate = caching->delegate();
    auto& session = *caching->session();
    auto request = caching->makeDataRequestToURL("https://api.example.test/json");
    Virtual::runUntilIdle();
    const auto task = request->task();
    ASSERT_TRUE(task && task->response());
    EXPECT_EQ(configuration.urlCache->count(), 1u) << "nothing set: the proposal is cached";
    const auto cached = configuration.urlCache->cachedResponse(*request->request());
    ASSERT_TRUE(cached);
    EXPECT_EQ(std::string(cached->data.begin(), cached->data.end()), "{\"player-id\":\"p1\"}");

    const plat::CachedURLResponse proposed{
        task->response(), {'x'}, std::nullopt, plat::URLCacheStoragePolicy::allowed};
    std::vector<std::string> calls;
    std::optional<std::optional<plat::CachedURLResponse>> answer;
    const auto ask = [&] {
        answer.reset();
        delegate->willCacheResponse(session, task, proposed,
                                    [&](auto cachedAnswer) { answer = cachedAnswer; });
    };
    ask();
    ASSERT_TRUE(answer && *answer) << "an unregistered task: the proposal";

    // The task delegate's own closure answers for a registered request.
    auto registered =
        caching->makeDataRequest(plat::URLRequest(*plat::URL::parse("https://api.example.test/x")));
    const auto registeredTask = registered->task();
    std::static_pointer_cast<DataTaskDelegate>(registered->delegate())
        ->setDataTaskWillCacheResponse([&](auto&, const auto&, const auto&) {
            calls.push_back("task delegate");
            return std::optional<plat::CachedURLResponse>();
        });
    answer.reset();
    delegate->willCacheResponse(session, registeredTask, proposed, [&](auto a) { answer = a; });
    ASSERT_TRUE(answer);
    EXPECT_FALSE(*answer);

    delegate->setDataTaskWillCacheResponse([&](auto&, const auto&, const auto& offered) {
        calls.push_back("plain");
        return std::optional<plat::CachedURLResponse>(offered);
    });
    answer.reset();
    delegate->willCacheResponse(session, registeredTask, proposed, [&](auto a) { answer = a; });
    ASSERT_TRUE(answer && *answer);
    delegate->setDataTaskWillCacheResponseWithCompletion(
        [&](auto&, const auto&, const auto&, auto completion) {
            calls.push_back("with completion");
            completion(std::nullopt);
        });
    answer.reset();
    delegate->willCacheResponse(session, registeredTask, proposed, [&](auto a) { answer = a; });
    ASSERT_TRUE(answer);
    EXPECT_FALSE(*answer);
    EXPECT_EQ(calls, (std::vector<std::string>{"task delegate", "plain", "with completion"}));
    registered->cancel();
    Virtual::runUntilIdle();
}

TEST(SessionDelegateTest, OverridesWinOverDefaults) {
    plat::sim::Network::useScripted();
    auto delegate = std::make_shared<SessionDelegate>();
    auto session = plat::URLSession::make(plat::URLSessionConfiguration::ephemeral(), delegate);
    auto task = session->dataTask(*plat::URL::parse("https://api.example.test/x"));
    const plat::HTTPURLResponse response(*plat::URL::parse("https://api.example.test/x"), 302, "HTTP/1.1",
                                         {});
    const plat::URLRequest proposed(*plat::URL::parse("https://api.example.test/y"));

    std::optional<std::optional<plat::URLRequest>> followed;
    delegate->willPerformHTTPRedirection(*session, task, response, proposed, [&](auto r) { followed = r; });
    EXPECT_TRUE(*followed);
    bool plainCalled = false;
    delegate->setTaskWillPerformHTTPRedirection([&](auto&, const auto&, const auto&, const auto&) {
        plainCalled = true;
        return std::optional<plat::URLRequest>();
    });
    delegate->willPerformHTTPRedirection(*session, task, response, proposed, [&](auto r) { followed = r; });
    EXPECT_FALSE(*followed);
    delegate->setTaskWillPerformHTTPRedirectionWithCompletion(
        [&](auto&, const auto&, const auto&, const auto& r, auto completion) { completion(r); });
    plainCalled = false;
    delegate->willPerformHTTPRedirection(*session, task, response, proposed, [&](auto r) { followed = r; });
    EXPECT_TRUE(*followed);
    EXPECT_FALSE(plainCalled) << "the completion variant wins";

    // A task nobody registered: the completion path still calls taskDidComplete and posts.
    std::vector<std::string> order;
    delegate->setTaskDidComplete([&](auto&, const auto&, const auto&) { order.push_back("override"); });
    const auto token = plat::NotificationCenter::defaultCenter().addObserver(
        std::string(Notification::Name::Task::didComplete), nullptr, nullptr,
        [&](const plat::Notification& n) {
            order.push_back("posted");
            EXPECT_FALSE(n.userInfo.contains(Notification::Key::responseData));
            EXPECT_TRUE(n.userInfo.contains(Notification::Key::task));
        });
    delegate->didCompleteWithError(*session, task, std::nullopt);
    plat::NotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_EQ(order, (std::vector<std::string>{"override", "posted"}));
    session->invalidateAndCancel();
}

} // namespace
} // namespace Zavorida
