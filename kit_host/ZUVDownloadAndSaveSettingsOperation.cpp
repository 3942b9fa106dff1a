#include "kit_host/ZUVDownloadAndSaveSettingsOperation.hpp"

#include "kit_host/ZUVUtilities.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/foundation/FileManager.hpp"

#include <cerrno>
#include <cstdio>

std::shared_ptr<ZUVDownloadAndSaveSettingsOperation> ZUVDownloadAndSaveSettingsOperation::initWithAPIKey(
    std::optional<std::string> APIKey, std::weak_ptr<ZUVDownloadAndSaveSettingsOperationDelegate> delegate,
    std::optional<plat::URL> settingsURL, std::optional<std::string> settingsDirectoryPath,
    std::optional<std::string> settingsFilePath, std::optional<std::string> installIdentifier,
    std::weak_ptr<ZUVNetworkClient> networkClient) {
    if (!APIKey)
        return nullptr;
    auto operation = std::make_shared<ZUVDownloadAndSaveSettingsOperation>(std::move(*APIKey));
    operation->delegate_ = std::move(delegate);
    operation->settingsURL_ = std::move(settingsURL);
    operation->settingsDirectoryPath_ = std::move(settingsDirectoryPath);
    operation->settingsFilePath_ = std::move(settingsFilePath);
    operation->installIdentifier_ = std::move(installIdentifier);
    operation->networkClient_ = std::move(networkClient);
    return operation;
}

ZUVDownloadAndSaveSettingsOperation::ZUVDownloadAndSaveSettingsOperation(std::string APIKey)
    : ZUVNetworkOperation(std::move(APIKey), "ZUVDownloadAndSaveSettingsOperation") {}

plat::URLRequest ZUVDownloadAndSaveSettingsOperation::settingsRequest() const {
    plat::URLRequest request = settingsURL_ ? mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(*settingsURL_)
                                            : plat::URLRequest();
    request.setHTTPMethod("GET");
    request.setValue("application/json", "Accept");
    request.setValue(installIdentifier_, "X-Vuzidorazav-Installation-ID");
    request.setValue(ZUVHardwareMachine(), "X-Vuzidorazav-Device-Model");
    request.setValue(ZUVOSBuildVersion(), "X-Vuzidorazav-OS-Build-Version");
    request.setValue(ZUVOSDisplayVersion(), "X-Vuzidorazav-OS-Display-Version");
    request.setValue(kAPIClientVersion, "X-Vuzidorazav-API-Client-Version");
    return request;
}

void ZUVDownloadAndSaveSettingsOperation::main() {
    auto client = networkClient_.lock();
    if (!client || !settingsURL_) {
        complete(plat::Error("ZUVNetworkError", -3));
        return;
    }
    auto self = std::static_pointer_cast<ZUVDownloadAndSaveSettingsOperation>(shared_from_this());
    client->startDownloadTaskWithRequest(
        settingsRequest(), kRetryLimit,
        [self](std::optional<plat::URL> location, std::shared_ptr<const plat::HTTPURLResponse>,
               std::optional<plat::Error> error) {
            if (!error && !location)
                error = plat::Error("ZUVNetworkError", -4);
            if (!error)
                error = self->saveDownloadedFile(*location);
            self->complete(std::move(error));
        });
}

std::optional<plat::Error> ZUVDownloadAndSaveSettingsOperation::saveDownloadedFile(const plat::URL& location) const {
    auto& files = plat::FileManager::defaultManager();
    std::optional<plat::Error> failure;
    if (!settingsDirectoryPath_ || !settingsFilePath_) {
        failure = plat::Error::withDebugDescription("NSCocoaErrorDomain", 4,
                                                    "The bundle identifier names no settings folder.");
    } else if (auto made = files.createDirectory(*settingsDirectoryPath_, true); !made) {
        failure = made.error();
    } else {
        // Into the folder first under another name, then over the settings file in one rename: the old
        // file stays whenever either step fails.
        const std::string staging = *settingsFilePath_ + ".download";
        (void)files.removeItem(staging);
        if (auto moved = files.moveItem(location.path(), staging); !moved) {
            failure = moved.error();
        } else if (std::rename(staging.c_str(), settingsFilePath_->c_str()) != 0) {
            failure = plat::fileError(plat::FileOperation::Modify, errno, staging);
            (void)files.removeItem(staging);
        }
    }
    if (failure)
        plat::NSLogText("[Zuvadu] Unable to complete settings download " + failure->description());
    return failure;
}

void ZUVDownloadAndSaveSettingsOperation::complete(std::optional<plat::Error> error) {
    {
        std::lock_guard lock(errorMutex_);
        error_ = error;
    }
    if (auto delegate = delegate_.lock())
        delegate->operationDidDownloadAndSaveSettingsWithError(*this, error);
    finishWithError(error);
}

std::optional<plat::Error> ZUVDownloadAndSaveSettingsOperation::error() const {
    std::lock_guard lock(errorMutex_);
    return error_;
}
