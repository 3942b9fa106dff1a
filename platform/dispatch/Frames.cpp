#include "platform/dispatch/DispatchInternal.hpp"
#include "platform/dispatch/Thread.hpp"

#include <cstdio>
#include <cstdlib>

namespace plat::detail {

void fatal(const std::string& message) {
    std::fprintf(stderr, "[dispatch] fatal: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

std::vector<Frame>& frames() {
    thread_local std::vector<Frame> stack;
    return stack;
}

namespace {
void publishLabel() {
    auto& f = frames();
    ThreadLabels::setCurrent(f.empty() ? nullptr : f.back().queue->label.c_str());
}
} // namespace

FrameScope::FrameScope(QueueCore* q, bool held, bool viaSync) {
    frames().push_back(Frame{q, held, viaSync});
    publishLabel();
}

FrameScope::~FrameScope() {
    frames().pop_back();
    publishLabel();
}

void checkSyncTarget(const QueueCore& target) {
    if (target.kind == QueueKind::global) {
        return;
    }
    for (const Frame& f : frames()) {
        if (f.queue == &target && f.held) {
            fatal("sync onto queue \"" + target.label +
                  "\" from work already running on it (directly or through a chain of sync calls) would "
                  "deadlock");
        }
    }
}

} // namespace plat::detail
