#include "ZazududIda/ZDAActivity.hpp"

#include "ZazududIda/ZDAApplication.hpp"

#include "platform/foundation/ProcessInfo.hpp"
#include "platform/uikit/UIDevice.hpp"

std::shared_ptr<ZDAActivity> ZDAActivity::beginActivity(const std::string& reason, uint64_t options,
                                                        std::function<void()> expirationHandler) {
    auto activity = std::make_shared<ZDAActivity>(beginActivityIfAvailable(reason, options), options, reason);
    if (options & kTerminationOptionsMask) {
        activity->beginBackgroundTaskWithName(reason, std::move(expirationHandler));
    }
    return activity;
}

std::shared_ptr<ZDAActivity> ZDAActivity::beginActivity(const std::string& reason, uint64_t options) {
    return beginActivity(reason, options, [] {});
}

void ZDAActivity::performActivity(const std::string& reason, uint64_t options,
                                  const std::function<void(ZDAActivity&)>& block) {
    auto activity = beginActivity(reason, options);
    if (block) {
        block(*activity);
    }
    activity->end();
}

std::optional<uint64_t> ZDAActivity::beginActivityIfAvailable(const std::string& reason, uint64_t options) {
    return plat::ProcessInfo::processInfo().beginActivity(options, reason);
}

ZDAActivity::ZDAActivity(std::optional<uint64_t> processInfoToken, uint64_t options, std::string reason)
    : options_(options), reason_(std::move(reason)), processInfoToken_(processInfoToken) {}

ZDAActivity::~ZDAActivity() {
    end();
}

plat::UIBackgroundTaskIdentifier ZDAActivity::beginBackgroundTaskWithName(const std::string& name,
                                                                          std::function<void()> expirationHandler) {
    auto app = sharedAppInstance();
    if (!supportsBackgroundTasks() || !app) {
        return plat::UIBackgroundTaskInvalid;
    }
    std::weak_ptr<ZDAActivity> weak = weak_from_this();
    const plat::UIBackgroundTaskIdentifier id =
        app->beginBackgroundTaskWithName(name, [weak, handler = std::move(expirationHandler)] {
            if (handler) {
                handler();
            }
            if (auto self = weak.lock()) {
                self->endAndInvalidateBackgroundTask();
            }
        });
    std::lock_guard lock(mutex_);
    backgroundTaskIdentifier_ = id;
    return id;
}

void ZDAActivity::end() {
    endAndInvalidateBackgroundTask();
    endAndInvalidateInternalActivity();
}

void ZDAActivity::endAndInvalidateBackgroundTask() {
    plat::UIBackgroundTaskIdentifier id = plat::UIBackgroundTaskInvalid;
    {
        std::lock_guard lock(mutex_);
        std::swap(id, backgroundTaskIdentifier_);
    }
    if (id == plat::UIBackgroundTaskInvalid) {
        return;
    }
    if (auto app = sharedAppInstance()) {
        app->endBackgroundTask(id);
    }
}

void ZDAActivity::endAndInvalidateInternalActivity() {
    std::optional<uint64_t> token;
    {
        std::lock_guard lock(mutex_);
        std::swap(token, processInfoToken_);
    }
    if (token) {
        plat::ProcessInfo::processInfo().endActivity(*token);
    }
}

std::shared_ptr<plat::UIApplication> ZDAActivity::sharedAppInstance() {
    return ZDAApplication::hostApplication().appSharedInstance();
}

bool ZDAActivity::supportsBackgroundTasks() {
    return plat::UIDevice::currentDevice().isMultitaskingSupported();
}

std::optional<uint64_t> ZDAActivity::processInfoToken() const {
    std::lock_guard lock(mutex_);
    return processInfoToken_;
}

plat::UIBackgroundTaskIdentifier ZDAActivity::backgroundTaskIdentifier() const {
    std::lock_guard lock(mutex_);
    return backgroundTaskIdentifier_;
}

std::shared_ptr<ZDAActivityOperation> ZDAActivityOperation::operationByStartingActivityName(const std::string& reason,
                                                                                           uint64_t options) {
    auto operation = std::make_shared<ZDAActivityOperation>();
    operation->startActivityWithName(reason, options);
    return operation;
}

void ZDAActivityOperation::startActivityWithName(const std::string& reason, uint64_t options) {
    activity_ = ZDAActivity::beginActivity(reason, options);
}

void ZDAActivityOperation::main() {
    if (activity_) {
        activity_->end();
    }
}
