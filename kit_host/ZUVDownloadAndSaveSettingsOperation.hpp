#pragma once
// Downloads the settings document and saves it, byte for byte, as the settings file. The new file replaces
// the old one in a single rename, so a download that cannot be saved leaves the last good settings.

#include "kit_host/ZUVNetworkClient.hpp"
#include "kit_host/ZUVNetworkOperation.hpp"

#include <memory>
#include <optional>
#include <string>

class ZUVDownloadAndSaveSettingsOperation;

class ZUVDownloadAndSaveSettingsOperationDelegate {
public:
    virtual ~ZUVDownloadAndSaveSettingsOperationDelegate() = default;
    virtual void operationDidDownloadAndSaveSettingsWithError(ZUVDownloadAndSaveSettingsOperation& operation,
                                                              const std::optional<plat::Error>& error) = 0;
};

class ZUVDownloadAndSaveSettingsOperation : public ZUVNetworkOperation {
public:
    static constexpr uint64_t kRetryLimit = 1;
    // The API client version the settings request names.
    static constexpr const char* kAPIClientVersion = "1.8.0";

    // None without a key. A missing directory or file path (no usable bundle identifier) saves nothing.
    static std::shared_ptr<ZUVDownloadAndSaveSettingsOperation>
    initWithAPIKey(std::optional<std::string> APIKey, std::weak_ptr<ZUVDownloadAndSaveSettingsOperationDelegate> delegate,
                   std::optional<plat::URL> settingsURL, std::optional<std::string> settingsDirectoryPath,
                   std::optional<std::string> settingsFilePath, std::optional<std::string> installIdentifier,
                   std::weak_ptr<ZUVNetworkClient> networkClient);
    ZUVDownloadAndSaveSettingsOperation(std::string APIKey);

    void main() override;
    // The default request, then "GET" and the settings headers.
    plat::URLRequest settingsRequest() const;
    // Moves the downloaded file into place; an error when it could not (logged).
    std::optional<plat::Error> saveDownloadedFile(const plat::URL& location) const;

    std::optional<plat::Error> error() const;
    const std::optional<plat::URL>& settingsURL() const { return settingsURL_; }

private:
    void complete(std::optional<plat::Error> error);

    std::weak_ptr<ZUVDownloadAndSaveSettingsOperationDelegate> delegate_;
    mutable std::mutex errorMutex_;
    std::optional<plat::Error> error_;
    std::optional<plat::URL> settingsURL_;
    std::optional<std::string> settingsDirectoryPath_;
    std::optional<std::string> settingsFilePath_;
    std::optional<std::string> installIdentifier_;
    std::weak_ptr<ZUVNetworkClient> networkClient_;
};
