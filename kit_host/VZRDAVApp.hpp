#pragma once
// Asks the app-services core, found by name at run time, whether automatic data collection is on. The
// core may be absent; then, as when it has no default app, collection counts as on.

class VZRDAVApp {
public:
    static bool isDataCollectionDefaultEnabled();
};
