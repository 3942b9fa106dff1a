// Cold start of portal-app: a fresh process and app home, launch, the portal's login page loaded from the
// devserver, then `quit`; against the same binary started with --version (process start, dynamic loading
// and exit only). The ratio and the difference are the start-up the app adds.

#include "devserver/DefaultRoutes.hpp"
#include "devserver/Server.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Fixture {
    devserver::Server server;
    std::string folder;
    std::string script;
    std::vector<std::string> env;

    Fixture() {
        devserver::Options options;
        options.extraNames = devserver::servedHosts();
        devserver::installDefaultRoutes(server);
        if (!server.start(options))
            std::abort();
        const char* tmp = std::getenv("TMPDIR");
        folder = (tmp && *tmp ? std::string(tmp) : std::string("/tmp")) + "/portal-app-bench-XXXXXX";
        if (!::mkdtemp(folder.data()))
            std::abort();
        const std::string ca = folder + "/ca.pem";
        if (!server.writeCa(ca))
            std::abort();
        script = folder + "/quit.txt";
        std::ofstream(script) << "quit\n";
        std::string resolve;
        for (const auto& host : devserver::servedHosts())
            resolve += (resolve.empty() ? "" : ",") + server.resolveEntry(host);
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("PORTAL_APP_", 0) != 0)
                env.emplace_back(*e);
        env.push_back("PORTAL_APP_RESOLVE=" + resolve);
        env.push_back("PORTAL_APP_CA_FILE=" + ca);
    }
    ~Fixture() {
        server.stop();
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
};

Fixture& fixture() {
    static Fixture instance;
    return instance;
}

// Runs the program to its end with its output discarded; false when it did not exit with 0.
bool runQuietly(const std::vector<std::string>& argv) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : fixture().env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_VersionOnly(benchmark::State& state) {
    for (auto _ : state) {
        if (!runQuietly({PORTAL_APP_PROGRAM, "--version"}))
            state.SkipWithError("portal-app --version failed");
    }
}
BENCHMARK(BM_VersionOnly)->Unit(benchmark::kMillisecond)->Iterations(30)->UseRealTime();

void BM_ColdStartToLoginPage(benchmark::State& state) {
    auto& f = fixture();
    int run = 0;
    for (auto _ : state) {
        // Each launch gets a home of its own, as after a fresh install.
        const std::string home = f.folder + "/home" + std::to_string(run++);
        if (!runQuietly({PORTAL_APP_PROGRAM, "--bundle", PORTAL_DEMO_BUNDLE_DIR, "--home", home, "--script",
                         f.script}))
            state.SkipWithError("portal-app did not quit cleanly");
        state.PauseTiming();
        std::error_code ec;
        std::filesystem::remove_all(home, ec);
        std::filesystem::remove_all(home + ".device", ec);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ColdStartToLoginPage)->Unit(benchmark::kMillisecond)->Iterations(30)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
