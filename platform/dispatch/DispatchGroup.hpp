#pragma once
// Tracks a set of work items to wait for them or be told when all are done. A cheap copyable handle:
// copies share one group.

#include "platform/dispatch/DispatchQueue.hpp"

#include <functional>
#include <memory>

namespace plat {

class DispatchGroup {
public:
    DispatchGroup();

    void enter();
    // Leaving more often than entering is fatal.
    void leave();
    void async(const DispatchQueuePtr& queue, std::function<void()> fn);
    // fn runs on queue once the group is empty (at once, asynchronously, when it already is).
    void notify(const DispatchQueuePtr& queue, std::function<void()> fn);
    // False when timeoutSeconds passed first.
    bool wait(double timeoutSeconds = kWaitForever) const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace plat
