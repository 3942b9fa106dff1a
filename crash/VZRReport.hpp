#pragma once
// Handles on one report folder. VZRInternalReport is the crash reporter's own view (its identifier, which
// record files it holds, a few metadata and crash values); VZRReport is the view handed to the application's
// delegate: it caches its answers and lets the delegate add keys to that report's own files.

#include "crash/capture/VZRUserLogging.hpp"

#include "platform/foundation/Date.hpp"
#include "platform/foundation/Value.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class VZRInternalReport {
public:
    // None when the folder gives no identifier: the metadata's session, else (for a folder holding crash or
    // error records, whose metadata a crash may have cut off) the folder's name.
    static std::shared_ptr<VZRInternalReport> reportWithPath(const std::string& path);
    static std::shared_ptr<VZRInternalReport> initWithPath(const std::string& path);
    static std::shared_ptr<VZRInternalReport> initWithPathExecutionIdentifier(const std::optional<std::string>& path,
                                                                              const std::optional<std::string>& id);

    const std::string& identifier() const { return identifier_; }
    std::string path() const;
    void setPath(std::string path);
    std::string directoryName() const;
    std::string pathForContentFile(const std::string& name) const;
    std::string metadataPath() const { return pathForContentFile("metadata.vzrrecord"); }
    std::string binaryImagePath() const { return pathForContentFile("binary_images.vzrrecord"); }

    bool needsToBeSubmitted() const;
    static const std::vector<std::string>& crashFilenames();
    bool isCrash() const;
    bool checkExistenceOfAtLeastOnceFileInArray(const std::vector<std::string>& names) const;
    void enumerateSymbolicatableFilesInContent(const std::function<void(const std::string&)>& block) const;
    static std::optional<plat::Array> readCLSFileAtPath(const std::string& path);
    const plat::Array& metadataSections();

    std::optional<std::string> APIKey();
    std::optional<plat::Date> dateCreated();
    std::optional<std::string> OSVersion();
    std::optional<std::string> OSBuildVersion();
    std::optional<std::string> bundleVersion();
    std::optional<std::string> bundleShortVersionString();
    std::optional<plat::Dictionary> customKeys() const { return std::nullopt; }
    // The Mach exception's time, else the signal's, else the terminate handler's exception's.
    std::optional<plat::Date> crashedOnDate() const;

private:
    std::optional<std::string> metadataString(size_t position, const char* key);

    mutable std::mutex mutex_;
    std::string identifier_;
    std::string path_;
    std::optional<plat::Array> metadataSections_;
};

class VZRReport {
public:
    explicit VZRReport(std::shared_ptr<VZRInternalReport> internalReport, bool prefetchData = false);

    const std::shared_ptr<VZRInternalReport>& internalReport() const { return internalReport_; }

    std::string identifier();
    std::optional<std::string> bundleVersion();
    std::optional<std::string> bundleShortVersionString();
    std::optional<plat::Date> dateCreated();
    std::optional<plat::Date> crashedOnDate();
    std::optional<std::string> OSVersion();
    std::optional<std::string> OSBuildVersion();
    bool isCrash();
    plat::Dictionary customKeys();
    plat::Dictionary readCustomKeys();

    VZRKVStoreDescriptor internalKVStorage() const;
    VZRKVStoreDescriptor userKVStorage() const;
    bool canRecordNewValues() const;
    void recordValueForInternalKey(const std::optional<plat::Value>& value, const std::optional<std::string>& key);
    void recordValueForUserKey(const std::optional<plat::Value>& value, const std::optional<std::string>& key);
    void setObjectValue(const std::optional<plat::Value>& value, const std::optional<std::string>& key) {
        recordValueForUserKey(value, key);
    }
    void setUserIdentifier(const std::optional<std::string>& v);
    void setUserName(const std::optional<std::string>& v);
    void setUserEmail(const std::optional<std::string>& v);
    std::optional<std::string> userIdentifier() const { return std::nullopt; }
    std::optional<std::string> userName() const { return std::nullopt; }
    std::optional<std::string> userEmail() const { return std::nullopt; }

private:
    void prefetch();

    std::shared_ptr<VZRInternalReport> internalReport_;
    std::atomic<uint32_t> internalKVCounter_{0};
    std::atomic<uint32_t> userKVCounter_{0};
    std::string internalCompactedKVFile_;
    std::string internalIncrementalKVFile_;
    std::string userCompactedKVFile_;
    std::string userIncrementalKVFile_;
    bool readOnly_ = false;

    std::mutex mutex_; // guards the cached answers
    std::optional<std::string> identifer_;
    std::optional<std::optional<std::string>> bundleVersion_;
    std::optional<std::optional<std::string>> bundleShortVersionString_;
    std::optional<std::optional<plat::Date>> dateCreated_;
    std::optional<std::optional<plat::Date>> crashedOnDate_;
    std::optional<std::optional<std::string>> OSVersion_;
    std::optional<std::optional<std::string>> OSBuildVersion_;
    std::optional<bool> isCrash_;
    std::optional<plat::Dictionary> customKeys_;
};
