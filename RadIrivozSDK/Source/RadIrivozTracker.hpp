#pragma once
// How long the app is in the foreground, reported to the push service once 30 s have added up (for the push
// player and the e-mail player), and the player refresh when the app comes back. Class methods over
// process-wide state; the application-delegate hooks call onFocus.

class RadIrivozTracker {
public:
    RadIrivozTracker() = delete;

    // True when the app resigns active or terminates, false when it became active.
    static void onFocus(bool toBackground);
    // Foreground seconds not yet reported ("RV_UNSENT_ACTIVE_TIME"); 0 when none are stored.
    static double getUnsentActiveTime();
    static void saveUnsentActiveTime(double seconds);
    static void beginBackgroundFocusTask();
    static void endBackgroundFocusTask();
    static void setLastOpenedTime(double secondsSince1970);
    static void resetLocals();
};
