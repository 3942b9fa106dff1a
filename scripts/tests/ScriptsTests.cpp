// The scripts as a newcomer runs them: each in a copy of the project folder, with stand-ins for the package
// tools and the build (so nothing is installed or compiled), and the built programs where a demo needs them.

#include <gtest/gtest.h>

#include <regex>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text, bool executable = false) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    if (executable) {
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
    }
}

class Scripts : public ::testing::Test {
protected:
    void SetUp() override {
        std::string base = (fs::temp_directory_path() / "portal-scripts-XXXXXX").string();
        ASSERT_NE(::mkdtemp(base.data()), nullptr);
        root_ = base;
        for (const char* script : {"setup", "run", "test"}) {
            fs::create_directories(root_ / "scripts");
            fs::copy_file(fs::path(PORTAL_SOURCE_ROOT) / "scripts" / script, root_ / "scripts" / script);
        }
        // Stand-ins on PATH: every package is present, and a build that only reports its steps.
        stub("dpkg-query", "echo 'install ok installed'");
        stub("sudo", "exec \"$@\"");
        stub("cmake", "echo \"$*\" >> \"$STUB_LOG\"\n"
                      "case \" $* \" in *' --build '*) echo '[1/2] Building CXX object app/main.cpp.o';"
                      " echo '[2/2] Linking CXX executable app/portal-app';; esac");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    void stub(const std::string& name, const std::string& body) {
        writeFile(root_ / "bin" / name, "#!/usr/bin/env bash\n" + body + "\n", true);
    }

    // Runs a command line in the copy of the project, with the stand-ins first on PATH.
    Outcome run(const std::string& command, const std::string& env = "") {
        const std::string line = "cd '" + root_.string() + "' && env PATH='" + (root_ / "bin").string() +
                                 ":" + std::getenv("PATH") + "' STUB_LOG='" + (root_ / "stub.log").string() +
                                 "' " + env + " " + command + " >'" + (root_ / "out").string() + "' 2>'" +
                                 (root_ / "err").string() + "' </dev/null";
        const int raw = std::system(line.c_str());
        Outcome o;
        o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        o.out = readFile(root_ / "out");
        o.err = readFile(root_ / "err");
        return o;
    }

    // What scripts/run needs besides itself: the demo bundle and script, and the built programs where the
    // Release build would put them.
    void provideBuiltPrograms() {
        fs::create_directories(root_ / "app");
        fs::create_directory_symlink(fs::path(PORTAL_SOURCE_ROOT) / "app" / "DemoBundle",
                                     root_ / "app" / "DemoBundle");
        fs::create_directories(root_ / "build/release/app");
        fs::create_directories(root_ / "build/release/devserver");
        fs::create_directories(root_ / "build/release/deployment/include/deployment");
        fs::create_symlink(PORTAL_APP_PROGRAM, root_ / "build/release/app/portal-app");
        fs::create_symlink(DEVSERVER_PROGRAM, root_ / "build/release/devserver/devserver");
        fs::copy_file(PORTAL_DEPLOYMENT_HEADER,
                      root_ / "build/release/deployment/include/deployment/Deployment.hpp");
    }

    fs::path root_;
};

TEST_F(Scripts, SetupWaitsForThePackageLockAndThenInstalls) {
    stub("dpkg-query", "exit 1"); // nothing installed yet
    // The lock is held for the first two tries, then free.
    stub("apt-get",
         "n=$(cat \"$STUB_LOG.n\" 2>/dev/null || echo 0); echo $((n + 1)) > \"$STUB_LOG.n\"\n"
         "echo \"$*\" >> \"$STUB_LOG\"\n"
         "if [ \"$n\" -lt 2 ]; then echo 'E: Could not get lock /var/lib/dpkg/lock-frontend. It is held "
         "by process 4242 (apt-get)' >&2; exit 100; fi");
    auto o = run("bash scripts/setup", "PORTAL_SETUP_LOCK_WAIT=3");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("holds the package lock; waiting for it (up to 3 s)"), std::string::npos) << o.err;
    const std::string calls = readFile(root_ / "stub.log");
    EXPECT_NE(calls.find("update"), std::string::npos) << calls;
    EXPECT_NE(calls.find("install -y -qq --no-install-recommends g++"), std::string::npos) << calls;

    // A lock that stays held ends the wait with a message that says so, and apt's own words.
    stub("apt-get",
         "echo 'E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242' >&2; "
         "exit 100");
    const auto began = std::chrono::steady_clock::now();
    o = run("bash scripts/setup", "PORTAL_SETUP_LOCK_WAIT=1");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("still holds the package lock after 1 s"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("held by process 4242"), std::string::npos) << o.err;
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));

    // Any other failure is shown at once.
    stub("apt-get", "echo 'E: Unable to locate package g++' >&2; exit 100");
    o = run("bash scripts/setup", "PORTAL_SETUP_LOCK_WAIT=1");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("setup: apt-get update failed:\nE: Unable to locate package g++"), std::string::npos)
        << o.err;
}

TEST_F(Scripts, TestHelpNeedsNoBuildAndTheJobsSettingReachesTheBuild) {
    auto o = run("bash scripts/test --help");
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.out.find("PORTAL_JOBS"), std::string::npos) << o.out;
    EXPECT_FALSE(fs::exists(root_ / "stub.log")) << "nothing was built";

    stub("ctest", "echo \"ctest $*\" >> \"$STUB_LOG\"");
    o = run("bash scripts/test -R Nothing", "PORTAL_JOBS=3 HOME='" + (root_ / "user").string() + "'");
    EXPECT_EQ(o.status, 0) << o.err;
    const std::string calls = readFile(root_ / "stub.log");
    EXPECT_NE(calls.find("--build build/asan -j 3"), std::string::npos) << calls;
    EXPECT_NE(calls.find("ctest --test-dir build/asan --output-on-failure -j 3 -R Nothing"),
              std::string::npos)
        << calls;
}

TEST_F(Scripts, TestFailsWhenTheRunChangedTheDefaultAppHome) {
    const fs::path home = root_ / "user/.local/share/portal-app/home";
    fs::create_directories(home / "tmp");
    // A test that leaves a folder behind in the user's own app home.
    stub("ctest", "mkdir -p '" + (home / "tmp/URLSession-1-0").string() + "'");
    auto o = run("bash scripts/test", "HOME='" + (root_ / "user").string() + "' XDG_DATA_HOME=");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("the run changed the default app home " + home.string()), std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find("tmp/URLSession-1-0"), std::string::npos) << o.err;

    stub("ctest", "true");
    o = run("bash scripts/test", "HOME='" + (root_ / "user").string() + "' XDG_DATA_HOME=");
    EXPECT_EQ(o.status, 0) << o.err;
}

TEST_F(Scripts, RunShowsPortalAppsMessageTheTraceAndTheBuildsSteps) {
    provideBuiltPrograms();
    writeFile(root_ / "comments.txt", "# nothing to do\n\n   # really nothing\n");

    auto o = run("bash scripts/run missing.txt");
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_NE(
        o.err.find("[1/2] Building CXX object app/main.cpp.o\n[2/2] Linking CXX executable app/portal-app\n"),
        std::string::npos)
        << "a line per build step when the output is no terminal:\n"
        << o.err;
    EXPECT_NE(o.err.find("run: there is no script missing.txt"), std::string::npos) << o.err;
    EXPECT_NE(o.out.find("portal-app: cannot read the script missing.txt: The file \u201cmissing.txt\u201d "
                         "couldn\u2019t be opened because there is no such file."),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("== portal-app exit status: 2"), std::string::npos) << o.out;

    o = run("bash scripts/run comments.txt");
    EXPECT_EQ(o.status, 0) << o.err << o.out;
    EXPECT_NE(o.out.find("  (no commands)"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("\"URL: https://portal.example.test/login?ignore_ntlm=1/\""), std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("GET https://portal.example.test/login?ignore_ntlm=1/"), std::string::npos) << o.out;
    // With the debug argument the kit host reaches the local back end: settings, the app's registration, and
    // the settings again.
    const std::string settings = "GET https://settings.example.test/spi/v2/platforms/ios/apps/test.example.portal/settings";
    EXPECT_TRUE(std::regex_search(o.out, std::regex("the kit host sent, in order:\n +[0-9]+ " + settings +
                                                    "\n +[0-9]+ POST https://api\\.example\\.test/spi/v1/platforms/ios/"
                                                    "apps\n +[0-9]+ " + settings + "\n")))
        << o.out;
    EXPECT_NE(o.out.find("== portal-app exit status: 0"), std::string::npos) << o.out;
}

} // namespace
