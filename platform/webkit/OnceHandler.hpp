#pragma once
// Completion handlers the web view hands to the app (policy decisions, panel answers) must be called
// exactly once. The wrapper passes the first call on and records a second call, or a release without any
// call, in the web recorder, so tests see the fault instead of a silently stuck page.

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace plat::detail {

class OnceGuard {
public:
    explicit OnceGuard(std::string what) : what_(std::move(what)) {}
    ~OnceGuard();
    OnceGuard(const OnceGuard&) = delete;
    OnceGuard& operator=(const OnceGuard&) = delete;
    // True on the first call; later calls are recorded as faults and give false.
    bool enter();

private:
    std::string what_;
    int calls_ = 0;
};

template <class... A>
std::function<void(A...)> onceHandler(std::string what, std::type_identity_t<std::function<void(A...)>> fn) {
    auto guard = std::make_shared<OnceGuard>(std::move(what));
    return [guard, fn = std::move(fn)](A... args) {
        if (guard->enter() && fn) {
            fn(std::move(args)...);
        }
    };
}

} // namespace plat::detail
