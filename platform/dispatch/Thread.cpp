#include "platform/dispatch/Thread.hpp"

#include "platform/dispatch/DispatchInternal.hpp"

#include <array>
#include <atomic>
#include <execinfo.h>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace plat {
namespace {

struct Hook {
    std::mutex m;
    std::function<void()> fn;
};

Hook& hook() {
    static detail::Immortal<Hook> h;
    return h.get();
}

struct Slot {
    std::atomic<pid_t> tid{0};
    std::atomic<const char*> label{nullptr};
};

std::array<Slot, ThreadLabels::kSlots>& slots() {
    static detail::Immortal<std::array<Slot, ThreadLabels::kSlots>> table;
    return table.get();
}

// Gives the thread's slot back when the thread ends.
struct SlotOwner {
    int index = -1;
    ~SlotOwner() {
        if (index >= 0) {
            slots()[index].label.store(nullptr);
            slots()[index].tid.store(0);
        }
    }
};

int claimSlot() {
    thread_local SlotOwner owner;
    if (owner.index >= 0) {
        return owner.index;
    }
    pid_t self = static_cast<pid_t>(gettid());
    for (int i = 0; i < ThreadLabels::kSlots; ++i) {
        pid_t expected = 0;
        if (slots()[i].tid.compare_exchange_strong(expected, self)) {
            owner.index = i;
            return i;
        }
    }
    return -1; // table full: this thread goes without a label
}

} // namespace

bool Thread::isMainThread() {
    return detail::executor().isMainThread();
}

Thread Thread::current() {
    if (isMainThread()) {
        return Thread("main");
    }
    const auto& f = detail::frames();
    for (auto it = f.rbegin(); it != f.rend(); ++it) {
        if (!it->viaSync) {
            return Thread(it->queue->label);
        }
    }
    return Thread("");
}

std::vector<std::uintptr_t> Thread::callStackReturnAddresses() {
    std::array<void*, 128> buf{};
    int n = backtrace(buf.data(), static_cast<int>(buf.size()));
    std::vector<std::uintptr_t> out;
    // Skip this function's own frame.
    for (int i = 1; i < n; ++i) {
        out.push_back(reinterpret_cast<std::uintptr_t>(buf[i]));
    }
    return out;
}

void setThreadStartHook(std::function<void()> fn) {
    std::lock_guard lock(hook().m);
    hook().fn = std::move(fn);
}

void runThreadStartHook() {
    std::function<void()> fn;
    {
        std::lock_guard lock(hook().m);
        fn = hook().fn;
    }
    if (fn) {
        fn();
    }
}

std::thread spawnThread(std::string label, std::function<void()> fn) {
    return std::thread([label = std::move(label), fn = std::move(fn)] {
        detail::nameCurrentThread(label);
        runThreadStartHook();
        ThreadLabels::setCurrent(label.c_str());
        fn();
        ThreadLabels::setCurrent(nullptr);
    });
}

void ThreadLabels::setCurrent(const char* label) {
    int i = claimSlot();
    if (i >= 0) {
        slots()[i].label.store(label);
    }
}

const char* ThreadLabels::labelFor(pid_t tid) {
    for (auto& s : slots()) {
        if (s.tid.load() == tid) {
            return s.label.load();
        }
    }
    return nullptr;
}

pid_t ThreadLabels::slotTid(int index) {
    return index >= 0 && index < kSlots ? slots()[index].tid.load() : 0;
}

const char* ThreadLabels::slotLabel(int index) {
    return index >= 0 && index < kSlots ? slots()[index].label.load() : nullptr;
}

namespace detail {
void nameCurrentThread(const std::string& label) {
    pthread_setname_np(pthread_self(), label.substr(0, 15).c_str());
}
} // namespace detail

} // namespace plat
