#pragma once
// What the app asked of the simulated UI: badge values, opened URLs, alerts shown, window roots, background
// tasks, hidden flags and indicator states. Tests read it through sim::App; each event is also reported as
// a `[device]` line.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/uikit/UIKitTypes.hpp"
#include "platform/uikit/UILegacyNotifications.hpp"

namespace plat {
class UIView;
}

namespace plat::sim {

struct AlertRecord {
    std::string title;
    std::string message;
    std::vector<std::string> actions; // button titles in display order
    bool legacy = false;              // a UIAlertView
    bool shown = true;                // false: the presentation failed
};

struct BackgroundTaskRecord {
    UIBackgroundTaskIdentifier id = UIBackgroundTaskInvalid;
    std::string name;
    bool ended = false;
    bool expired = false;
};

struct OpenedURL {
    std::string url;
    bool legacy = false; // openURL: rather than openURL:options:completionHandler:
};

struct SettingsRecord {
    uint64_t requestedTypes = 0;
    UIUserNotificationSettings granted; // what the user allowed, with the categories registered
};

class UIRecorder {
public:
    static UIRecorder& shared();

    void badge(int64_t value);
    void openedURL(const std::string& url, bool legacy);
    void canOpenURLAsked(const std::string& url);
    void alert(AlertRecord record);
    void windowRoot(const std::string& className);
    void screenPushed(const std::string& className);
    void screenPopped(const std::string& className);
    void viewHidden(const UIView& view, bool hidden);
    void indicator(bool animating);
    void refreshing(bool refreshing);
    UIBackgroundTaskIdentifier beginTask(const std::string& name);
    // False for an unknown or already ended task.
    bool endTask(UIBackgroundTaskIdentifier id);
    void expiredTask(UIBackgroundTaskIdentifier id);
    void settingsRegistered(uint64_t requestedTypes, const UIUserNotificationSettings& granted);
    void localNotificationScheduled(const UILocalNotification& notification);
    void localNotificationsCancelled();
    void fetchCompleted(UIBackgroundFetchResult result);
    void note(const std::string& line); // a free-form event (screens installed, presentations)

    std::vector<int64_t> badgeHistory() const;
    std::vector<OpenedURL> openedURLs() const;
    std::vector<std::string> canOpenURLQuestions() const;
    std::vector<AlertRecord> alerts() const;
    std::vector<std::string> windowRoots() const;
    std::vector<std::string> pushedScreens() const;
    std::vector<std::string> poppedScreens() const; // topmost first when several go at once
    std::vector<std::pair<std::string, bool>> hiddenChanges() const;
    std::vector<bool> indicatorStates() const;
    std::vector<bool> refreshStates() const;
    std::vector<BackgroundTaskRecord> backgroundTasks() const;
    std::vector<SettingsRecord> settingsRegistrations() const;
    std::vector<UILocalNotification> localNotificationsScheduled() const; // every one, cancelled or not
    int64_t localNotificationCancels() const;
    std::vector<UIBackgroundFetchResult> fetchResults() const;
    std::vector<std::string> events() const; // every event, as its [device] line without the prefix

    // Forgets everything recorded, so that a test sees only what it caused itself. Background-task
    // identifiers start again at 1.
    void reset();

private:
    void event(const std::string& line);

    mutable std::mutex mutex_;
    std::vector<int64_t> badges_;
    std::vector<OpenedURL> opened_;
    std::vector<std::string> canOpen_;
    std::vector<AlertRecord> alerts_;
    std::vector<std::string> roots_;
    std::vector<std::string> pushed_;
    std::vector<std::string> popped_;
    std::vector<std::pair<std::string, bool>> hidden_;
    std::vector<bool> indicators_;
    std::vector<bool> refreshes_;
    std::vector<BackgroundTaskRecord> tasks_;
    std::vector<SettingsRecord> settings_;
    std::vector<UILocalNotification> localNotifications_;
    int64_t localCancels_ = 0;
    std::vector<UIBackgroundFetchResult> fetchResults_;
    std::vector<std::string> events_;
};

} // namespace plat::sim
