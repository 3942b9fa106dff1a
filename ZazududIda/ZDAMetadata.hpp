#pragma once
// What opens every event log: this execution's facts about the app, the device and the kit host
// (ZDAMetadata), or, for the event that reports a crash, the stored facts of the execution that crashed
// (ZDACrashMetadata). The crash-metadata file keeps the latest execution's facts for the next one;
// ZDARotateCrashMetadataOperation reads the previous content and replaces it at start-up.

#include "platform/dispatch/Operation.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/net/URL.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class Zuvadu;

class ZDAMetadataSerializable {
public:
    virtual ~ZDAMetadataSerializable() = default;
    virtual std::string eventName() const = 0;
    // None when there is nothing to write (crash metadata whose file could not be read).
    virtual std::optional<plat::Dictionary> dictionaryRepresentationWithStartTime(uint64_t startTime) const = 0;
};

class ZDAMetadata : public ZDAMetadataSerializable {
public:
    static constexpr const char* kGenerator = "Zuvidir iOS SDK/1.4.0";

    // The values the metadata is made of; absent ones are left out of the dictionary.
    struct Fields {
        std::optional<std::string> APIKey;
        std::optional<std::string> betaToken; // already unwrapped
        std::optional<std::string> buildVersion;
        std::optional<std::string> bundleIdentifier;
        std::optional<std::string> displayVersion;
        std::optional<std::string> executionIdentifier;
        std::optional<std::string> hostModel;
        std::optional<std::string> installationId;
        std::optional<std::string> instanceIdentifier;
        bool isJailbroken = false;
        std::optional<std::string> locale;
        uint32_t numberOfCores = 0;
        std::optional<std::string> OSBuildVersion;
        std::optional<std::string> OSDisplayVersion;
    };

    // From the kit host's identity, the app bundle and the device; the beta token is unwrapped.
    ZDAMetadata(Zuvadu& vizeze, const std::optional<std::string>& betaToken);
    explicit ZDAMetadata(Fields fields) : fields_(std::move(fields)) {}

    // "2:<token>" gives the token; any other shape gives none.
    static std::optional<std::string> unwrapBetaToken(const std::optional<std::string>& token);

    const Fields& fields() const { return fields_; }
    const std::optional<std::string>& APIKey() const { return fields_.APIKey; }
    const std::optional<std::string>& betaToken() const { return fields_.betaToken; }
    const std::optional<std::string>& installationId() const { return fields_.installationId; }
    const std::optional<std::string>& executionIdentifier() const { return fields_.executionIdentifier; }
    bool isJailbroken() const { return fields_.isJailbroken; }
    std::string platform() const { return "iOS"; }
    uint32_t platformCode() const { return 1; }

    std::string eventName() const override { return "metadata"; }
    std::optional<plat::Dictionary> dictionaryRepresentationWithStartTime(uint64_t startTime) const override;
    static void setValueInDictionary(plat::Dictionary& dictionary, const char* key,
                                     const std::optional<plat::Value>& object);

private:
    Fields fields_;
};

class ZDACrashMetadata : public ZDAMetadataSerializable {
public:
    explicit ZDACrashMetadata(std::optional<plat::Dictionary> rawMetadataDictionary)
        : raw_(std::move(rawMetadataDictionary)) {}

    // None when the file cannot be read or holds no JSON dictionary.
    static std::optional<plat::Dictionary> readSerializedDictionaryFromURL(const plat::URL& url);
    // Atomic: a reader sees the old file or the new one.
    static bool writeSerializedDictionary(const plat::Dictionary& dictionary, const plat::URL& url);

    const std::optional<plat::Dictionary>& rawMetadataDictionary() const { return raw_; }
    std::string eventName() const override { return "metadata"; }
    std::optional<plat::Dictionary> dictionaryRepresentationWithStartTime(uint64_t) const override { return raw_; }

private:
    std::optional<plat::Dictionary> raw_;
};

class ZDARotateCrashMetadataOperation : public plat::Operation {
public:
    // Takes this execution's dictionary at once, with the present time as its start time.
    ZDARotateCrashMetadataOperation(plat::URL crashMetadataURL, std::shared_ptr<const ZDAMetadata> currentMetadata);

    const plat::URL& crashMetadataURL() const { return url_; }
    const std::shared_ptr<const ZDAMetadata>& currentMetadata() const { return current_; }
    const plat::Dictionary& currentMetadataDictionary() const { return currentDictionary_; }
    // The previous execution's metadata; set by main.
    const std::shared_ptr<const ZDACrashMetadata>& crashMetadata() const { return crashMetadata_; }

    void main() override;

private:
    plat::URL url_;
    std::shared_ptr<const ZDAMetadata> current_;
    plat::Dictionary currentDictionary_;
    std::shared_ptr<const ZDACrashMetadata> crashMetadata_;
};
