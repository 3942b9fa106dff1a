#include "platform/uikit/UIRecorder.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIView.hpp"

namespace plat::sim {

UIRecorder& UIRecorder::shared() {
    static NeverDestroyed<UIRecorder> instance;
    return *instance;
}

void UIRecorder::event(const std::string& line) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back(line);
    }
    printDevice(line);
}

void UIRecorder::badge(int64_t value) {
    {
        std::lock_guard lock(mutex_);
        badges_.push_back(value);
    }
    event("badge " + std::to_string(value));
}

void UIRecorder::openedURL(const std::string& url, bool legacy) {
    {
        std::lock_guard lock(mutex_);
        opened_.push_back(OpenedURL{url, legacy});
    }
    event("open URL " + url);
}

void UIRecorder::canOpenURLAsked(const std::string& url) {
    std::lock_guard lock(mutex_);
    canOpen_.push_back(url);
}

void UIRecorder::alert(AlertRecord record) {
    std::string line =
        std::string(record.shown ? "alert shown: " : "alert not shown (no window): ") + record.title;
    if (!record.message.empty()) {
        line += " - " + record.message;
    }
    for (const auto& action : record.actions) {
        line += " [" + action + "]";
    }
    {
        std::lock_guard lock(mutex_);
        alerts_.push_back(std::move(record));
    }
    event(line);
}

void UIRecorder::windowRoot(const std::string& className) {
    {
        std::lock_guard lock(mutex_);
        roots_.push_back(className);
    }
    event("screen installed: " + className);
}

void UIRecorder::screenPushed(const std::string& className) {
    {
        std::lock_guard lock(mutex_);
        pushed_.push_back(className);
    }
    event("pushed " + className);
}

void UIRecorder::screenPopped(const std::string& className) {
    {
        std::lock_guard lock(mutex_);
        popped_.push_back(className);
    }
    event("popped " + className);
}

void UIRecorder::viewHidden(const UIView& view, bool hidden) {
    std::lock_guard lock(mutex_);
    hidden_.emplace_back(rt::className(view), hidden);
}

void UIRecorder::indicator(bool animating) {
    std::lock_guard lock(mutex_);
    indicators_.push_back(animating);
}

void UIRecorder::refreshing(bool refreshing) {
    std::lock_guard lock(mutex_);
    refreshes_.push_back(refreshing);
}

void UIRecorder::reset() {
    std::lock_guard lock(mutex_);
    badges_.clear();
    opened_.clear();
    canOpen_.clear();
    alerts_.clear();
    roots_.clear();
    pushed_.clear();
    popped_.clear();
    hidden_.clear();
    indicators_.clear();
    refreshes_.clear();
    tasks_.clear();
    settings_.clear();
    localNotifications_.clear();
    localCancels_ = 0;
    fetchResults_.clear();
    events_.clear();
}

UIBackgroundTaskIdentifier UIRecorder::beginTask(const std::string& name) {
    std::lock_guard lock(mutex_);
    const UIBackgroundTaskIdentifier id = tasks_.size() + 1;
    tasks_.push_back(BackgroundTaskRecord{id, name, false, false});
    return id;
}

bool UIRecorder::endTask(UIBackgroundTaskIdentifier id) {
    std::lock_guard lock(mutex_);
    if (id == UIBackgroundTaskInvalid || id > tasks_.size() || tasks_[id - 1].ended) {
        return false;
    }
    tasks_[id - 1].ended = true;
    return true;
}

void UIRecorder::expiredTask(UIBackgroundTaskIdentifier id) {
    std::lock_guard lock(mutex_);
    if (id != UIBackgroundTaskInvalid && id <= tasks_.size()) {
        tasks_[id - 1].expired = true;
    }
}

void UIRecorder::settingsRegistered(uint64_t requestedTypes, const UIUserNotificationSettings& granted) {
    {
        std::lock_guard lock(mutex_);
        settings_.push_back(SettingsRecord{requestedTypes, granted});
    }
    event("notification settings registered: types " + std::to_string(requestedTypes) + ", allowed " +
          std::to_string(granted.types));
}

void UIRecorder::localNotificationScheduled(const UILocalNotification& notification) {
    {
        std::lock_guard lock(mutex_);
        localNotifications_.push_back(notification);
    }
    event("local notification scheduled: " + notification.alertBody);
}

void UIRecorder::localNotificationsCancelled() {
    {
        std::lock_guard lock(mutex_);
        ++localCancels_;
    }
    event("local notifications cancelled");
}

void UIRecorder::fetchCompleted(UIBackgroundFetchResult result) {
    {
        std::lock_guard lock(mutex_);
        fetchResults_.push_back(result);
    }
    event("fetch completed: " + std::to_string(static_cast<int64_t>(result)));
}

void UIRecorder::note(const std::string& line) {
    event(line);
}

std::vector<int64_t> UIRecorder::badgeHistory() const {
    std::lock_guard lock(mutex_);
    return badges_;
}
std::vector<OpenedURL> UIRecorder::openedURLs() const {
    std::lock_guard lock(mutex_);
    return opened_;
}
std::vector<std::string> UIRecorder::canOpenURLQuestions() const {
    std::lock_guard lock(mutex_);
    return canOpen_;
}
std::vector<AlertRecord> UIRecorder::alerts() const {
    std::lock_guard lock(mutex_);
    return alerts_;
}
std::vector<std::string> UIRecorder::windowRoots() const {
    std::lock_guard lock(mutex_);
    return roots_;
}
std::vector<std::string> UIRecorder::pushedScreens() const {
    std::lock_guard lock(mutex_);
    return pushed_;
}
std::vector<std::string> UIRecorder::poppedScreens() const {
    std::lock_guard lock(mutex_);
    return popped_;
}
std::vector<std::pair<std::string, bool>> UIRecorder::hiddenChanges() const {
    std::lock_guard lock(mutex_);
    return hidden_;
}
std::vector<bool> UIRecorder::indicatorStates() const {
    std::lock_guard lock(mutex_);
    return indicators_;
}
std::vector<bool> UIRecorder::refreshStates() const {
    std::lock_guard lock(mutex_);
    return refreshes_;
}
std::vector<BackgroundTaskRecord> UIRecorder::backgroundTasks() const {
    std::lock_guard lock(mutex_);
    return tasks_;
}
std::vector<SettingsRecord> UIRecorder::settingsRegistrations() const {
    std::lock_guard lock(mutex_);
    return settings_;
}
std::vector<UILocalNotification> UIRecorder::localNotificationsScheduled() const {
    std::lock_guard lock(mutex_);
    return localNotifications_;
}
int64_t UIRecorder::localNotificationCancels() const {
    std::lock_guard lock(mutex_);
    return localCancels_;
}
std::vector<UIBackgroundFetchResult> UIRecorder::fetchResults() const {
    std::lock_guard lock(mutex_);
    return fetchResults_;
}
std::vector<std::string> UIRecorder::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

} // namespace plat::sim
