#pragma once
// Thread identity checks, the start hook every thread made by the platform layer runs, and an
// async-signal-safe table of each thread's current queue label for the crash reporter.

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace plat {

class Thread {
public:
    // True on the thread that runs the main loop (under the virtual backend: while running main-queue
    // work, not work of another queue).
    static bool isMainThread();
    static Thread current();
    // "main" for the main thread, else the label of the queue the thread runs ("" when none).
    const std::string& name() const { return name_; }
    static std::vector<std::uintptr_t> callStackReturnAddresses();

private:
    explicit Thread(std::string name) : name_(std::move(name)) {}
    std::string name_;
};

// Runs on every thread the platform layer creates (queue workers, the timer thread, session I/O
// threads) before any work. Set it before those threads start.
void setThreadStartHook(std::function<void()> hook);
void runThreadStartHook();

// Starts a thread that runs the start hook, registers label in the label table, then fn.
std::thread spawnThread(std::string label, std::function<void()> fn);

// Fixed table of {tid, label} slots, updated with atomics, readable from a signal handler.
class ThreadLabels {
public:
    static constexpr int kSlots = 256;
    // label must stay valid while set; nullptr clears the calling thread's slot.
    static void setCurrent(const char* label);
    // Async-signal-safe; nullptr when the thread has no slot.
    static const char* labelFor(pid_t tid);
    // Async-signal-safe slot access for walking every thread: tid 0 means free.
    static pid_t slotTid(int index);
    static const char* slotLabel(int index);
};

} // namespace plat
