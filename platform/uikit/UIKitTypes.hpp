#pragma once
// Small value types, constants and notification names of the simulated UI framework.

#include <cstdint>

namespace plat {

struct CGPoint {
    double x = 0, y = 0;
};
struct CGSize {
    double width = 0, height = 0;
};
struct CGRect {
    CGPoint origin;
    CGSize size;
    friend bool operator==(const CGRect& a, const CGRect& b) {
        return a.origin.x == b.origin.x && a.origin.y == b.origin.y && a.size.width == b.size.width &&
               a.size.height == b.size.height;
    }
};

enum class UIApplicationState : int64_t { active = 0, inactive = 1, background = 2 };
enum class UIBackgroundFetchResult : int64_t { newData = 0, noData = 1, failed = 2 };
enum class UIInterfaceOrientation : int64_t {
    unknown = 0,
    portrait = 1,
    portraitUpsideDown = 2,
    landscapeLeft = 4,
    landscapeRight = 3
};

using UIBackgroundTaskIdentifier = uint64_t;
inline constexpr UIBackgroundTaskIdentifier UIBackgroundTaskInvalid = 0;

inline constexpr uint64_t UIViewAutoresizingNone = 0;
inline constexpr uint64_t UIViewAutoresizingFlexibleLeftMargin = 1;
inline constexpr uint64_t UIViewAutoresizingFlexibleWidth = 2;
inline constexpr uint64_t UIViewAutoresizingFlexibleRightMargin = 4;
inline constexpr uint64_t UIViewAutoresizingFlexibleTopMargin = 8;
inline constexpr uint64_t UIViewAutoresizingFlexibleHeight = 16;
inline constexpr uint64_t UIViewAutoresizingFlexibleBottomMargin = 32;
inline constexpr uint64_t UIControlEventTouchUpInside = 64;
inline constexpr uint64_t UIControlEventValueChanged = 4096;

inline constexpr const char* UIApplicationOpenSettingsURLString = "app-settings:";

// Notification names.
inline constexpr const char* UIApplicationDidFinishLaunchingNotification =
    "UIApplicationDidFinishLaunchingNotification";
inline constexpr const char* UIApplicationDidBecomeActiveNotification =
    "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* UIApplicationWillResignActiveNotification =
    "UIApplicationWillResignActiveNotification";
inline constexpr const char* UIApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* UIApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* UIApplicationWillTerminateNotification =
    "UIApplicationWillTerminateNotification";
inline constexpr const char* UIApplicationDidReceiveMemoryWarningNotification =
    "UIApplicationDidReceiveMemoryWarningNotification";
inline constexpr const char* UIDeviceOrientationDidChangeNotification =
    "UIDeviceOrientationDidChangeNotification";
inline constexpr const char* UIApplicationDidChangeStatusBarOrientationNotification =
    "UIApplicationDidChangeStatusBarOrientationNotification";
inline constexpr const char* UIWindowDidBecomeKeyNotification = "UIWindowDidBecomeKeyNotification";
inline constexpr const char* UIWindowDidResignKeyNotification = "UIWindowDidResignKeyNotification";

// Launch-option keys.
inline constexpr const char* UIApplicationLaunchOptionsURLKey = "UIApplicationLaunchOptionsURLKey";
inline constexpr const char* UIApplicationLaunchOptionsRemoteNotificationKey =
    "UIApplicationLaunchOptionsRemoteNotificationKey";
inline constexpr const char* UIApplicationLaunchOptionsLocalNotificationKey =
    "UIApplicationLaunchOptionsLocalNotificationKey";
inline constexpr const char* UIApplicationLaunchOptionsUserActivityDictionaryKey =
    "UIApplicationLaunchOptionsUserActivityDictionaryKey";
inline constexpr const char* UIApplicationLaunchOptionsUserActivityTypeKey =
    "UIApplicationLaunchOptionsUserActivityTypeKey";
inline constexpr const char* UIApplicationLaunchOptionsSourceApplicationKey =
    "UIApplicationLaunchOptionsSourceApplicationKey";

// Open-URL option keys.
inline constexpr const char* UIApplicationOpenURLOptionsSourceApplicationKey =
    "UIApplicationOpenURLOptionsSourceApplicationKey";
inline constexpr const char* UIApplicationOpenURLOptionsAnnotationKey =
    "UIApplicationOpenURLOptionsAnnotationKey";

} // namespace plat
