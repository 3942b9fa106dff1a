#pragma once
// The blocking wait every stand-in uses (semaphores, groups, operation queues, waiting posts): on a
// real thread it blocks; on the main thread of the virtual backend it runs other ready work and
// moves virtual time up to the deadline instead, so answers given "on another thread" arrive.

#include "platform/dispatch/DispatchQueue.hpp"

#include <condition_variable>
#include <functional>
#include <mutex>

namespace plat {

// Waits until ready() - always called with m held - returns true, or timeoutSeconds pass.
// Returns false on time-out.
bool waitFor(std::mutex& m, std::condition_variable& cv, const std::function<bool()>& ready,
             double timeoutSeconds = kWaitForever);

// Call after changing, under m, what a waiter's ready() looks at.
void notifyWaiters(std::condition_variable& cv);

} // namespace plat
