#pragma once
// The kit host: the app starts it once at launch with the kits it wants (classes declaring "ZUVKit");
// it checks the kits and initialises each, in order. Its shared object lives for the process.

#include "platform/runtime/Class.hpp"

#include "platform/foundation/NeverDestroyed.hpp"

#include <atomic>
#include <mutex>
#include <vector>

class Zuvadu {
public:
    static constexpr const char* kExceptionName = "ZUVException";

    static Zuvadu& sharedSDK();
    // Only the first call does anything; later ones log a warning. Raises ZUVException for a class that
    // is not a kit.
    static Zuvadu& with(const std::vector<plat::rt::Class*>& kits);

    std::vector<plat::rt::Class*> kitClasses() const;

    Zuvadu(const Zuvadu&) = delete;
    Zuvadu& operator=(const Zuvadu&) = delete;

private:
    Zuvadu() = default;
    friend class plat::NeverDestroyed<Zuvadu>;

    static void validateFABKitConformance(const std::vector<plat::rt::Class*>& kits);
    static void initializeKit(plat::rt::Class* kit);

    std::atomic<bool> withCalled_{false};
    mutable std::mutex mutex_;
    std::vector<plat::rt::Class*> kitClasses_;
};
