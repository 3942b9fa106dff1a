#include "devserver/tests/CurlClient.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

extern char** environ;

namespace devserver {
namespace {

using testing::Call;

// The devserver program as a child process, its standard output and error read through pipes.
class Program {
public:
    explicit Program(const std::vector<std::string>& args) {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        std::vector<std::string> all{DEVSERVER_PROGRAM};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, DEVSERVER_PROGRAM, &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }

    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }

    bool started() const { return pid_ > 0; }

    // Reads standard output up to the first newline, waiting at most `timeoutMs` in all.
    std::string readLine(int timeoutMs) {
        std::string line;
        char c = 0;
        while (waitReadable(out_, timeoutMs) && read(out_, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }

    // Waits for the process to end (its pipes close when it does); returns the exit status or -1.
    int waitExit(int timeoutMs) {
        std::string rest;
        char buffer[256];
        ssize_t n = 0;
        while (waitReadable(err_, timeoutMs) && (n = read(err_, buffer, sizeof buffer)) > 0) {
            errText_.append(buffer, static_cast<size_t>(n));
        }
        if (n != 0) {
            return -1; // still running
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void signal(int sig) { kill(pid_, sig); }
    // Standard output up to the end (call after the process ended).
    std::string readAll() {
        std::string text;
        char buffer[256];
        ssize_t n = 0;
        while ((n = read(out_, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<size_t>(n));
        }
        return text;
    }
    const std::string& errText() const { return errText_; }

private:
    static bool waitReadable(int fd, int timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, timeoutMs) == 1;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string errText_;
};

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "devserver-program-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
};

TEST_F(ProgramTest, ServesWithItsCaLogsRequestsAndStopsOnSignal) {
    for (const int sig : {SIGTERM, SIGINT}) {
        const auto ca = dir_ / "ca.pem";
        const auto log = dir_ / "log.jsonl";
        std::filesystem::remove(log);
        Program program({"--port", "0", "--ca-out", ca.string(), "--log", log.string()});
        ASSERT_TRUE(program.started());

        const std::string line = program.readLine(10000);
        ASSERT_TRUE(line.starts_with("listening on 127.0.0.1:")) << line;
        const std::string port = line.substr(line.rfind(':') + 1);
        ASSERT_NE(port, "0");
        testing::Client client({"portal.example.test:443:127.0.0.1:" + port}, ca.string());
        const auto page = client.perform(Call::to("GET", "https://portal.example.test/"));
        EXPECT_EQ(page.code, CURLE_OK) << curl_easy_strerror(page.code);
        EXPECT_EQ(page.status, 200);
        const auto post =
            client.perform(Call::to("POST", "https://portal.example.test/api/radirivoz/register")
                               .send("{}")
                               .header("Content-Type: application/json"));
        EXPECT_EQ(post.code, CURLE_OK);

        program.signal(sig);
        EXPECT_EQ(program.waitExit(10000), 0) << program.errText();

        std::ifstream in(log);
        std::vector<nlohmann::json> lines;
        for (std::string text; std::getline(in, text);) {
            lines.push_back(nlohmann::json::parse(text));
        }
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[1]["seq"], 2);
        EXPECT_EQ(lines[1]["method"], "POST");
        EXPECT_EQ(lines[1]["host"], "portal.example.test");
        EXPECT_EQ(lines[1]["path"], "/api/radirivoz/register");
        EXPECT_EQ(lines[1]["headers"]["content-type"], "application/json");
        EXPECT_EQ(lines[1]["body"], "{}");
    }
}

TEST_F(ProgramTest, BadArgumentsExitWithStatus2AndSayWhy) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"--bogus"}, "unknown argument --bogus"},   {{"--port"}, "--port needs a value"},
        {{"--port", "70000"}, "invalid port 70000"}, {{"--port", "-1"}, "invalid port -1"},
        {{"--port", "12ab"}, "invalid port 12ab"},
    };
    for (const auto& c : cases) {
        Program program(c.args);
        ASSERT_TRUE(program.started());
        EXPECT_EQ(program.waitExit(10000), 2) << c.message;
        EXPECT_NE(program.errText().find(c.message), std::string::npos) << program.errText();
    }
}

TEST_F(ProgramTest, HelpAndVersionAnswerOnStandardOutputWithoutServing) {
    Program help({"--help"});
    ASSERT_TRUE(help.started());
    EXPECT_EQ(help.waitExit(10000), 0);
    const std::string usage = help.readAll();
    EXPECT_EQ(usage.rfind("usage: devserver ", 0), 0u) << usage;
    EXPECT_NE(usage.find("default 8443"), std::string::npos) << usage;
    EXPECT_EQ(help.errText(), "");

    Program version({"--version"});
    ASSERT_TRUE(version.started());
    EXPECT_EQ(version.waitExit(10000), 0);
    EXPECT_EQ(version.readAll(), "devserver 1.0\n");
}

TEST_F(ProgramTest, APortInUseIsRefusedWithTheSystemsReason) {
    Program first({"--port", "0"});
    ASSERT_TRUE(first.started());
    const std::string line = first.readLine(10000);
    ASSERT_TRUE(line.starts_with("listening on 127.0.0.1:")) << line;
    const std::string port = line.substr(line.rfind(':') + 1);
    Program second({"--port", port});
    ASSERT_TRUE(second.started());
    EXPECT_EQ(second.waitExit(10000), 1);
    EXPECT_NE(second.errText().find("cannot listen on 127.0.0.1:" + port + ": Address already in use"),
              std::string::npos)
        << second.errText();
}

TEST_F(ProgramTest, UnwritableCaFileIsAnError) {
    Program program({"--port", "0", "--ca-out", (dir_ / "missing" / "ca.pem").string()});
    ASSERT_TRUE(program.started());
    EXPECT_EQ(program.waitExit(10000), 1);
    EXPECT_NE(program.errText().find("CA certificate"), std::string::npos) << program.errText();
}

} // namespace
} // namespace devserver
