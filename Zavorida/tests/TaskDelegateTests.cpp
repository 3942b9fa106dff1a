#include "Zavorida/Source/TaskDelegate.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include "Zavorida/Source/ServerTrustPolicy.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/net/ScriptedTransport.hpp"
#include "platform/net/SimNetwork.hpp"
#include "platform/net/URLSession.hpp"

namespace Zavorida {
namespace {

using Disposition = plat::URLSessionAuthChallengeDisposition;
using plat::Virtual;

class TaskDelegateTest : public ::testing::Test {
protected:
    void SetUp() override {
        script = &plat::sim::Network::useScripted();
        script->route("GET", "https://api.example.test/sized",
                      plat::ScriptedReply::text(200, "0123456789").withHeader("Content-Length", "10"));
        session = plat::URLSession::make(plat::URLSessionConfiguration::ephemeral());
    }
    void TearDown() override { session->invalidateAndCancel(); }

    // A task that has been answered, so that it has a response.
    std::shared_ptr<plat::URLSessionTask> answeredTask() {
        auto task = session->dataTask(*plat::URL::parse("https://api.example.test/sized"));
        task->resume();
        Virtual::runUntilIdle();
        EXPECT_TRUE(task->response());
        return task;
    }
    std::shared_ptr<plat::URLSessionTask> idleTask() {
        return session->dataTask(*plat::URL::parse("https://api.example.test/idle"));
    }

    plat::ScriptedTransport* script = nullptr;
    std::shared_ptr<plat::URLSession> session;
};

TEST_F(TaskDelegateTest, QueueStaysSuspendedUntilCompletionAndKeepsTheFirstError) {
    auto task = idleTask();
    TaskDelegate delegate(task);
    std::vector<int> ran;
    delegate.queue()->addOperationWithBlock([&] { ran.push_back(1); });
    Virtual::runUntilIdle();
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ(delegate.queue()->maxConcurrentOperationCount(), 1);
    EXPECT_EQ(delegate.queue()->qualityOfService(), plat::QoS::utility);

    delegate.setError(AnyError(plat::Error("creation", 1)));
    delegate.didCompleteWithError(*session, task, plat::Error("NSURLErrorDomain", -1001));
    Virtual::runUntilIdle();
    EXPECT_EQ(ran, std::vector<int>{1});
    EXPECT_EQ(delegate.error()->platformError()->domain, "creation");
    // Once released the queue runs new operations at once.
    delegate.queue()->addOperationWithBlock([&] { ran.push_back(2); });
    Virtual::runUntilIdle();
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

TEST_F(TaskDelegateTest, CompletionOverrideReplacesTheDefaultAndKeepsTheQueueSuspended) {
    auto task = idleTask();
    TaskDelegate delegate(task);
    bool ran = false;
    int overrideCalls = 0;
    delegate.queue()->addOperationWithBlock([&] { ran = true; });
    delegate.setTaskDidCompleteWithError([&](plat::URLSession&, const auto&, const auto& error) {
        ++overrideCalls;
        EXPECT_EQ(error->code, -1);
    });
    delegate.didCompleteWithError(*session, task, plat::Error("NSURLErrorDomain", -1));
    Virtual::runUntilIdle();
    EXPECT_EQ(overrideCalls, 1);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(delegate.error());
}

TEST_F(TaskDelegateTest, ReceivedDataIsBufferedOrStreamedAndCounted) {
    auto task = answeredTask();
    DataTaskDelegate buffered(task);
    std::vector<std::int64_t> reported;
    buffered.setProgressHandler(
        ProgressHandler{[&](const ProgressPtr& p) { reported.push_back(p->completedUnitCount()); },
                        plat::DispatchQueue::main()});
    buffered.didReceiveData(*session, task, {'a', 'b'});
    const auto first = buffered.initialResponseTime();
    ASSERT_TRUE(first);
    buffered.didReceiveData(*session, task, {'c'});
    EXPECT_EQ(buffered.initialResponseTime(), first);
    EXPECT_EQ(buffered.data(), (plat::Data{'a', 'b', 'c'}));
    EXPECT_EQ(buffered.progress()->totalUnitCount(), task->response()->expectedContentLength());
    EXPECT_EQ(buffered.progress()->completedUnitCount(), 3);
    EXPECT_TRUE(reported.empty()) << "progress is reported asynchronously";
    Virtual::runUntilIdle();
    EXPECT_EQ(reported, (std::vector<std::int64_t>{3, 3}));

    auto unanswered = idleTask();
    DataTaskDelegate streamed(unanswered);
    plat::Data chunks;
    streamed.setDataStream([&](const plat::Data& d) { chunks.insert(chunks.end(), d.begin(), d.end()); });
    streamed.didReceiveData(*session, unanswered, {'x', 'y'});
    EXPECT_FALSE(streamed.data());
    EXPECT_EQ(chunks, (plat::Data{'x', 'y'}));
    EXPECT_EQ(streamed.totalBytesReceived(), 2);
    EXPECT_EQ(streamed.progress()->totalUnitCount(), -1);

    DataTaskDelegate overridden(task);
    overridden.setDataTaskDidReceiveData([](plat::URLSession&, const auto&, const plat::Data&) {});
    overridden.didReceiveData(*session, task, {'z'});
    EXPECT_TRUE(overridden.initialResponseTime());
    EXPECT_EQ(overridden.totalBytesReceived(), 0);
    EXPECT_EQ(overridden.data(), plat::Data{});
}

TEST_F(TaskDelegateTest, ANewTaskResetsThePerTaskState) {
    auto task = answeredTask();
    UploadTaskDelegate delegate(task);
    delegate.setCredential(plat::URLCredential("u", "p", plat::URLCredentialPersistence::none));
    delegate.didReceiveData(*session, task, {'a'});
    delegate.didSendBodyData(*session, task, 4, 4, 8);
    delegate.setError(AnyError(plat::Error("x", 1)));
    const auto oldProgress = delegate.progress();
    const auto oldUpload = delegate.uploadProgress();
    EXPECT_EQ(oldUpload->completedUnitCount(), 4);
    EXPECT_EQ(oldUpload->totalUnitCount(), 8);

    auto next = idleTask();
    delegate.setTask(next);
    EXPECT_EQ(delegate.task(), next);
    EXPECT_FALSE(delegate.error());
    EXPECT_FALSE(delegate.initialResponseTime());
    EXPECT_EQ(delegate.data(), plat::Data{});
    EXPECT_EQ(delegate.totalBytesReceived(), 0);
    EXPECT_NE(delegate.progress(), oldProgress);
    EXPECT_NE(delegate.uploadProgress(), oldUpload);
    EXPECT_TRUE(delegate.credential()) << "the credential outlives a retry";
}

TEST_F(TaskDelegateTest, ChallengesFollowTrustPolicyThenStoredCredentials) {
    auto task = idleTask();
    TaskDelegate delegate(task);
    std::optional<std::pair<Disposition, std::optional<plat::URLCredential>>> answer;
    const auto capture = [&](Disposition d, std::optional<plat::URLCredential> c) { answer.emplace(d, c); };

    plat::URLAuthenticationChallenge basic;
    basic.protectionSpace.host = "api.example.test";
    basic.protectionSpace.authenticationMethod = plat::NSURLAuthenticationMethodHTTPBasic;
    delegate.didReceiveChallenge(*session, task, basic, capture);
    EXPECT_EQ(answer->first, Disposition::performDefaultHandling);

    const plat::URLCredential stored("user", "secret", plat::URLCredentialPersistence::forSession);
    delegate.setCredential(stored);
    delegate.didReceiveChallenge(*session, task, basic, capture);
    EXPECT_EQ(answer->first, Disposition::useCredential);
    EXPECT_EQ(answer->second, stored);
    basic.previousFailureCount = 1;
    delegate.didReceiveChallenge(*session, task, basic, capture);
    EXPECT_EQ(answer->first, Disposition::rejectProtectionSpace);
    EXPECT_FALSE(answer->second);

    // Server trust: no manager, then a manager that rejects, then one that accepts.
    auto trust = plat::SecTrust::create({}, {}).trust;
    plat::URLAuthenticationChallenge serverTrust;
    serverTrust.protectionSpace.host = "api.example.test";
    serverTrust.protectionSpace.authenticationMethod = plat::NSURLAuthenticationMethodServerTrust;
    serverTrust.protectionSpace.serverTrust = trust;
    delegate.didReceiveChallenge(*session, task, serverTrust, capture);
    EXPECT_EQ(answer->first, Disposition::performDefaultHandling);
    ServerTrustPolicyManager::attach(
        session, std::make_shared<ServerTrustPolicyManager>(std::map<std::string, ServerTrustPolicy>{
                     {"api.example.test",
                      ServerTrustPolicy::customEvaluation([](const auto&, const auto&) { return false; })}}));
    delegate.didReceiveChallenge(*session, task, serverTrust, capture);
    EXPECT_EQ(answer->first, Disposition::cancelAuthenticationChallenge);
    ServerTrustPolicyManager::attach(
        session, std::make_shared<ServerTrustPolicyManager>(std::map<std::string, ServerTrustPolicy>{
                     {"api.example.test", ServerTrustPolicy::disableEvaluation()}}));
    delegate.didReceiveChallenge(*session, task, serverTrust, capture);
    EXPECT_EQ(answer->first, Disposition::useCredential);
    ASSERT_TRUE(answer->second);
    EXPECT_EQ(answer->second->serverTrust(), trust);
    serverTrust.protectionSpace.host = "other.example.test";
    delegate.didReceiveChallenge(*session, task, serverTrust, capture);
    EXPECT_EQ(answer->first, Disposition::performDefaultHandling);
}

TEST_F(TaskDelegateTest, RedirectionAndResponseOverrides) {
    auto task = answeredTask();
    DataTaskDelegate delegate(task);
    const auto proposed = plat::URLRequest(*plat::URL::parse("https://api.example.test/next"));
    std::optional<std::optional<plat::URLRequest>> followed;
    delegate.willPerformHTTPRedirection(*session, task, *task->response(), proposed,
                                        [&](std::optional<plat::URLRequest> r) { followed = r; });
    ASSERT_TRUE(followed && *followed);
    EXPECT_EQ((*followed)->url()->absoluteString(), "https://api.example.test/next");
    delegate.setTaskWillPerformHTTPRedirection(
        [](auto&, const auto&, const auto&, const auto&) { return std::optional<plat::URLRequest>(); });
    delegate.willPerformHTTPRedirection(*session, task, *task->response(), proposed,
                                        [&](std::optional<plat::URLRequest> r) { followed = r; });
    EXPECT_FALSE(*followed);

    std::optional<plat::URLSessionResponseDisposition> disposition;
    delegate.didReceiveResponse(*session, task, *task->response(), [&](auto d) { disposition = d; });
    EXPECT_EQ(disposition, plat::URLSessionResponseDisposition::allow);
    EXPECT_EQ(delegate.expectedContentLength(), task->response()->expectedContentLength());
}

TEST_F(TaskDelegateTest, WillCacheResponseAnswersWithTheOverrideOrTheProposal) {
    auto task = answeredTask();
    DataTaskDelegate delegate(task);
    const plat::CachedURLResponse proposed{
        task->response(), {'b'}, std::nullopt, plat::URLCacheStoragePolicy::allowed};
    std::vector<std::optional<plat::CachedURLResponse>> answers;
    const auto record = [&](std::optional<plat::CachedURLResponse> answer) { answers.push_back(answer); };
    delegate.willCacheResponse(*session, task, proposed, record);
    delegate.setDataTaskWillCacheResponse([](auto&, const auto&, const plat::CachedURLResponse& offered) {
        auto memoryOnly = offered;
        memoryOnly.storagePolicy = plat::URLCacheStoragePolicy::allowedInMemoryOnly;
        return std::optional<plat::CachedURLResponse>(memoryOnly);
    });
    delegate.willCacheResponse(*session, task, proposed, record);
    delegate.setDataTaskWillCacheResponse(
        [](auto&, const auto&, const auto&) { return std::optional<plat::CachedURLResponse>(); });
    delegate.willCacheResponse(*session, task, proposed, record);
    ASSERT_EQ(answers.size(), 3u);
    ASSERT_TRUE(answers[0] && answers[1]);
    EXPECT_EQ(answers[0]->storagePolicy, plat::URLCacheStoragePolicy::allowed);
    EXPECT_EQ(answers[0]->data, plat::Data{'b'});
    EXPECT_EQ(answers[1]->storagePolicy, plat::URLCacheStoragePolicy::allowedInMemoryOnly);
    EXPECT_FALSE(answers[2]) << "none means: do not cache";
}

TEST(DownloadOptionsTest, ActAsASetOfBits) {
    const DownloadOptions create = DownloadOptions::createIntermediateDirectories();
    const DownloadOptions remove = DownloadOptions::removeExistingFile();
    const DownloadOptions both{create, remove};
    EXPECT_EQ(both.rawValue, 3u);
    EXPECT_EQ(DownloadOptions{}.rawValue, 0u);
    EXPECT_TRUE((DownloadOptions{}).isEmpty());
    EXPECT_EQ((DownloadOptions{create}), create);

    EXPECT_EQ(both.symmetricDifference(create), remove);
    EXPECT_EQ(create ^ remove, both);
    EXPECT_EQ(both.subtracting(create), remove);
    EXPECT_EQ(create - both, DownloadOptions{});
    EXPECT_TRUE(create.isSubset(both));
    EXPECT_FALSE(both.isSubset(create));
    EXPECT_TRUE(both.isSuperset(remove));
    EXPECT_FALSE(remove.isSuperset(both));
    EXPECT_TRUE(DownloadOptions{}.isSubset(create));
    EXPECT_TRUE(create.isDisjoint(remove));
    EXPECT_FALSE(both.isDisjoint(remove));

    DownloadOptions options;
    const auto first = options.insert(create);
    EXPECT_TRUE(first.first);
    EXPECT_EQ(first.second, create);
    const auto again = options.insert(create);
    EXPECT_FALSE(again.first) << "already a member";
    EXPECT_EQ(again.second, create);
    options.insert(remove);
    EXPECT_EQ(options, both);

    EXPECT_EQ(options.remove(create), create);
    EXPECT_EQ(options, remove);
    EXPECT_EQ(options.remove(create), std::nullopt) << "not a member";
    EXPECT_EQ(options.remove(both), remove) << "the part that was in the set";
    EXPECT_TRUE(options.isEmpty());
}

class DownloadTaskDelegateTest : public TaskDelegateTest {
protected:
    void SetUp() override {
        TaskDelegateTest::SetUp();
        std::filesystem::create_directories(folder);
    }
    void TearDown() override {
        std::filesystem::remove_all(folder);
        TaskDelegateTest::TearDown();
    }
    plat::URL file(const std::string& name, std::string_view contents) {
        const auto path = (folder / name).string();
        EXPECT_TRUE(plat::writeData(path, plat::Data(contents.begin(), contents.end())));
        return plat::URL::file(path);
    }
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("zavorida-taskdelegate-" + std::to_string(::getpid()));
};

TEST_F(DownloadTaskDelegateTest, FinishedFilesMoveToTheirDestination) {
    auto task = answeredTask();
    const auto target = plat::URL::file((folder / "a/b/file.txt").string());
    struct Case {
        const char* name;
        DownloadOptions options;
        bool existing;
        bool moved;
    };
    const Case cases[] = {
        {"missing parent without the option", {}, false, false},
        {"both options over an existing file",
         DownloadOptions::createIntermediateDirectories() | DownloadOptions::removeExistingFile(), true,
         true},
        {"existing file kept without the option", DownloadOptions::createIntermediateDirectories(), true,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(folder / "a");
        if (c.existing) {
            std::filesystem::create_directories(folder / "a/b");
            file("a/b/file.txt", "old");
        }
        const auto temporary = file("download.tmp", "new");
        DownloadTaskDelegate delegate(task);
        delegate.setDestination([&](const plat::URL& from, const plat::HTTPURLResponse& response) {
            EXPECT_EQ(from, temporary);
            EXPECT_EQ(response.statusCode(), 200);
            return DownloadDestinationResult{target, c.options};
        });
        delegate.didFinishDownloadingToURL(*session, task, temporary);
        EXPECT_EQ(delegate.temporaryURL(), temporary);
        EXPECT_EQ(delegate.destinationURL(), target);
        EXPECT_EQ(delegate.error().has_value(), !c.moved);
        const auto content = plat::readData(target.path());
        if (c.moved) {
            EXPECT_EQ(content.value(), (plat::Data{'n', 'e', 'w'}));
        }
    }
    EXPECT_EQ(
        (DownloadOptions::createIntermediateDirectories() | DownloadOptions::removeExistingFile()).rawValue,
        3u);

    // Without a destination, or without a response, the file stays where the session left it.
    const auto temporary = file("left.tmp", "x");
    DownloadTaskDelegate noDestination(task);
    noDestination.didFinishDownloadingToURL(*session, task, temporary);
    EXPECT_EQ(noDestination.temporaryURL(), temporary);
    EXPECT_FALSE(noDestination.destinationURL());
    auto unanswered = idleTask();
    DownloadTaskDelegate noResponse(unanswered);
    noResponse.setDestination([&](const auto&, const auto&) {
        return DownloadDestinationResult{target, {}};
    });
    noResponse.didFinishDownloadingToURL(*session, unanswered, temporary);
    EXPECT_FALSE(noResponse.destinationURL());
    EXPECT_TRUE(std::filesystem::exists(temporary.path()));
}

TEST_F(DownloadTaskDelegateTest, ResumeDataAndProgress) {
    auto task = idleTask();
    DownloadTaskDelegate delegate(task);
    delegate.didWriteData(*session, task, 5, 5, 20);
    EXPECT_TRUE(delegate.initialResponseTime());
    EXPECT_EQ(delegate.progress()->completedUnitCount(), 5);
    EXPECT_EQ(delegate.progress()->totalUnitCount(), 20);
    delegate.didResumeAtOffset(*session, task, 7, 30);
    EXPECT_EQ(delegate.progress()->completedUnitCount(), 7);
    EXPECT_EQ(delegate.progress()->totalUnitCount(), 30);

    plat::Dictionary info;
    info.set(plat::NSURLSessionDownloadTaskResumeData, plat::Value(plat::Data{1, 2, 3}));
    delegate.didCompleteWithError(*session, task, plat::Error("NSURLErrorDomain", -999, info));
    EXPECT_EQ(delegate.resumeData(), (plat::Data{1, 2, 3}));
    EXPECT_EQ(delegate.data(), (plat::Data{1, 2, 3}));
    EXPECT_EQ(delegate.error()->platformError()->code, -999);
}

} // namespace
} // namespace Zavorida
