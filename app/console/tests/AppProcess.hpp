#pragma once
// Runs the built portal-app as a child process against an in-process devserver: a private app home, the
// connect-to map for every served host and the devserver's CA in the environment, a script or standard
// input, and the child's exit status, standard output and standard error collected in full.

#include "devserver/DefaultRoutes.hpp"
#include "devserver/Server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace console::test {

struct AppRun {
    int status = -1; // exit status; -1 when the child did not exit normally
    std::string out;
    std::string err;
};

// A temporary folder removed at the end of the test.
class TempFolder {
public:
    TempFolder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string base = (tmp && *tmp ? std::string(tmp) : std::string("/tmp")) + "/portal-app-test-XXXXXX";
        if (!::mkdtemp(base.data()))
            throw std::runtime_error("cannot create a temporary folder");
        path_ = base;
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline void writeFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

// Spawns `argv` with `env`, feeds `input` to its standard input and collects both outputs until it exits.
inline AppRun spawnAndCollect(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                              const std::string& input, std::chrono::seconds limit) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        throw std::runtime_error("cannot start " + argv[0]);
    }
    // Small inputs fit the pipe; the child reads them as it goes.
    if (!input.empty() && ::write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        throw std::runtime_error("cannot write the child's input");
    ::close(in[1]);

    AppRun run;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0)
            ::close(f.fd);
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return run;
}

// The devserver with every default route, serving all the build's hosts, and a place for app homes.
class Backend {
public:
    Backend() {
        devserver::Options options;
        options.extraNames = devserver::servedHosts();
        devserver::installDefaultRoutes(server_);
        if (!server_.start(options))
            throw std::runtime_error("devserver: " + server_.error());
        caFile_ = folder_.path() + "/ca.pem";
        if (!server_.writeCa(caFile_))
            throw std::runtime_error("cannot write the CA");
    }

    devserver::Server& server() { return server_; }
    const std::string& folder() const { return folder_.path(); }

    // Every served host goes to the devserver; "offline.example.test" goes to a closed port, so loads there
    // fail at once with a connection error.
    std::string resolveMap() const {
        std::string map;
        for (const auto& host : devserver::servedHosts())
            map += (map.empty() ? "" : ",") + server_.resolveEntry(host);
        return map + ",offline.example.test:443:127.0.0.1:1";
    }

    std::vector<std::string> environment() const {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            if (entry.rfind("PORTAL_APP_", 0) != 0)
                env.push_back(entry);
        }
        env.push_back("PORTAL_APP_RESOLVE=" + resolveMap());
        env.push_back("PORTAL_APP_CA_FILE=" + caFile_);
        return env;
    }

    // The requests one host received, oldest first.
    std::vector<devserver::RecordedRequest> requestsTo(const std::string& host) const {
        std::vector<devserver::RecordedRequest> found;
        for (auto& r : server_.requests())
            if (r.host == host)
                found.push_back(r);
        return found;
    }

private:
    TempFolder folder_;
    devserver::Server server_;
    std::string caFile_;
};

} // namespace console::test
