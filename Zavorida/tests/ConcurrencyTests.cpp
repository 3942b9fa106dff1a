// The HTTP client used from many threads at once on the threaded backend, against a real loopback back end:
// the shared manager's first use, retries decided on foreign threads, and multipart uploads encoding side by
// side. Run under ThreadSanitizer as well.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "Zavorida/tests/DevserverFixture.hpp"
#include "platform/dispatch/Thread.hpp"

namespace Zavorida {
namespace {

using devserver::RecordedRequest;
using devserver::Reply;
using test::waitFor;

using ConcurrencyTest = test::DevserverTest;

// Starts `count` threads that run `body(index)` as close together as possible, and joins them.
void inParallel(int count, const std::function<void(int)>& body) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < count) {
                std::this_thread::yield();
            }
            body(i);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

TEST_F(ConcurrencyTest, TheSharedManagerIsMadeOnceWhenManyThreadsUseItFirstAtTheSameTime) {
    portal.route("POST", "/api/echo", [](const RecordedRequest& r) { return Reply::text(200, r.body); });
    constexpr int threads = 8;
    std::mutex mutex;
    std::set<const SessionManager*> managers;
    std::vector<std::string> bodies;
    inParallel(threads, [&](int i) {
        const std::string body = "thread-" + std::to_string(i);
        const auto request =
            i % 2 ? requestWithDefaultSession("https://portal.example.test/api/echo", HTTPMethod::post,
                                              plat::Dictionary{{"n", i}}, URLEncoding())
                  : uploadDataWithDefaultSession(plat::Data(body.begin(), body.end()),
                                                 "https://portal.example.test/api/echo");
        request->addStringResponseHandler(nullptr, std::nullopt, [&](const DataResponse<std::string>& r) {
            std::lock_guard lock(mutex);
            bodies.push_back(r.result().isSuccess() ? *r.result().value()
                                                    : r.result().error()->description());
        });
        std::lock_guard lock(mutex);
        managers.insert(&SessionManager::shared());
    });
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(mutex);
        return bodies.size() == threads;
    }));

    EXPECT_EQ(managers.size(), 1u);
    std::set<std::string> received(bodies.begin(), bodies.end());
    for (int i = 0; i < threads; ++i) {
        EXPECT_EQ(received.count(i % 2 ? "n=" + std::to_string(i) : "thread-" + std::to_string(i)), 1u) << i;
    }
    ASSERT_EQ(portal.requestCount(), static_cast<size_t>(threads));
    const auto userAgent = SessionManager::standardHeaders().at("User-Agent");
    for (const auto& sent : portal.requests()) {
        EXPECT_EQ(sent.header("user-agent"), userAgent);
    }
}

// Retries each request once, answering from a thread of its own.
struct ForeignThreadRetrier : RequestRetrier {
    void shouldRetry(SessionManager&, const std::shared_ptr<Request>& request, const AnyError&,
                     Completion completion) override {
        asked.fetch_add(1);
        const bool retry = request->retryCount() == 0;
        std::lock_guard lock(mutex);
        threads.emplace_back([completion, retry] { completion(retry, 0.01); });
    }
    ~ForeignThreadRetrier() override {
        std::lock_guard lock(mutex);
        for (auto& thread : threads) {
            // The last reference may be dropped on one of these threads.
            if (thread.get_id() == std::this_thread::get_id()) {
                thread.detach();
            } else {
                thread.join();
            }
        }
    }
    std::atomic<int> asked{0};
    std::mutex mutex;
    std::vector<std::thread> threads;
};

// Throws the first time it sees a URL whose "id" is even, so half the requests fail before their first task.
struct FailsFirstForEvenIds : RequestAdapter {
    plat::URLRequest adapt(plat::URLRequest request) override {
        const auto url = request.url()->absoluteString();
        const bool even = (url.back() - '0') % 2 == 0;
        std::lock_guard lock(mutex);
        if (even && seen.insert(url).second) {
            throw plat::Error("adapter", 1);
        }
        return request;
    }
    std::mutex mutex;
    std::set<std::string> seen;
};

TEST_F(ConcurrencyTest, RequestsFromManyThreadsThatFailOnceAreAllRetriedAndDelivered) {
    // Odd ids: the first answer is cut short, the second is whole. (A connection closed without any answer
    // would be retried by the transport itself, out of the retrier's sight.)
    auto seen = std::make_shared<std::pair<std::mutex, std::set<std::string>>>();
    portal.route("GET", "/api/flaky", [seen](const RecordedRequest& r) {
        const bool odd = (r.query.back() - '0') % 2 == 1;
        std::lock_guard lock(seen->first);
        if (odd && seen->second.insert(r.query).second) {
            auto cut = Reply::stalled(100, "partial");
            cut.stallFor = std::chrono::milliseconds(0);
            return cut;
        }
        return Reply::text(200, r.query);
    });
    auto manager = makeManager();
    manager->setAdapter(std::make_shared<FailsFirstForEvenIds>());
    auto retrier = std::make_shared<ForeignThreadRetrier>();
    manager->setRetrier(retrier);

    constexpr int threads = 4;
    constexpr int perThread = 4;
    std::mutex mutex;
    std::vector<std::pair<std::string, std::uint64_t>> results;
    inParallel(threads, [&](int t) {
        for (int i = 0; i < perThread; ++i) {
            const auto id = std::to_string(t * perThread + i);
            auto request = manager->makeDataRequestToURL("https://portal.example.test/api/flaky?id=" + id);
            request->addStringResponseHandler(plat::DispatchQueue::global(plat::QoS::utility), std::nullopt,
                                              [&, request](const DataResponse<std::string>& r) {
                                                  std::lock_guard lock(mutex);
                                                  results.emplace_back(
                                                      r.result().isSuccess() ? *r.result().value() : "failed",
                                                      request->retryCount());
                                              });
        }
    });
    constexpr size_t total = threads * perThread;
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(mutex);
        return results.size() == total;
    }));

    std::set<std::string> answered;
    for (const auto& [body, retries] : results) {
        answered.insert(body);
        EXPECT_EQ(retries, 1u) << body;
    }
    EXPECT_EQ(answered.size(), total);
    EXPECT_EQ(answered.count("failed"), 0u);
    EXPECT_EQ(retrier->asked.load(), static_cast<int>(total));
    EXPECT_EQ(portal.requestCount(), total / 2 + 2 * (total / 2)) << "even ids once, odd ids twice";
    EXPECT_TRUE(waitFor([&] { return manager->delegate()->requestCount() == 0; }));
}

TEST_F(ConcurrencyTest, HandlersOfARequestRunInTheOrderAddedAndReachTheirOwnQueues) {
    portal.route("GET", "/api/status", Reply::json(200, "{\"ok\":true}"));
    auto manager = makeManager();
    std::mutex mutex;
    std::vector<std::string> onMain;
    std::vector<std::string> elsewhere;
    auto arrived = [&](const std::string& what) {
        std::lock_guard lock(mutex);
        (plat::Thread::isMainThread() ? onMain : elsewhere).push_back(what);
    };
    auto count = [&] {
        std::lock_guard lock(mutex);
        return onMain.size() + elsewhere.size();
    };

    // One request alone on its session, so that its delegate work takes the shortest road.
    auto request = manager->makeDataRequestToURL("https://portal.example.test/api/status");
    request
        ->addResponseHandler(nullptr,
                             [&](const DefaultDataResponse& r) { arrived(r.error() ? "failed" : "raw"); })
        ->addStringResponseHandler(plat::DispatchQueue::global(plat::QoS::utility), std::nullopt,
                                   [&](const DataResponse<std::string>& r) {
                                       arrived(r.result().isSuccess() ? *r.result().value() : "failed");
                                   })
        ->addJSONResponseHandler(nullptr, 0, [&](const DataResponse<plat::Value>& r) {
            arrived(r.result().isSuccess() ? "json" : "failed");
        });
    ASSERT_TRUE(waitFor([&] { return count() == 3; }));
    // Added after the request finished: runs all the same.
    request->addDataResponseHandler(nullptr, [&](const DataResponse<plat::Data>& r) {
        arrived(r.result().isSuccess() ? "data" : "failed");
    });
    ASSERT_TRUE(waitFor([&] { return count() == 4; }));

    std::lock_guard lock(mutex);
    EXPECT_EQ(onMain, (std::vector<std::string>{"raw", "json", "data"}));
    EXPECT_EQ(elsewhere, (std::vector<std::string>{"{\"ok\":true}"}));
}

TEST_F(ConcurrencyTest, MultipartUploadsEncodedSideBySideEachGetTheirOwnFileAndLeaveNoneBehind) {
    portal.route("POST", "/api/forms",
                 [](const RecordedRequest& r) { return Reply::text(200, std::to_string(r.body.size())); });
    auto manager = makeManager();
    constexpr int uploads = 12;
    std::mutex mutex;
    std::set<std::string> files;
    int completed = 0;
    int failures = 0;
    inParallel(uploads, [&](int i) {
        manager->makeMultipartUploadToURL(
            [i](MultipartFormData& form) {
                const std::string text(1000 + i, static_cast<char>('a' + i));
                form.appendData(plat::Data(text.begin(), text.end()), "part");
            },
            0, "https://portal.example.test/api/forms", HTTPMethod::post, std::nullopt,
            [&](const SessionManager::MultipartFormDataEncodingResult& result) {
                const auto* success = result.successValue();
                if (!success) {
                    std::lock_guard lock(mutex);
                    ++failures;
                    ++completed;
                    return;
                }
                {
                    std::lock_guard lock(mutex);
                    files.insert(success->streamFileURL->path());
                }
                success->request->addResponseHandler(nullptr, [&](const DefaultDataResponse& r) {
                    std::lock_guard lock(mutex);
                    failures += r.error() ? 1 : 0;
                    ++completed;
                });
            });
    });
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(mutex);
        return completed == uploads;
    }));
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(files.size(), static_cast<size_t>(uploads));
    EXPECT_TRUE(waitFor([&] {
        return std::none_of(files.begin(), files.end(),
                            [](const std::string& path) { return std::filesystem::exists(path); });
    }));
    EXPECT_EQ(portal.requestCount(), static_cast<size_t>(uploads));
}

} // namespace
} // namespace Zavorida
