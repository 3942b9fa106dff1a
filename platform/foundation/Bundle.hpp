#pragma once
// An app bundle: a folder with Info.plist and resources. Resource look-ups never hand out a path outside the
// bundle (no `..`, no absolute names, no symlinks that lead out). The main bundle is set at boot (`--bundle`)
// or by a test fixture.

#include "platform/foundation/Value.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

class Bundle {
public:
    // Opens any folder; a missing or unreadable Info.plist gives a bundle without info dictionary.
    explicit Bundle(std::string path);

    // The main bundle: the one set by setMain, else an empty bundle (no path, no info).
    static std::shared_ptr<const Bundle> main();
    static void setMain(std::string path);
    // A class the platform's own frameworks registered lives in their system bundle; every other class (the
    // app's) in the main bundle.
    static std::shared_ptr<const Bundle> forClass(std::string_view className);
    // Set by a framework stand-in when it registers its classes.
    static void registerSystemClass(std::string_view className);
    // The frameworks' bundle ("/System/Library/Frameworks").
    static std::shared_ptr<const Bundle> system();

    const std::string& bundlePath() const { return path_; }
    std::optional<std::string> bundleIdentifier() const; // CFBundleIdentifier
    const std::optional<Dictionary>& infoDictionary() const { return info_; }
    std::optional<Value> objectForInfoDictionaryKey(std::string_view key) const;
    std::optional<std::string> name() const;               // CFBundleName
    std::optional<std::string> version() const;            // CFBundleVersion
    std::optional<std::string> shortVersionString() const; // CFBundleShortVersionString
    std::optional<std::string> executableName() const;     // CFBundleExecutable
    // NSExtension in the info dictionary: the process is an app extension.
    bool isAppExtension() const;

    // `<name>.<type>` (or `name` alone when type is empty) in `subdirectory`, searched in the bundle root,
    // then `Base.lproj`, then `en.lproj`. None when absent or when the path would leave the bundle.
    std::optional<std::string> pathForResource(std::string_view name, std::string_view type,
                                               std::string_view subdirectory = {}) const;
    // Every file with that extension (every file for an empty type) in the root or `subdirectory`, sorted.
    std::vector<std::string> pathsForResourcesOfType(std::string_view type,
                                                     std::string_view subdirectory = {}) const;
    // Looks `key` up in `<table or Localizable>.strings` (XML or binary property list, or JSON); when absent
    // gives `value` if not empty, else `key`.
    std::string localizedString(std::string_view key, std::string_view value,
                                std::string_view table = {}) const;
    // `<bundle>/StoreKit/<receipt name>`; the device decides the name (`receipt` or `sandboxReceipt`).
    std::string storeReceiptURL() const;

private:
    std::optional<std::string> stringInfo(std::string_view key) const;
    std::optional<std::string> contained(const std::string& candidate) const;

    std::string path_;
    std::string realPath_;
    std::optional<Dictionary> info_;
    mutable std::mutex tablesMutex_;
    mutable std::map<std::string, Dictionary, std::less<>> tables_;
};

namespace sim {
struct BundleSettings {
    static void setReceiptName(std::string name);
};
} // namespace sim

} // namespace plat
