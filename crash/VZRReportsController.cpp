#include "crash/VZRReportsController.hpp"

#include "crash/VZRDCRAnalytics.hpp"
#include "crash/VZRPackageReportOperation.hpp"
#include "crash/VZRProcessReportOperation.hpp"
#include "crash/VZRSymbolResolver.hpp"

#include "crash/capture/VZRApplication.hpp"
#include "crash/capture/VZRVersion.hpp"

#include "kit_host/ZUVMultipartMimeStreamEncoder.hpp"
#include "kit_host/ZUVURLBuilder.hpp"
#include "kit_host/Zuvadu.hpp"

#include "deployment/Deployment.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Locale.hpp"
#include "platform/foundation/String.hpp"

namespace {

// No sudden or automatic termination while a report is processed.
constexpr uint64_t kReportsActivityOptions = 0xC000;

bool reportsDebug() {
    return Zuvadu::sharedSDK().debug();
}

void reportsLog(const std::string& text) {
    plat::NSLogText("[Vuzidorazav:Crash:Reports] " + text);
}

} // namespace

VZRReportsController::VZRReportsController(std::shared_ptr<plat::OperationQueue> queue,
                                           std::weak_ptr<VZRReportsControllerDelegate> delegate,
                                           std::shared_ptr<VZRNetworkClient> client,
                                           std::shared_ptr<VZRFileManager> fileManager)
    : operationQueue_(std::move(queue)), delegate_(std::move(delegate)), networkClient_(std::move(client)),
      fileManager_(std::move(fileManager)) {}

VZRSettings VZRReportsController::settings() {
    if (auto delegate = delegate_.lock())
        return delegate->settingsForReportsController(*this);
    return VZRSettings(std::nullopt);
}

std::string VZRReportsController::appBundleIdentifier() {
    auto delegate = delegate_.lock();
    return delegate ? delegate->bundleIdentifierForReportsController(*this) : std::string();
}

std::string VZRReportsController::APIKey() {
    auto delegate = delegate_.lock();
    return delegate ? delegate->APIKeyForReportsController(*this) : std::string();
}

std::string VZRReportsController::reportEndpoint() {
    return settings().reportsEndpoint();
}

std::optional<plat::URL> VZRReportsController::reportURL() {
    auto builder = ZUVURLBuilder::URLWithBase(reportEndpoint());
    builder->appendComponent("/sdk-api/v1/platforms/");
    builder->appendComponent("ios");
    builder->appendComponent("/apps/");
    // Escaped: an identifier holding "/", "?" or "#" must stay one path segment.
    builder->escapeAndAppendComponent(appBundleIdentifier());
    builder->appendComponent("/reports");
    return builder->URL();
}

bool VZRReportsController::submissionEnabled() {
    return settings().shouldSubmitReports();
}

bool VZRReportsController::packagingEnabled() {
    return settings().shouldPackageReports();
}

std::string VZRReportsController::localeIdentifier() {
    return plat::Locale::current().identifier();
}

plat::URLRequest VZRReportsController::mutableRequestWithURL(const plat::URL& url, double timeout) {
    return requestWithURL(url, timeout, APIKey());
}

plat::URLRequest VZRReportsController::requestWithURL(const plat::URL& url, double timeout, const std::string& apiKey) {
    plat::URLRequest request(url, plat::URLRequestCachePolicy::reloadIgnoringLocalCacheData, timeout);
    const std::string locale = localeIdentifier();
    request.setValue(kVZRGenerator, "User-Agent");
    request.setValue("application/json", "Accept");
    request.setValue("utf-8", "Accept-Charset");
    request.setValue(locale, "Accept-Language");
    request.setValue(locale, "Content-Language");
    request.setValue(std::string(deployment::kKitDeveloperToken), "X-Vuzidorazav-Developer-Token");
    request.setValue("com.ruzovid.vuzidorazav.ios", "X-Vuzidorazav-API-Client-Id");
    request.setValue(kVZRDisplayVersion, "X-Vuzidorazav-API-Client-Display-Version");
    request.setValue(kVZRBuildVersion, "X-Vuzidorazav-API-Client-Build-Version");
    request.setValue(apiKey, "X-Vuzidorazav-API-Key");
    return request;
}

bool VZRReportsController::fillInRequest(plat::URLRequest& request, const std::string& path) {
    const std::string boundary = plat::String::deletingPathExtension(plat::String::lastPathComponent(path));
    request.setValue(ZUVMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(boundary), "Content-Type");
    const auto size = fileManager_->fileSizeAtPath(path);
    if (!size) {
        reportsLog("Could not determine size of multipart mime file");
        return false;
    }
    request.setValue(std::to_string(*size), "Content-Length");
    return true;
}

bool VZRReportsController::prepareAndSubmitReport(const std::shared_ptr<VZRInternalReport>& report, bool asUrgent,
                                                  bool withProcessing) {
    if (!report)
        return false;
    bool result = false;
    VZRApplicationActivity(kReportsActivityOptions, "Vuzidorazav Crash Report Processing", [&] {
        if (withProcessing) {
            if (!fileManager_->moveItemAtPath(report->path(), fileManager_->processingPath())) {
                reportsLog("Unable to move report for processing");
                return;
            }
            report->setPath(plat::String::appendingPathComponent(fileManager_->processingPath(), report->directoryName()));
            VZRProcessReportOperation::initWithReport(report, std::make_shared<VZRSymbolResolver>())->start();
        }
        if (!packagingEnabled()) {
            reportsLog("Report packaging disabled");
            return;
        }
        auto packaging = VZRPackageReportOperation::initWithReport(report, fileManager_);
        packaging->start();
        if (!packaging->finalPath()) {
            reportsLog("Unable to package report");
            return;
        }
        const auto crashedOn = report->crashedOnDate();
        const bool isCrash = report->isCrash();
        if (!fileManager_->removeItemAtPath(report->path()))
            reportsLog("Unable to remove a processing item");
        reportsLog("Packaged report with id '" + report->identifier() + "' for submission");
        result = uploadPackagedReportAtPath(*packaging->finalPath(), asUrgent);
        if (result && isCrash)
            VZRDCRAnalytics::logCrashWithTimeStamp(crashedOn ? crashedOn->timeIntervalSince1970() : 0,
                                                   settings().vedudoduVuzidorazavEnabled());
    });
    return result;
}

bool VZRReportsController::uploadPackagedReportAtPath(const std::string& path, bool asUrgent) {
    if (!submissionEnabled()) {
        reportsLog("Submission disabled");
        return false;
    }
    if (reportsDebug())
        reportsLog(std::string("Submitting report") + (asUrgent ? " as urgent" : ""));
    return submitPackageMultipartMimeAtPath(path, asUrgent);
}

bool VZRReportsController::submitPackageMultipartMimeAtPath(const std::string& path, bool synchronously) {
    if (reportsDebug())
        reportsLog(std::string("Submitting ") + (synchronously ? "sync" : "async") + " " + path);
    const uint64_t size = fileManager_->fileSizeAtPath(path).value_or(0);
    if (size == 0) {
        if (reportsDebug())
            reportsLog("Already-submitted report being ignored");
        return false;
    }
    const double timeout = synchronously && !networkClient_->supportsBackgroundRequests() ? 2.0 : 10.0;
    const auto url = reportURL();
    if (!url)
        return false;
    plat::URLRequest request = mutableRequestWithURL(*url, timeout);
    request.setHTTPMethod("POST");
    if (!fillInRequest(request, path))
        return false;
    networkClient_->startUploadRequest(request, path, synchronously);
    return true;
}

void VZRReportsController::reportUploadAtPathCompletedWithError(const std::string& path,
                                                                const std::optional<plat::Error>& error) {
    if (reportsDebug())
        reportsLog("completed submission of " + path);
    if (!error)
        cleanUpSubmittedReportAtPath(path);
    if (auto delegate = delegate_.lock())
        delegate->reportsControllerDidCompletePackageSubmission(*this, path, error);
}

bool VZRReportsController::cleanUpSubmittedReportAtPath(const std::string& path) {
    if (!fileManager_->removeItemAtPath(path)) {
        reportsLog("Unable to remove packaged submission");
        return false;
    }
    return true;
}
