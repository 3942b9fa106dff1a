// Real crashes in a separate process: the crash probe provokes a fault (or an uncaught exception, or an
// exception-port request) on a fresh app home, and the tests read back the record files it left and check how
// the process ended.

#include "crash/capture/tests/CrashContextFixture.hpp"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using crashtest::readFile;
using Json = nlohmann::ordered_json;

struct CrashRun {
    int status = -1;
    std::string out;
    std::string err;
    bool exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
    bool killedBy(int signal) const { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }
};

// The sections of a record file; `whole` turns false when a line does not parse.
struct RecordFile {
    std::vector<Json> lines;
    bool whole = true;

    const Json* section(const std::string& name) const {
        for (const Json& line : lines)
            if (line.contains(name))
                return &line[name];
        return nullptr;
    }
    size_t count(const std::string& name) const {
        return static_cast<size_t>(
            std::count_if(lines.begin(), lines.end(), [&](const Json& line) { return line.contains(name); }));
    }
};

std::vector<std::string> keysOf(const Json& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it)
        keys.push_back(it.key());
    return keys;
}

class CrashRecordTest : public ::testing::Test {
protected:
    // Starts the probe; `whileRunning` gets its pid before the wait for its end.
    CrashRun run(const std::vector<std::string>& arguments, const char* program = CRASH_PROBE,
                 const std::function<void(pid_t)>& whileRunning = {}) {
        const std::string outPath = home.root() + "/probe.out";
        const std::string errPath = home.root() + "/probe.err";
        std::vector<std::string> words{program, home.home()};
        words.insert(words.end(), arguments.begin(), arguments.end());
        // A loaded test machine may not run a stopped thread within the usual 100 ms.
        words.insert(words.end(), {"--capture-timeout-ms", "5000"});
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        CrashRun result;
        pid_t pid = 0;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
            if (whileRunning)
                whileRunning(pid);
            ::waitpid(pid, &result.status, 0);
        }
        posix_spawn_file_actions_destroy(&actions);
        result.out = readFile(outPath);
        result.err = readFile(errPath);
        return result;
    }

    std::string report(const std::string& name) const { return home.home() + "/report/" + name; }

    RecordFile record(const std::string& name) const {
        RecordFile file;
        std::istringstream lines(readFile(report(name)));
        std::string line;
        while (std::getline(lines, line)) {
            auto parsed = Json::parse(line, nullptr, false);
            if (parsed.is_discarded() || !parsed.is_object() || parsed.size() != 1) {
                file.whole = false;
                continue;
            }
            file.lines.push_back(std::move(parsed));
        }
        return file;
    }

    // The probe's functions by address ("name start size" lines it wrote before the fault).
    std::string functionAt(uint64_t pc) const {
        std::istringstream lines(readFile(home.home() + "/symbols"));
        std::string name;
        uint64_t start = 0, size = 0;
        while (lines >> name >> start >> size)
            if (pc >= start && pc < start + size)
                return name;
        return "";
    }

    // The functions of a stack trace; every frame after the first is a return address, looked up one byte
    // earlier so a call at the end of a function stays inside it.
    std::vector<std::string> functionsOf(const Json& thread) const {
        std::vector<std::string> names;
        bool first = true;
        for (const Json& pc : thread["stacktrace"]) {
            names.push_back(functionAt(pc.get<uint64_t>() - (first ? 0 : 1)));
            first = false;
        }
        return names;
    }

    // Checks the sections every process record has, after the handler's own section; answers the threads.
    Json checkProcessRecord(const RecordFile& file) {
        EXPECT_TRUE(file.whole);
        const Json* threads = file.section("threads");
        EXPECT_NE(threads, nullptr);
        if (!threads)
            return Json::array();
        const Json* runtime = file.section("runtime");
        EXPECT_TRUE(runtime && *runtime == Json::parse(R"({"objc_selector":"","crash_info_entries":[]})"));
        const Json* queues = file.section("dispatch_queue_names");
        const Json* names = file.section("thread_names");
        EXPECT_TRUE(queues && queues->size() == threads->size());
        EXPECT_TRUE(names && names->size() == threads->size());
        const Json* stats = file.section("process_stats");
        EXPECT_TRUE(stats && keysOf(*stats) == (std::vector<std::string>{"active", "inactive", "wired", "freeMem",
                                                                          "free_mem", "virtual", "resident",
                                                                          "user_time", "sys_time"}));
        const Json* storage = file.section("storage");
        EXPECT_TRUE(storage && storage->contains("free") && (*storage)["free"] <= (*storage)["total"]);
        std::vector<std::string> order;
        for (const Json& line : file.lines)
            order.push_back(line.begin().key());
        const auto at = std::find(order.begin(), order.end(), "threads");
        EXPECT_EQ(std::vector<std::string>(at, order.end()),
                  (std::vector<std::string>{"threads", "runtime", "dispatch_queue_names", "thread_names",
                                            "process_stats", "storage"}));
        Json combined = *threads;
        for (size_t i = 0; i < combined.size(); ++i) {
            combined[i]["#queue"] = queues ? (*queues)[i] : Json();
            combined[i]["#name"] = names ? (*names)[i] : Json();
        }
        return combined;
    }

    static const Json* crashedThread(const Json& threads) {
        const Json* crashed = nullptr;
        int count = 0;
        for (const Json& thread : threads) {
            if (thread.contains("crashed")) {
                EXPECT_EQ(thread["crashed"], true);
                crashed = &thread;
                ++count;
            }
        }
        EXPECT_EQ(count, 1);
        return crashed;
    }

    // Every parked thread (named "probe-park-K" or on queue "probe.queue.K") shows its known call chain.
    void checkParkedThreads(const Json& threads, size_t expected) {
        size_t parked = 0;
        for (const Json& thread : threads) {
            const std::string name = thread["#name"], queue = thread["#queue"];
            if (name.rfind("probe-park-", 0) != 0 && queue.rfind("probe.queue.", 0) != 0)
                continue;
            ++parked;
            if (queue.rfind("probe.queue.", 0) == 0) {
                EXPECT_EQ(name, queue.substr(0, 15)); // the kernel keeps 15 bytes of a thread's name
            }
            const auto functions = functionsOf(thread);
            ASSERT_GE(functions.size(), 3u) << thread.dump();
            EXPECT_EQ(std::vector<std::string>(functions.begin(), functions.begin() + 3),
                      (std::vector<std::string>{"probe_park_c", "probe_park_b", "probe_park_a"}));
            EXPECT_EQ(thread["registers"].size(), 18u);
        }
        EXPECT_EQ(parked, expected);
    }

    plat::test::TempAppHome home;
};

struct FaultCase {
    const char* command;
    int signal;
    uint64_t code;
    const char* name;
    const char* codeName;
    const char* function; // the probe's function that faults
    bool inFunction;      // false: the fault itself happens in the C library, called from that function
};

TEST_F(CrashRecordTest, EachFatalSignalIsRecordedWithEveryThreadAndThenEndsTheProcess) {
    const FaultCase cases[] = {
        {"segv", SIGSEGV, 1, "SIGSEGV", nullptr, "probe_fault_segv", true},
        {"abort", SIGABRT, 18446744073709551610u, "SIGABRT", "ABORT", "probe_fault_abort", false},
        {"fpe", SIGFPE, 1, "SIGFPE", nullptr, "probe_fault_fpe", true},
        {"ill", SIGILL, 2, "SIGILL", nullptr, "probe_fault_ill", true},
        {"bus", SIGBUS, 2, "SIGBUS", nullptr, "probe_fault_bus", true},
        // Sent by the process itself and from a trap instruction: the kernel would not raise either again.
        {"sys", SIGSYS, 18446744073709551610u, "SIGSYS", nullptr, "probe_fault_sys", true},
        {"trap", SIGTRAP, 128, "SIGTRAP", nullptr, "probe_fault_trap", true},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.command);
        const CrashRun probe = run({c.command, "--threads", "4"});
        EXPECT_TRUE(probe.killedBy(c.signal)) << probe.status;
        const RecordFile file = record("signal.vzrrecord");
        ASSERT_FALSE(file.lines.empty());
        const Json& signal = file.lines.front()["signal"];
        EXPECT_EQ(keysOf(signal),
                  (std::vector<std::string>{"number", "code", "address", "name", "code_name", "errno", "time"}));
        EXPECT_EQ(signal["number"], c.signal);
        EXPECT_EQ(signal["code"], c.code);
        EXPECT_EQ(signal["name"], c.name);
        EXPECT_EQ(signal["code_name"], c.codeName ? Json(c.codeName) : Json());
        // Sent by a process (a negative code), a trap or a null pointer: address 0.
        const bool noAddress = c.code > 1u << 31 || c.signal == SIGTRAP || c.signal == SIGSEGV;
        EXPECT_EQ(signal["address"] == 0u, noAddress);

        const Json threads = checkProcessRecord(file);
        const Json* crashed = crashedThread(threads);
        ASSERT_NE(crashed, nullptr);
        EXPECT_EQ((*crashed)["stacktrace"][0], (*crashed)["registers"]["rip"]);
        EXPECT_EQ(keysOf((*crashed)["registers"]),
                  (std::vector<std::string>{"rax", "rdx", "rcx", "rbx", "rsi", "rdi", "rbp", "rsp", "r8", "r9", "r10",
                                            "r11", "r12", "r13", "r14", "r15", "rip", "rflags"}));
        const auto functions = functionsOf(*crashed);
        const auto faulting = std::find(functions.begin(), functions.end(), c.function);
        EXPECT_EQ(faulting == functions.begin(), c.inFunction) << ::testing::PrintToString(functions);
        ASSERT_NE(faulting, functions.end()) << ::testing::PrintToString(functions);
        EXPECT_NE(std::find(faulting + 1, functions.end(), "main"), functions.end());
        checkParkedThreads(threads, 4);
        EXPECT_EQ((*crashed)["#name"], ""); // the main thread carries the process's own name
        EXPECT_EQ((*crashed)["#queue"], "main");
        // Nothing of the exception-port server is installed on Linux.
        const std::string log = readFile(report("sdk.log"));
        EXPECT_NE(log.find("Error: mach_port_allocate failed"), std::string::npos);
        EXPECT_NE(log.find("Unable to register mach exception handler"), std::string::npos);
        EXPECT_EQ(log.find("Mach exception server"), std::string::npos);
        ::unlink(report("signal.vzrrecord").c_str());
    }
}

// A worker of a platform queue has an alternate stack of its own; a thread made outside the platform has
// none and the handler runs on its stack: both crashes are recorded on the thread that faulted.
TEST_F(CrashRecordTest, AFaultOnAnotherThreadIsRecordedAsThatThreadsCrash) {
    const struct {
        const char* command;
        const char* queue;
        const char* name;
    } cases[] = {{"segv-queue", "probe.crash", "probe.crash"}, {"segv-thread", "", "probe-crash"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        EXPECT_TRUE(run({c.command, "--threads", "2"}).killedBy(SIGSEGV));
        const Json threads = checkProcessRecord(record("signal.vzrrecord"));
        const Json* crashed = crashedThread(threads);
        ASSERT_NE(crashed, nullptr);
        EXPECT_EQ((*crashed)["#queue"], c.queue);
        EXPECT_EQ((*crashed)["#name"], c.name);
        EXPECT_EQ(functionsOf(*crashed).front(), "probe_fault_segv");
        checkParkedThreads(threads, 2);
        ::unlink(report("signal.vzrrecord").c_str());
    }
}

// SIGSEGV sent by another process: code 0 (sent by a user), address 0 (si_addr holds the sender), and the
// signal, which the kernel would not raise again, still ends the process after the record.
TEST_F(CrashRecordTest, ASignalFromAnotherProcessIsRecordedAndStillEndsTheProcess) {
    const std::string ready = home.home() + "/ready";
    const CrashRun probe = run({"wait"}, CRASH_PROBE, [&](pid_t pid) {
        for (int i = 0; i < 10000 && !crashtest::exists(ready); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ::kill(pid, SIGSEGV);
    });
    EXPECT_TRUE(probe.killedBy(SIGSEGV)) << probe.status;
    const RecordFile file = record("signal.vzrrecord");
    ASSERT_NE(file.section("signal"), nullptr);
    const Json& signal = *file.section("signal");
    EXPECT_EQ(signal["number"], SIGSEGV);
    EXPECT_EQ(signal["code"], 0u);
    EXPECT_EQ(signal["address"], 0u);
    EXPECT_NE(crashedThread(checkProcessRecord(file)), nullptr);
}

TEST_F(CrashRecordTest, AStackOverflowIsRecordedOnTheMainThreadAndOnAWorker) {
    // The main thread's stack limited to 1 MiB: the same overflow, a tenth of the frames to walk.
    for (const char* command : {"overflow", "overflow-worker"}) {
        SCOPED_TRACE(command);
        EXPECT_TRUE(run({command, "--stack-limit", "1024"}).killedBy(SIGSEGV));
        const RecordFile file = record("signal.vzrrecord");
        const Json threads = checkProcessRecord(file);
        const Json* crashed = crashedThread(threads);
        ASSERT_NE(crashed, nullptr);
        const Json& trace = (*crashed)["stacktrace"];
        ASSERT_GT(trace.size(), 11u);
        const auto functions = functionsOf(*crashed);
        EXPECT_EQ(functions.front(), "probe_recurse");
        // Ten copies of the recursing return address stay in; the rest are counted.
        const uint64_t recursing = trace[1];
        for (size_t i = 1; i <= 10; ++i)
            EXPECT_EQ(trace[i], recursing) << i;
        EXPECT_NE(trace[11], recursing);
        EXPECT_EQ(functions[1], "probe_recurse");
        EXPECT_EQ((*crashed)["repeated_pc"], recursing);
        EXPECT_GT((*crashed)["repeat_count"].get<uint64_t>(), 1000u);
        EXPECT_NE(std::find(functions.begin() + 11, functions.end(), "probe_fault_overflow"), functions.end());
        // The suppressed frames write nothing to the crash reporter's own log.
        std::error_code ignored;
        EXPECT_LT(std::filesystem::file_size(report("sdk.log"), ignored), 256u * 1024u);
        ::unlink(report("signal.vzrrecord").c_str());
        ::unlink(report("sdk.log").c_str());
    }
}

struct ExceptionCase {
    const char* command;
    const char* type;
    const char* name; // hex
    const char* reason;
    const char* mangled; // as the log names the type; none to leave unchecked
};

TEST_F(CrashRecordTest, UncaughtExceptionsAreRecordedThenTheAbortIsRecordedToo) {
    const ExceptionCase cases[] = {
        {"cxx", "c++", "4d79457272", "78", "5MyErr"},
        {"cxx-cstr", "c++", "636f6e73742063686172202a", "626f6f6d", "PKc"},
        {"cxx-string", "c++", "7374643a3a737472696e67", "626f6f6d", nullptr},
        {"cxx-int", "c++", "696e74", "", "i"},
        {"plat-exception", "objective-c", "56757a69646f72617a617654657374457863657074696f6e",
         "5468697320697320616e204f626a6563746976652d4320657863657074696f6e207573696e6720666f722074657374696e672e",
         nullptr},
    };
    for (const ExceptionCase& c : cases) {
        SCOPED_TRACE(c.command);
        EXPECT_TRUE(run({c.command, "--threads", "2"}).killedBy(SIGABRT));
        const RecordFile file = record("exception.vzrrecord");
        ASSERT_FALSE(file.lines.empty());
        Json exception = file.lines.front()["exception"];
        const bool platform = std::string(c.type) == "objective-c";
        std::vector<std::string> keys{"type", "name", "reason", "time"};
        if (platform)
            keys.push_back("frames");
        EXPECT_EQ(keysOf(exception), keys);
        EXPECT_EQ(exception["type"], c.type);
        EXPECT_EQ(exception["name"], c.name);
        EXPECT_EQ(exception["reason"], c.reason);
        if (platform) {
            ASSERT_FALSE(exception["frames"].empty());
            EXPECT_EQ(keysOf(exception["frames"][0]), (std::vector<std::string>{"pc", "offset", "line"}));
            bool throwerSeen = false;
            for (const Json& frame : exception["frames"])
                throwerSeen = throwerSeen || functionAt(frame["pc"].get<uint64_t>() - 1) == "probe_throw";
            EXPECT_TRUE(throwerSeen);
        }
        const Json threads = checkProcessRecord(file);
        const Json* crashed = crashedThread(threads);
        ASSERT_NE(crashed, nullptr);
        EXPECT_EQ((*crashed)["#queue"], "com.ruzovid.vuzidorazav.ios.exception"); // recorded from within its queue
        checkParkedThreads(threads, 2);

        const RecordFile signal = record("signal.vzrrecord");
        ASSERT_NE(signal.section("signal"), nullptr);
        EXPECT_EQ((*signal.section("signal"))["name"], "SIGABRT");
        const std::string log = readFile(report("sdk.log"));
        EXPECT_NE(log.find("C++ terminate handler invoked"), std::string::npos);
        if (c.mangled) {
            EXPECT_NE(log.find(std::string("Recording exception of type '") + c.mangled + "'"), std::string::npos);
        }
        for (const char* name : {"exception.vzrrecord", "signal.vzrrecord"})
            ::unlink(report(name).c_str());
    }
}

// Handlers that were there before start-up still run after the record; ones set later are reported.
TEST_F(CrashRecordTest, EarlierHandlersRunAfterTheRecordAndLaterOnesAreReported) {
    const CrashRun before = run({"app-handler-before"});
    EXPECT_TRUE(before.exited(42)) << before.status;
    EXPECT_EQ(record("signal.vzrrecord").count("signal"), 1u);
    EXPECT_NE(record("signal.vzrrecord").section("storage"), nullptr);

    const CrashRun after = run({"app-handler-after"});
    EXPECT_TRUE(after.exited(0));
    EXPECT_EQ(after.err, "[Vuzidorazav] The signal SIGSEGV has a non-Vuzidorazav handler (app_handler).  This will "
                         "interfere with reporting.\n");

    const CrashRun terminateAfter = run({"terminate-after"});
    EXPECT_TRUE(terminateAfter.exited(0));
    EXPECT_NE(terminateAfter.err.find("[Vuzidorazav:Crash] Warning: std::get_terminate is 'probe_terminate' in '"),
              std::string::npos)
        << terminateAfter.err;
    EXPECT_NE(terminateAfter.err.find("crash_probe'"), std::string::npos);
    EXPECT_NE(terminateAfter.err.find("[Vuzidorazav:Crash] Warning: NSUncaughtExceptionHandler is 'probe_uncaught' in '"),
              std::string::npos)
        << terminateAfter.err;

    ::unlink(report("signal.vzrrecord").c_str());
    const CrashRun terminateBefore = run({"terminate-before"});
    EXPECT_TRUE(terminateBefore.killedBy(SIGABRT));
    EXPECT_TRUE(crashtest::exists(home.home() + "/terminate-marker"));
    EXPECT_EQ((*record("exception.vzrrecord").section("exception"))["name"], "4d79457272");
    const std::string log = readFile(report("sdk.log"));
    EXPECT_LT(log.find("restoring pre-existing handler"), log.find("invoking pre-existing handler"));
    EXPECT_NE(record("signal.vzrrecord").section("signal"), nullptr);
}

TEST_F(CrashRecordTest, WithADebuggerAttachedEveryHandledSignalKeepsItsHandler) {
    const CrashRun probe = run({"handlers", "--debugger"});
    EXPECT_TRUE(probe.exited(0));
    EXPECT_EQ(probe.out, "SIGABRT app\nSIGBUS app\nSIGFPE app\nSIGILL app\nSIGSEGV app\nSIGSYS app\nSIGTRAP app\n");
}

// Two threads fault at once: one records, the other waits for the record and ends the process, or the
// recorded signal does; either way exactly one whole record.
TEST_F(CrashRecordTest, TwoThreadsFaultingAtOnceLeaveOneWholeRecord) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        SCOPED_TRACE(attempt);
        const CrashRun probe = run({"double"});
        EXPECT_TRUE(probe.killedBy(SIGSEGV) || probe.exited(1)) << probe.status;
        const RecordFile file = record("signal.vzrrecord");
        EXPECT_TRUE(file.whole);
        EXPECT_EQ(file.count("signal"), 1u);
        EXPECT_NE(file.section("storage"), nullptr);
        ::unlink(report("signal.vzrrecord").c_str());
    }
}

// Many threads, one that takes no signal, threads that come and go during the capture: the record still
// ends whole, with the silent thread written without registers.
TEST_F(CrashRecordTest, TheCaptureCompletesWithThreadsThatCannotAnswer) {
    EXPECT_TRUE(run({"segv", "--threads", "64", "--block-signals", "--exiting-threads"}).killedBy(SIGSEGV));
    const RecordFile file = record("signal.vzrrecord");
    const Json threads = checkProcessRecord(file);
    ASSERT_NE(crashedThread(threads), nullptr);
    checkParkedThreads(threads, 64);
    int blocked = 0;
    for (const Json& thread : threads) {
        if (thread["#name"] != "probe-blocked")
            continue;
        ++blocked;
        EXPECT_EQ(thread["registers"], Json::object());
        EXPECT_EQ(thread["stacktrace"], Json::array());
    }
    EXPECT_EQ(blocked, 1);
    EXPECT_NE(readFile(report("sdk.log")).find("unable to get thread state"), std::string::npos);
}

// A thread stopped inside malloc holding the allocator's lock for good: anything on the crash path that
// allocated would wait forever (the probe then ends by its alarm instead of the fault).
TEST_F(CrashRecordTest, TheRecordCompletesWhileAThreadHoldsTheAllocatorsLock) {
    const CrashRun probe = run({"segv", "--threads", "2", "--hold-malloc"}, CRASH_PROBE_MALLOC);
    EXPECT_TRUE(probe.killedBy(SIGSEGV)) << probe.status;
    const Json threads = checkProcessRecord(record("signal.vzrrecord"));
    ASSERT_NE(crashedThread(threads), nullptr);
    checkParkedThreads(threads, 2);
    EXPECT_EQ(std::count_if(threads.begin(), threads.end(),
                            [](const Json& thread) { return thread["#name"] == "probe-malloc"; }),
              1);
}

TEST_F(CrashRecordTest, TheExceptionPortServerRecordsARequestAndReplies) {
    const CrashRun probe = run({"mach-sim"});
    ASSERT_TRUE(probe.exited(0)) << probe.status << probe.err;
    // Bits 0x1213 & 0x1f, 36 bytes, to the request's reply port 0x2207, id 2405 + 100, success.
    EXPECT_NE(probe.out.find("reply 19 36 8711 0 2505 0\n"), std::string::npos) << probe.out;
    // Registered for the simulated device's version 12, then the saved handler restored and the rest unset.
    EXPECT_NE(probe.out.find("swap 0x104e\nset 0x2 1911\nset 0x104c 0\n"), std::string::npos) << probe.out;
    const RecordFile file = record("mach_exception.vzrrecord");
    ASSERT_FALSE(file.lines.empty());
    EXPECT_EQ(file.lines.front().dump(),
              R"({"mach_exception":{"exception":1,"codes":[1,57005],"name":"EXC_BAD_ACCESS",)"
              R"("code_name":"KERN_INVALID_ADDRESS","original_ports":1,"time":)" +
                  file.lines.front()["mach_exception"]["time"].dump() + "}}");
    const Json threads = checkProcessRecord(file);
    const Json* crashed = crashedThread(threads);
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ((*crashed)["#name"], "probe-park-1"); // the thread the request names
    EXPECT_EQ(functionsOf(*crashed).front(), "probe_park_c");
    bool serverSeen = false;
    for (const Json& thread : threads)
        serverSeen = serverSeen || thread["#queue"] == "com.ruzovid.vuzidorazav.ios.MachExceptionServer";
    EXPECT_TRUE(serverSeen);

    ::unlink(report("mach_exception.vzrrecord").c_str());
    const CrashRun foreign = run({"mach-foreign"});
    EXPECT_NE(foreign.out.find("reply 19 36 8711 0 2505 5\n"), std::string::npos) << foreign.out;
    EXPECT_FALSE(crashtest::exists(report("mach_exception.vzrrecord")));

    const CrashRun masked = run({"mach-mask"});
    EXPECT_NE(masked.out.find("swap 0x104c\n"), std::string::npos) << masked.out;
}

TEST_F(CrashRecordTest, AServerThreadThatCannotStartLeavesThePortsAsTheyWere) {
    const CrashRun probe = run({"mach-nothread"});
    ASSERT_TRUE(probe.exited(0)) << probe.status << probe.err;
    // Registered, then, with no thread to serve the port, the saved handler restored and the rest unset.
    EXPECT_NE(probe.out.find("swap 0x104e\nset 0x2 1911\nset 0x104c 0\n"), std::string::npos) << probe.out;
    const std::string log = crashtest::readFile(report("sdk.log"));
    EXPECT_NE(log.find("] pthread_create Resource temporarily unavailable\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] Unable to start thread\n"), std::string::npos) << log;
    EXPECT_FALSE(crashtest::exists(report("mach_exception.vzrrecord")));
}

} // namespace
