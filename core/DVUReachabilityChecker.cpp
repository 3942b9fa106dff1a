#include "core/DVUReachabilityChecker.hpp"

#include "core/DVULogger.hpp"

namespace {

constexpr const char* kReachabilityService = "[DVUReachability]";

DVUReachabilityRef dvuReachabilityCreate(const char* host) {
    return plat::Reachability::withName(host ? host : "");
}

plat::Reachability* dvuReachabilityOf(const DVUReachabilityRef& ref) {
    return static_cast<plat::Reachability*>(ref.get());
}

bool dvuReachabilitySetCallback(const DVUReachabilityRef& ref, DVUReachabilityCallback callback) {
    return ref && dvuReachabilityOf(ref)->setCallback(std::move(callback));
}

bool dvuReachabilitySchedule(const DVUReachabilityRef& ref) {
    return ref && dvuReachabilityOf(ref)->scheduleOnMainLoop();
}

bool dvuReachabilityUnschedule(const DVUReachabilityRef& ref) {
    return ref && dvuReachabilityOf(ref)->unschedule();
}

void dvuReachabilityRelease(const DVUReachabilityRef& ref) {
    // The reference is dropped by its owner; the service's callback goes with it.
    if (ref) {
        dvuReachabilityOf(ref)->setCallback({});
    }
}

constexpr DVUReachabilityApi kDVUDefaultReachabilityApi = {
    dvuReachabilityCreate, dvuReachabilitySetCallback, dvuReachabilitySchedule, dvuReachabilityUnschedule,
    dvuReachabilityRelease,
};

const char* dvuReachabilityStatusWord(DVUReachabilityStatus status) {
    switch (status) {
    case kDVUReachabilityNotReachable:
        return "Disconnected";
    case kDVUReachabilityViaWifi:
    case kDVUReachabilityViaCellular:
        return "Connected";
    default:
        return "Unknown";
    }
}

} // namespace

const DVUReachabilityApi* DVUDefaultReachabilityApi() {
    return &kDVUDefaultReachabilityApi;
}

std::shared_ptr<DVUReachabilityChecker> DVUReachabilityChecker::initWithReachabilityDelegate(
    std::weak_ptr<DVUReachabilityDelegate> delegate, const std::string& host) {
    if (host.empty()) {
        DVULoggerWriteError(kReachabilityService, false, "I-REA902001", "Invalid host specified");
        return nullptr;
    }
    auto checker = std::make_shared<DVUReachabilityChecker>(Private{}, host);
    checker->setReachabilityDelegate(std::move(delegate));
    return checker;
}

DVUReachabilityChecker::DVUReachabilityChecker(Private, std::string host)
    : reachabilityApi_(DVUDefaultReachabilityApi()), host_(std::move(host)) {}

DVUReachabilityChecker::~DVUReachabilityChecker() {
    reachabilityDelegate_.reset();
    stop();
}

void DVUReachabilityChecker::setReachabilityDelegate(std::weak_ptr<DVUReachabilityDelegate> delegate) {
    reachabilityDelegate_ = std::move(delegate);
}

void DVUReachabilityChecker::refuseNonConformingDelegate() {
    DVULoggerWriteError(kReachabilityService, false, "I-NET902005",
                        "Reachability delegate doesn't conform to Reachability protocol.");
}

void DVUReachabilityChecker::setReachabilityApi(const DVUReachabilityApi* api) {
    if (isActive()) {
        DVULoggerWriteError(kReachabilityService, false, "I-REA902000",
                            "Cannot change reachability API while reachability is running. Call stop first.");
        return;
    }
    reachabilityApi_ = api ? api : DVUDefaultReachabilityApi();
}

bool DVUReachabilityChecker::start() {
    if (!reachability_) {
        auto ref = reachabilityApi_->createWithName(host_.c_str());
        if (!ref) {
            return false;
        }
        // The service holds the checker weakly: a change delivered after it is gone finds nobody.
        std::weak_ptr<DVUReachabilityChecker> weakSelf = weak_from_this();
        bool ok = reachabilityApi_->setCallback(ref, [weakSelf](uint32_t flags) {
            if (auto self = weakSelf.lock()) {
                self->reachabilityFlagsChanged(flags);
            }
        });
        if (ok) {
            ok = reachabilityApi_->scheduleWithRunLoop(ref);
        }
        if (!ok) {
            reachabilityApi_->release(ref);
            DVULoggerWriteError(kReachabilityService, false, "I-REA902002", "Failed to start reachability handle");
            return false;
        }
        reachability_ = std::move(ref);
    }
    DVULoggerWriteDebug(kReachabilityService, false, "I-REA902003", "Monitoring the network status");
    return true;
}

void DVUReachabilityChecker::stop() {
    if (!reachability_) {
        return;
    }
    reachabilityStatus_ = kDVUReachabilityUnknown;
    reachabilityApi_->unscheduleFromRunLoop(reachability_);
    reachabilityApi_->release(reachability_);
    reachability_.reset();
}

DVUReachabilityStatus DVUReachabilityChecker::statusForFlags(uint32_t flags) {
    const bool cellular = flags & plat::kReachabilityFlagsIsWWAN;
    if (!(flags & plat::kReachabilityFlagsReachable)) {
        return kDVUReachabilityNotReachable;
    }
    if (!(flags & plat::kReachabilityFlagsConnectionRequired)) {
        return cellular ? kDVUReachabilityViaCellular : kDVUReachabilityViaWifi;
    }
    const bool automatic =
        flags & (plat::kReachabilityFlagsConnectionOnTraffic | plat::kReachabilityFlagsConnectionOnDemand);
    if (!automatic || (flags & plat::kReachabilityFlagsInterventionRequired)) {
        return kDVUReachabilityNotReachable;
    }
    return cellular ? kDVUReachabilityViaCellular : kDVUReachabilityViaWifi;
}

void DVUReachabilityChecker::reachabilityFlagsChanged(uint32_t flags) {
    DVUReachabilityStatus status = statusForFlags(flags);
    if (status == reachabilityStatus_) {
        return;
    }
    DVULoggerWriteDebug(kReachabilityService, false, "I-REA902004", "Network status has changed. Code:%@, status:%@",
                        std::to_string(status), dvuReachabilityStatusWord(status));
    reachabilityStatus_ = status;
    if (auto delegate = reachabilityDelegate_.lock()) {
        delegate->reachabilityStatusChanged(*this, status);
    }
}
