#pragma once
// The measurement client's key-value store outside the database: property-list values in one preference
// suite, through the platform's preference functions or its user-defaults object (the app's Info.plist
// "UseCFPreferencesLibrary" picks one). Writes are flushed together one second after the last of them, on a
// timer of its own, and the suite's file is kept out of backups.

#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class DMSUserDefaults {
public:
    // "UseCFPreferencesLibrary" of the main bundle when it is a number, else YES; read once.
    static bool userPreferenceEnabled();
    // The application's own preferences; its file is never excluded from backup.
    static DMSUserDefaults& standardUserDefaults();

    // None or empty: the application's own preferences.
    explicit DMSUserDefaults(std::optional<std::string> suiteName = std::nullopt);
    // A pending flush is done now rather than lost.
    ~DMSUserDefaults();
    DMSUserDefaults(const DMSUserDefaults&) = delete;
    DMSUserDefaults& operator=(const DMSUserDefaults&) = delete;

    // Keys must be non-empty strings (I-ACS041001 on read, I-ACS041002 on write); values property lists
    // (I-ACS041003). A null or absent value removes the key.
    std::optional<plat::Value> objectForKey(const plat::Value& key) const;
    void setObject(std::optional<plat::Value> value, const plat::Value& key);
    void removeObjectForKey(const plat::Value& key);

    int64_t integerForKey(const plat::Value& key) const;
    float floatForKey(const plat::Value& key) const;
    double doubleForKey(const plat::Value& key) const;
    bool boolForKey(const plat::Value& key) const;
    // The stored object when it has that kind; none otherwise.
    std::optional<std::string> stringForKey(const plat::Value& key) const;
    std::optional<plat::Array> arrayForKey(const plat::Value& key) const;
    std::optional<plat::Dictionary> dictionaryForKey(const plat::Value& key) const;

    void setInteger(int64_t value, const plat::Value& key);
    void setFloat(float value, const plat::Value& key);
    void setDouble(double value, const plat::Value& key);
    void setBool(bool value, const plat::Value& key);

    void clearAllData();
    void synchronize();
    // Replaces a pending flush by one 1.0 s from now.
    void scheduleSynchronize();

    bool useCFPreferencesLibrary() const;
    void setUseCFPreferencesLibrary(bool use);
    bool isPreferenceFileExcluded() const;
    void setIsPreferenceFileExcluded(bool excluded);
    const std::string& suiteName() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};
