#pragma once
// The shell's network check: asked at the moment an answer is needed, it keeps no state and listens for
// no changes.

class Helper {
public:
    Helper() = delete;

    // True when the default route is reachable without first establishing a connection. An unreadable
    // state counts as unreachable.
    static bool checkNetworkReachable();
};
