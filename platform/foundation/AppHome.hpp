#pragma once
// The simulated app's sandbox container (the app home) and the device folder beside it. Deleting the app home
// and launching again behaves like reinstalling the app; the device folder (keychain, app groups) survives.

#include "platform/foundation/Error.hpp"

#include <string>
#include <string_view>

namespace plat {

class AppHome {
public:
    // Sets the app home for this process (`--home`, the test helper). Paths handed out before keep their
    // value.
    static void configure(std::string path);
    // The configured home, else PORTAL_APP_HOME, else `$XDG_DATA_HOME/portal-app/home`
    // (`~/.local/share/portal-app/home` without XDG_DATA_HOME). Never ends with '/'.
    static std::string path();
    // `<home>.device`: keychain, app groups, vendor identifier, registrar state.
    static std::string deviceFolder();
    // `<device>/AppGroups/<group>`, the container an app and its extensions share.
    static std::string appGroupContainer(std::string_view group);

    static std::string documents();          // <home>/Documents
    static std::string library();            // <home>/Library
    static std::string applicationSupport(); // <home>/Library/Application Support
    static std::string caches();             // <home>/Library/Caches
    static std::string preferences();        // <home>/Library/Preferences
    static std::string cookies();            // <home>/Library/Cookies
    static std::string tmp();                // <home>/tmp

    // Creates the home (0700) with its folders, tmp/ (0700) and the device folder (0700). Done at boot;
    // existing folders are kept as they are.
    static Result<void> createFolders();
};

} // namespace plat
