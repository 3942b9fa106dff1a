// Launches killed at any moment of logging, bundling and uploading lose no event whose storage committed, and
// send an event twice only when its batch may have reached the back end without its answer reaching the app.

#include "devserver/MeasurementRoutes.hpp"
#include "devserver/Server.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

enum class UploadCrashKill { afterEvents, afterQueued, afterPosted };

struct UploadCrashRun {
    std::set<long long> committed;
    std::vector<std::string> lines;
};

// Runs the helper until `stop` says so for a line (then kills it), or until it ends by itself.
UploadCrashRun uploadCrashLaunch(const std::string& home, long long first, long long count,
                                 const std::function<bool(const std::string&)>& stop) {
    UploadCrashRun run;
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::string program = PORTAL_MEASUREMENT_UPLOAD_CRASH_HELPER;
    std::string homeText = home;
    std::string firstText = std::to_string(first);
    std::string countText = std::to_string(count);
    char* args[] = {program.data(), homeText.data(), firstText.data(), countText.data(), nullptr};
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, args, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    FILE* output = ::fdopen(fds[0], "r");
    char line[256];
    bool killed = false;
    while (std::fgets(line, sizeof line, output)) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        long long n = 0;
        if (std::sscanf(text.c_str(), "committed %lld", &n) == 1) {
            run.committed.insert(n);
        }
        run.lines.push_back(text);
        if (!killed && stop(text)) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
    }
    std::fclose(output);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(killed ? WIFSIGNALED(status) : (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << status;
    return run;
}

TEST(DMSUploadCrashTest, KilledLaunchesLoseNoCommittedEventAndRepeatOnlyUnansweredBatches) {
    plat::test::TempAppHome scratch;
    devserver::Server server;
    auto service = devserver::installMeasurementRoutes(server);
    ASSERT_TRUE(server.start()) << server.error();
    const std::string ca = scratch.root() + "/measurement-crash-ca.pem";
    ASSERT_TRUE(server.writeCa(ca));
    ::setenv("PORTAL_APP_CA_FILE", ca.c_str(), 1);
    ::setenv("PORTAL_APP_RESOLVE", server.resolveEntry(devserver::kMeasurementHost).c_str(), 1);
    const std::string home = scratch.root() + "/crash-app";

    std::mt19937 random(20261211);
    // Uploads after which a kill may have come before the app read the answer.
    std::set<size_t> maybeUnanswered;
    std::set<long long> committed;
    long long next = 1;
    constexpr int kRounds = 20;
    constexpr long long kEventsPerRound = 20;
    for (int round = 1; round <= kRounds; ++round) {
        SCOPED_TRACE(round);
        // Some answers are late, failed or never come.
        for (int i = 0; i < 1; ++i) {
            switch (std::uniform_int_distribution<int>(0, 3)(random)) {
            case 0:
                service->queueUploadReply(devserver::Reply::dropped());
                break;
            case 1:
                service->queueUploadReply(devserver::Reply::text(204, "").after(std::chrono::milliseconds(150)));
                break;
            case 2:
                service->queueUploadReply(devserver::Reply::text(500, ""));
                break;
            default:
                service->queueUploadReply(devserver::Reply::text(204, ""));
                break;
            }
        }
        const auto mode = static_cast<UploadCrashKill>(std::uniform_int_distribution<int>(0, 2)(random));
        const int events = std::uniform_int_distribution<int>(1, static_cast<int>(kEventsPerRound))(random);
        int seen = 0;
        int markers = 0;
        const int wantedMarkers = std::uniform_int_distribution<int>(1, 3)(random);
        auto run = uploadCrashLaunch(home, next, kEventsPerRound, [&](const std::string& line) {
            if (line.rfind("committed ", 0) == 0) {
                ++seen;
            }
            if (mode == UploadCrashKill::afterQueued && line == "queued") {
                ++markers;
            } else if (mode == UploadCrashKill::afterPosted && line == "posted") {
                ++markers;
            }
            return mode == UploadCrashKill::afterEvents ? seen >= events : markers >= wantedMarkers;
        });
        committed.insert(run.committed.begin(), run.committed.end());
        for (const auto& line : run.lines) {
            EXPECT_EQ(line.rfind("recreated", 0), std::string::npos) << line;
        }
        // A request the killed launch had sent may still be arriving.
        size_t received = devserver::measurementUploads(server).size();
        for (int quiet = 0; quiet < 3;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const size_t now = devserver::measurementUploads(server).size();
            quiet = now == received ? quiet + 1 : 0;
            received = now;
        }
        if (received > 0) {
            maybeUnanswered.insert(received - 1);
        }
        next += kEventsPerRound;
    }
    // A last launch against a back end that takes everything.
    service->setUploadReply(devserver::Reply::text(204, ""));
    auto last = uploadCrashLaunch(home, next, 0, [](const std::string&) { return false; });
    ASSERT_FALSE(last.lines.empty());
    EXPECT_EQ(last.lines.back(), "drained");

    const auto uploads = devserver::measurementUploads(server);
    std::map<long long, std::vector<size_t>> arrivals;
    for (size_t i = 0; i < uploads.size(); ++i) {
        ASSERT_TRUE(uploads[i].problem.empty()) << uploads[i].problem;
        for (const auto& bundle : uploads[i].bundles) {
            for (const auto& event : bundle.events) {
                if (event.name == "numbered" && event.param("n") && event.param("n")->intValue) {
                    auto& list = arrivals[*event.param("n")->intValue];
                    if (list.empty() || list.back() != i) {
                        list.push_back(i);
                    }
                }
            }
        }
    }
    for (long long n : committed) {
        EXPECT_TRUE(arrivals.contains(n)) << "event " << n << " was committed but never arrived";
    }
    // An event may come again after a batch that was not answered with success, or whose answer a kill may have
    // kept from the app; after any other batch it is a duplicate.
    const auto answers = service->uploadAnswers();
    for (const auto& [n, list] : arrivals) {
        for (size_t k = 0; k + 1 < list.size(); ++k) {
            const size_t upload = list[k];
            const auto answer = answers.find(uploads[upload].seq);
            const bool failed = answer == answers.end() || (answer->second != 200 && answer->second != 204);
            EXPECT_TRUE(failed || maybeUnanswered.contains(upload))
                << "event " << n << " arrived again after upload " << upload << " of " << uploads.size()
                << " was answered with success";
        }
    }
    ::unsetenv("PORTAL_APP_CA_FILE");
    ::unsetenv("PORTAL_APP_RESOLVE");
}

} // namespace
