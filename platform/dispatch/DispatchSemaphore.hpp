#pragma once
// A counting semaphore. A cheap copyable handle: copies share one semaphore.

#include "platform/dispatch/DispatchQueue.hpp"

#include <memory>

namespace plat {

class DispatchSemaphore {
public:
    explicit DispatchSemaphore(long value = 0);

    void signal() const;
    // False when timeoutSeconds passed before a signal was available.
    bool wait(double timeoutSeconds = kWaitForever) const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace plat
