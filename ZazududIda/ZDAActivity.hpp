#pragma once
// Keeps the process alive while the event kit records and uploads: a process activity and, when the options
// ask the system not to terminate the process, a background task. An activity lasts until it is ended (or
// destroyed, or its background task expires); ending twice does nothing more. ZDAActivityOperation ends its
// activity when it runs, so it can be made to depend on the work it protects.

#include "platform/dispatch/Operation.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIKitTypes.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class ZDAActivity : public std::enable_shared_from_this<ZDAActivity> {
public:
    // The process-activity bits that keep the system from terminating the process, suddenly or automatically.
    static constexpr uint64_t kTerminationOptionsMask = 0xC000;

    static std::shared_ptr<ZDAActivity> beginActivity(const std::string& reason, uint64_t options,
                                                      std::function<void()> expirationHandler);
    static std::shared_ptr<ZDAActivity> beginActivity(const std::string& reason, uint64_t options);
    static void performActivity(const std::string& reason, uint64_t options,
                                const std::function<void(ZDAActivity&)>& block);
    // The process activity's token; none where the platform offers none.
    static std::optional<uint64_t> beginActivityIfAvailable(const std::string& reason, uint64_t options);

    ZDAActivity(std::optional<uint64_t> processInfoToken, uint64_t options, std::string reason);
    ~ZDAActivity();
    ZDAActivity(const ZDAActivity&) = delete;
    ZDAActivity& operator=(const ZDAActivity&) = delete;

    plat::UIBackgroundTaskIdentifier beginBackgroundTaskWithName(const std::string& name,
                                                                 std::function<void()> expirationHandler);
    void end();
    void endAndInvalidateBackgroundTask();
    void endAndInvalidateInternalActivity();
    static std::shared_ptr<plat::UIApplication> sharedAppInstance();
    static bool supportsBackgroundTasks();

    std::optional<uint64_t> processInfoToken() const;
    uint64_t options() const { return options_; }
    const std::string& reason() const { return reason_; }
    plat::UIBackgroundTaskIdentifier backgroundTaskIdentifier() const;

private:
    const uint64_t options_;
    const std::string reason_;
    mutable std::mutex mutex_;
    std::optional<uint64_t> processInfoToken_;
    plat::UIBackgroundTaskIdentifier backgroundTaskIdentifier_ = plat::UIBackgroundTaskInvalid;
};

class ZDAActivityOperation : public plat::Operation {
public:
    static std::shared_ptr<ZDAActivityOperation> operationByStartingActivityName(const std::string& reason,
                                                                                 uint64_t options);
    const std::shared_ptr<ZDAActivity>& activity() const { return activity_; }
    void main() override;

private:
    void startActivityWithName(const std::string& reason, uint64_t options);
    std::shared_ptr<ZDAActivity> activity_;
};
