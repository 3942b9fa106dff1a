#pragma once
// Takes one crash report from the report store through processing and packaging to its upload: builds the
// request for the report endpoint, hands it with the package file to the network client, and removes the
// package once the client says it arrived.

#include "crash/VZRFileManager.hpp"
#include "crash/VZRNetworkClient.hpp"
#include "crash/VZRReport.hpp"
#include "crash/VZRSettings.hpp"

#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLRequest.hpp"

#include <memory>
#include <optional>
#include <string>

class VZRReportsController;

class VZRReportsControllerDelegate {
public:
    virtual ~VZRReportsControllerDelegate() = default;
    virtual void reportsControllerDidCompletePackageSubmission(VZRReportsController& controller, const std::string& path,
                                                               const std::optional<plat::Error>& error) = 0;
    virtual void reportsControllerDidCompleteAllSubmissions(VZRReportsController& controller) = 0;
    virtual VZRSettings settingsForReportsController(VZRReportsController& controller) = 0;
    virtual std::string APIKeyForReportsController(VZRReportsController& controller) = 0;
    virtual std::string bundleIdentifierForReportsController(VZRReportsController& controller) = 0;
};

class VZRReportsController {
public:
    VZRReportsController(std::shared_ptr<plat::OperationQueue> queue, std::weak_ptr<VZRReportsControllerDelegate> delegate,
                         std::shared_ptr<VZRNetworkClient> client, std::shared_ptr<VZRFileManager> fileManager);

    const std::shared_ptr<plat::OperationQueue>& operationQueue() const { return operationQueue_; }
    const std::shared_ptr<VZRNetworkClient>& networkClient() const { return networkClient_; }
    const std::shared_ptr<VZRFileManager>& fileManager() const { return fileManager_; }

    // True when the report was packaged and its upload handed to the network client.
    bool prepareAndSubmitReport(const std::shared_ptr<VZRInternalReport>& report, bool asUrgent, bool withProcessing);
    bool uploadPackagedReportAtPath(const std::string& path, bool asUrgent);
    bool submitPackageMultipartMimeAtPath(const std::string& path, bool synchronously);
    void reportUploadAtPathCompletedWithError(const std::string& path, const std::optional<plat::Error>& error);
    bool cleanUpSubmittedReportAtPath(const std::string& path);

    VZRSettings settings();
    std::string appBundleIdentifier();
    std::string APIKey();
    std::string reportEndpoint();
    std::optional<plat::URL> reportURL();
    bool submissionEnabled();
    bool packagingEnabled();
    static std::string localeIdentifier();
    // Header fields 1 to 10 of the upload.
    plat::URLRequest mutableRequestWithURL(const plat::URL& url, double timeout);
    // The same ten fields with a given API key; the beta-update check starts from them too.
    static plat::URLRequest requestWithURL(const plat::URL& url, double timeout, const std::string& apiKey);
    // "Content-Type" from the package's name and "Content-Length" from its size; false without a size.
    bool fillInRequest(plat::URLRequest& request, const std::string& path);

private:
    std::shared_ptr<plat::OperationQueue> operationQueue_;
    std::weak_ptr<VZRReportsControllerDelegate> delegate_;
    std::shared_ptr<VZRNetworkClient> networkClient_;
    std::shared_ptr<VZRFileManager> fileManager_;
};
