#pragma once
// One-time initialisation: plat::once for the usual case, ResettableOnce where a failed start must
// let the next caller try again.

#include <functional>
#include <mutex>

namespace plat {

using OnceFlag = std::once_flag;

template <class F> void once(OnceFlag& flag, F&& fn) {
    std::call_once(flag, std::forward<F>(fn));
}

class ResettableOnce {
public:
    // Runs fn unless a previous call ran it (and no reset() came since). Callers wait for a running fn.
    void call(const std::function<void()>& fn);
    // Lets the next call run again, e.g. after the first attempt failed.
    void reset();
    bool hasRun() const;

private:
    mutable std::mutex mutex_;
    bool done_ = false;
};

} // namespace plat
