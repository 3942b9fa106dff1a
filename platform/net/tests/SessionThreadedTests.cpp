// URLSession on real threads with the delegate queue the session makes itself: a transfer running alone has
// its delegate work run on the I/O thread, several at once hand it to the queue's own threads. Either way the
// delegate must see its callbacks as operations of that queue, one at a time and in order, and may call back
// into the session from them. Run under ThreadSanitizer as well.

#include "devserver/Server.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/dispatch/MainLoop.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/net/URLSession.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace plat::test {
namespace {

using devserver::RecordedRequest;
using devserver::Reply;

// Records, per task, the callbacks it hears; checks that each runs on the delegate queue and that no two
// overlap.
class SerialCheckingDelegate : public URLSessionDelegate {
public:
    std::shared_ptr<OperationQueue> expectedQueue;

    bool respondsTo(std::string_view selector) const override {
        namespace sel = URLSessionSelector;
        return selector == sel::didReceiveResponse || selector == sel::didReceiveData ||
               selector == sel::didFinishCollectingMetrics || selector == sel::didCompleteWithError;
    }
    void didReceiveResponse(URLSession&, const TaskPtr& task, const HTTPURLResponse&,
                            ResponseCompletion done) override {
        note(task, "response");
        done(URLSessionResponseDisposition::allow);
    }
    void didReceiveData(URLSession&, const TaskPtr& task, const Data&) override { note(task, "data"); }
    void didFinishCollectingMetrics(URLSession&, const TaskPtr& task, const URLSessionTaskMetrics&) override {
        note(task, "metrics");
    }
    void didCompleteWithError(URLSession&, const TaskPtr& task, const std::optional<Error>& error) override {
        note(task, error ? "failed" : "complete");
        completed.fetch_add(1);
    }

    std::map<uint64_t, std::vector<std::string>> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

    std::atomic<int> completed{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> offQueue{0};

private:
    void note(const TaskPtr& task, const char* what) {
        if (inside_.fetch_add(1) != 0)
            overlaps.fetch_add(1);
        if (OperationQueue::current() != expectedQueue)
            offQueue.fetch_add(1);
        {
            std::lock_guard lock(mutex_);
            auto& list = events_[task->taskIdentifier()];
            // Data may come in any number of pieces; one entry stands for them all.
            if (list.empty() || list.back() != what)
                list.emplace_back(what);
        }
        inside_.fetch_sub(1);
    }

    mutable std::mutex mutex_;
    std::map<uint64_t, std::vector<std::string>> events_;
    std::atomic<int> inside_{0};
};

class SessionThreadedTest : public ::testing::Test {
protected:
    void SetUp() override {
        devserver::Options options;
        options.tls = false;
        ASSERT_TRUE(server.start(options)) << server.error();
        server.route("GET", "/small", Reply::text(200, "ok"));
        server.route("GET", "/large", Reply::generated(256 * 1024));
    }

    URL url(const std::string& path) const {
        return *URL::parse("http://127.0.0.1:" + std::to_string(server.port()) + path);
    }

    TempAppHome home;
    devserver::Server server;
};

TEST_F(SessionThreadedTest, DelegateCallbacksRunOnTheDelegateQueueOneAtATimeAloneOrSideBySide) {
    auto delegate = std::make_shared<SerialCheckingDelegate>();
    auto session = URLSession::make(URLSessionConfiguration::ephemeral(), delegate);
    delegate->expectedQueue = session->delegateQueue();

    // Alone first, then twenty at once, small and large bodies mixed.
    session->dataTask(URLRequest(url("/small")))->resume();
    ASSERT_TRUE(MainLoop::runUntil([&] { return delegate->completed.load() == 1; }, 20));
    constexpr int together = 20;
    for (int i = 0; i < together; ++i)
        session->dataTask(URLRequest(url(i % 2 ? "/large" : "/small")))->resume();
    ASSERT_TRUE(MainLoop::runUntil([&] { return delegate->completed.load() == together + 1; }, 20));

    EXPECT_EQ(delegate->overlaps.load(), 0);
    EXPECT_EQ(delegate->offQueue.load(), 0);
    const auto events = delegate->events();
    ASSERT_EQ(events.size(), static_cast<std::size_t>(together + 1));
    for (const auto& [task, list] : events)
        EXPECT_EQ(list, (std::vector<std::string>{"response", "data", "metrics", "complete"})) << task;
    session->invalidateAndCancel();
}

TEST_F(SessionThreadedTest, ACompletionHandlerMayStartCancelAndInvalidateOnItsOwnSession) {
    auto session = URLSession::make(URLSessionConfiguration::ephemeral());
    // Held open by the server until the test ends, so that only the cancel can end it.
    server.route("GET", "/stalled", Reply::stalled(100, "partial"));
    std::mutex mutex;
    std::vector<std::string> log;
    auto add = [&](std::string line) {
        std::lock_guard lock(mutex);
        log.push_back(std::move(line));
    };
    DispatchSemaphore done(0);

    auto stalled = session->dataTask(URLRequest(url("/stalled")), [&](auto, auto, auto error) {
        add(error ? "stalled ended " + std::to_string(error->code) : "stalled ended");
    });
    stalled->resume();
    session
        ->dataTask(URLRequest(url("/small")),
                   [&](auto data, auto, auto) {
                       add("first " + std::string(data->begin(), data->end()));
                       // From inside a completion: cancel another task, start a new one and, from its
                       // completion, let the session go.
                       stalled->cancel();
                       session
                           ->dataTask(URLRequest(url("/small")),
                                      [&](auto second, auto, auto) {
                                          add("second " + std::string(second->begin(), second->end()));
                                          session->finishTasksAndInvalidate();
                                          done.signal();
                                      })
                           ->resume();
                   })
        ->resume();

    ASSERT_TRUE(done.wait(20));
    ASSERT_TRUE(MainLoop::runUntil(
        [&] {
            std::lock_guard lock(mutex);
            return log.size() == 3;
        },
        20));
    std::lock_guard lock(mutex);
    EXPECT_EQ(log[0], "first ok");
    // The cancelled task and the second request finish in either order.
    std::sort(log.begin() + 1, log.end());
    EXPECT_EQ(log[1], "second ok");
    EXPECT_EQ(log[2], "stalled ended -999");
    EXPECT_TRUE(session->isInvalidated());
}

TEST_F(SessionThreadedTest, ASessionLetGoFromItsOwnCompletionEndsCleanly) {
    // Nobody but the session's own bookkeeping holds it: the last reference may go on its I/O thread.
    std::atomic<bool> invalidated{false};
    struct InvalidationDelegate : URLSessionDelegate {
        explicit InvalidationDelegate(std::atomic<bool>& flag) : flag(flag) {}
        bool respondsTo(std::string_view selector) const override {
            return selector == URLSessionSelector::didBecomeInvalidWithError;
        }
        void didBecomeInvalidWithError(URLSession&, const std::optional<Error>&) override { flag = true; }
        std::atomic<bool>& flag;
    };
    std::weak_ptr<URLSession> weak;
    std::atomic<bool> answered{false};
    {
        auto session = URLSession::make(URLSessionConfiguration::ephemeral(),
                                        std::make_shared<InvalidationDelegate>(invalidated));
        weak = session;
        session
            ->dataTask(URLRequest(url("/small")),
                       [&answered, weak](auto data, auto, auto) {
                           answered = data.has_value();
                           if (auto s = weak.lock())
                               s->finishTasksAndInvalidate();
                       })
            ->resume();
    }
    ASSERT_TRUE(MainLoop::runUntil([&] { return invalidated.load() && weak.expired(); }, 20));
    EXPECT_TRUE(answered);
}

} // namespace
} // namespace plat::test
