#include "platform/uikit/CompletionCheck.hpp"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

namespace plat::sim {
namespace {

struct Ledger {
    std::mutex mutex;
    std::vector<HandlerRecord> records;
    std::vector<std::string> misuse;
    // Tickets made before the last reset() still run their handler once but are no longer reported.
    size_t firstTracked = 0;
    bool exitCheckInstalled = false;
};

Ledger& ledger() {
    static NeverDestroyed<Ledger> instance;
    return *instance;
}

std::vector<std::string> neverCalled();

// Under the test backend a handler never called by the end of the test fails the test program, since the
// device would have killed or penalised the app for it; the running app only reports it.
void checkAtExit() {
    if (!Backend::isVirtual()) {
        for (const auto& line : neverCalled()) {
            printDevice(line);
        }
        return;
    }
    auto problems = CompletionHandlers::problems();
    if (problems.empty()) {
        return;
    }
    std::fflush(stdout);
    for (const auto& p : problems) {
        std::fprintf(stderr, "completion handler misuse: %s\n", p.c_str());
    }
    std::fflush(stderr);
    std::_Exit(1);
}

void misuse(std::string line) {
    printDevice(line);
    auto& l = ledger();
    std::lock_guard lock(l.mutex);
    l.misuse.push_back(std::move(line));
}

} // namespace

HandlerTicket::HandlerTicket(std::string name) {
    auto& l = ledger();
    std::lock_guard lock(l.mutex);
    if (!l.exitCheckInstalled) {
        l.exitCheckInstalled = true;
        std::atexit(checkAtExit);
    }
    index_ = l.records.size();
    l.records.push_back(HandlerRecord{std::move(name), 0, false});
}

HandlerTicket::~HandlerTicket() {
    std::string name;
    {
        auto& l = ledger();
        std::lock_guard lock(l.mutex);
        HandlerRecord& r = l.records[index_];
        r.released = true;
        if (r.calls > 0 || index_ < l.firstTracked) {
            return;
        }
        name = r.name;
    }
    misuse("completion handler of " + name + " was released without being called");
}

bool HandlerTicket::call() {
    std::string name;
    {
        auto& l = ledger();
        std::lock_guard lock(l.mutex);
        HandlerRecord& r = l.records[index_];
        if (++r.calls == 1) {
            return true;
        }
        if (index_ < l.firstTracked) {
            return false;
        }
        name = r.name;
    }
    misuse("completion handler of " + name + " was called more than once");
    return false;
}

std::vector<HandlerRecord> CompletionHandlers::records() {
    auto& l = ledger();
    std::lock_guard lock(l.mutex);
    return {l.records.begin() + static_cast<std::ptrdiff_t>(l.firstTracked), l.records.end()};
}

namespace {
std::vector<std::string> neverCalled() {
    auto& l = ledger();
    std::lock_guard lock(l.mutex);
    std::vector<std::string> out;
    for (size_t i = l.firstTracked; i < l.records.size(); ++i) {
        if (l.records[i].calls == 0 && !l.records[i].released) {
            out.push_back("completion handler of " + l.records[i].name + " was never called");
        }
    }
    return out;
}
} // namespace

std::vector<std::string> CompletionHandlers::problems() {
    std::vector<std::string> out;
    {
        auto& l = ledger();
        std::lock_guard lock(l.mutex);
        out = l.misuse;
    }
    auto pending = neverCalled();
    out.insert(out.end(), pending.begin(), pending.end());
    return out;
}

void CompletionHandlers::reset() {
    auto& l = ledger();
    std::lock_guard lock(l.mutex);
    l.misuse.clear();
    l.firstTracked = l.records.size();
}

} // namespace plat::sim
