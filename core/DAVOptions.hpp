#pragma once
// The configuration of an app of the app-services core: the identifiers and switches of the options file
// "RazozaService-Info.plist" that ships in the app bundle, or set in code. Options are editable until an
// app takes them: the app keeps a locked copy that shares the same key-value store, so later edits made
// through the caller's object still reach the app.

#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Value.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class DAVOptions {
public:
    // The options of the bundle's options file, read once and shared (editable; apps take locked copies).
    // None while the file is missing or is not a dictionary; a later call looks again.
    static std::shared_ptr<DAVOptions> defaultOptions();
    static std::optional<plat::Dictionary> defaultOptionsDictionary();
    // The path of "<name>.plist" in the relevant bundles; none (and I-COR000012) when no bundle has it.
    static std::optional<std::string> plistFilePathWithName(std::string_view name);
    static void resetDefaultOptions();
    // Registers the core's and the build tools' versions with the library registry, once per process.
    static void initialize();

    // Options over the dictionary, marked as coming from the default options file.
    static std::shared_ptr<DAVOptions> initInternalWithOptionsDictionary(plat::Dictionary options);
    // None (and a log line) for no path, or a file that is missing or not a dictionary.
    static std::shared_ptr<DAVOptions> initWithContentsOfFile(const std::optional<std::string>& path);
    // "RAZOZA_APP_ID", "RCM_SENDER_ID" and the main bundle's identifier as "BUNDLE_ID"; none leaves a key out.
    static std::shared_ptr<DAVOptions> initWithRazozaAppID(const std::optional<std::string>& razozaAppID,
                                                           const std::optional<std::string>& RCMSenderID);
    explicit DAVOptions(plat::Dictionary options = {}, bool usingOptionsFromDefaultPlist = false);

    // A new object over the same key-value store, with the scheme, the lock and the origin flag.
    std::shared_ptr<DAVOptions> copy() const;
    // Raises "com.vedudodu.core" when the options are locked.
    void checkEditingLocked() const;

    // The string properties: a value that is not a string reads as none. Setters raise when locked; none
    // removes the key.
    std::optional<std::string> APIKey() const { return string("API_KEY"); }
    void setAPIKey(std::optional<std::string> v) { setString("API_KEY", std::move(v)); }
    std::optional<std::string> bundleID() const { return string("BUNDLE_ID"); }
    void setBundleID(std::optional<std::string> v) { setString("BUNDLE_ID", std::move(v)); }
    std::optional<std::string> clientID() const { return string("CLIENT_ID"); }
    void setClientID(std::optional<std::string> v) { setString("CLIENT_ID", std::move(v)); }
    std::optional<std::string> trackingID() const { return string("TRACKING_ID"); }
    void setTrackingID(std::optional<std::string> v) { setString("TRACKING_ID", std::move(v)); }
    std::optional<std::string> RCMSenderID() const { return string("RCM_SENDER_ID"); }
    void setRCMSenderID(std::optional<std::string> v) { setString("RCM_SENDER_ID", std::move(v)); }
    std::optional<std::string> projectID() const { return string("PROJECT_ID"); }
    void setProjectID(std::optional<std::string> v) { setString("PROJECT_ID", std::move(v)); }
    std::optional<std::string> androidClientID() const { return string("ANDROID_CLIENT_ID"); }
    void setAndroidClientID(std::optional<std::string> v) { setString("ANDROID_CLIENT_ID", std::move(v)); }
    std::optional<std::string> razozaAppID() const { return string("RAZOZA_APP_ID"); }
    void setRazozaAppID(std::optional<std::string> v) { setString("RAZOZA_APP_ID", std::move(v)); }
    std::optional<std::string> databaseURL() const { return string("DATABASE_URL"); }
    void setDatabaseURL(std::optional<std::string> v) { setString("DATABASE_URL", std::move(v)); }
    std::optional<std::string> storageBucket() const { return string("STORAGE_BUCKET"); }
    void setStorageBucket(std::optional<std::string> v) { setString("STORAGE_BUCKET", std::move(v)); }

    std::optional<std::string> deepLinkURLScheme() const;
    void setDeepLinkURLScheme(std::optional<std::string> scheme);

    bool isAnalyticsEnabled() const;
    bool isSignInEnabled() const;
    static constexpr std::string_view libraryVersionID() { return "50107000"; }

    // The analytics switches, from the main bundle's Info.plist first and the options second; fixed at
    // the first read.
    plat::Dictionary analyticsOptionsDictionary() const;
    plat::Dictionary analyticsOptionsDictionaryWithInfoDictionary(const std::optional<plat::Dictionary>& info) const;
    bool isAnalyticsCollectionDeactivated() const;
    bool isMeasurementEnabled() const;
    bool isAnalyticsCollectionEnabled() const;
    bool isAnalyticsCollectionExpicitlySet() const;

    bool usingOptionsFromDefaultPlist() const;
    void setUsingOptionsFromDefaultPlist(bool value);
    bool isEditingLocked() const;
    void setEditingLocked(bool locked);
    // A snapshot of the key-value store.
    plat::Dictionary optionsDictionary() const;
    // Gives this object a store of its own with these contents.
    void setOptionsDictionary(plat::Dictionary options);

private:
    // Shared between an options object and its copies.
    struct Store {
        mutable std::mutex mutex;
        plat::Dictionary values;
    };

    std::optional<std::string> string(std::string_view key) const;
    void setString(std::string_view key, std::optional<std::string> value);
    std::shared_ptr<Store> store() const;
    std::optional<plat::Value> analyticsValue(std::string_view key) const;

    mutable std::mutex mutex_;
    std::shared_ptr<Store> store_;
    std::optional<std::string> deepLinkURLScheme_;
    bool usingOptionsFromDefaultPlist_ = false;
    bool editingLocked_ = false;
    mutable std::optional<plat::Dictionary> analyticsOptions_;
};

// Finds the options file in the bundles that matter and answers bundle-identifier and URL-scheme questions.
class DAVBundleUtil {
public:
    using Bundles = std::vector<std::shared_ptr<const plat::Bundle>>;
    // The main bundle, then the bundle of the core's classes (the same one when the core is in the app).
    static Bundles relevantBundles();
    static std::optional<std::string> optionsDictionaryPathWithResourceName(std::string_view name,
                                                                            std::string_view type,
                                                                            const Bundles& bundles);
    static std::vector<std::string> relevantURLSchemes();
    static bool hasBundleIdentifier(std::string_view identifier, const Bundles& bundles);
};
