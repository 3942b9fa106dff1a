#include "core/DAVZarezuveLogger.hpp"

#include "core/DAVLogger.hpp"
#include "deployment/Deployment.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/net/PercentCoding.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIDevice.hpp"
#include "platform/uikit/UIKitTypes.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int32_t kZarezuveRetries = 6;

// Every byte but letters, digits, '-', '_' and '~' escaped: "." and ".." become names like any other and
// no account reaches outside its folder.
std::string zarezuveEscapeAccount(const std::string& account) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : account) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

// Whether a status means the service will never take this file.
bool zarezuvePermanentRefusal(long status) {
    return status >= 400 && status < 500 && status != 408 && status != 429;
}

} // namespace

int64_t DAVZarezuveCurrentTimeMillis() {
    return static_cast<int64_t>(plat::Clock::now() * 1000);
}

int64_t DAVZarezuveUptimeMillis() {
    const double uptime = plat::Clock::uptime();
    return uptime <= 0 ? 0 : static_cast<int64_t>(uptime * 1000);
}

// ---- writer ---------------------------------------------------------------------------------------------

DAVZarezuveWriter::DAVZarezuveWriter(std::string path) : path_(std::move(path)) {
    const std::string parent = path_.substr(0, path_.rfind('/'));
    auto created = plat::FileManager::defaultManager().createDirectory(parent, true, {});
    if (!created) {
        DAVLoggerWriteError(kDAVLoggerCore, "I-COR000015", "Failed to create directory: %@", created.error());
    }
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        DAVLoggerWriteError(kDAVLoggerCore, "I-COR000016", "Failed to create %@, error (%d)", path_, errno);
    }
}

DAVZarezuveWriter::~DAVZarezuveWriter() {
    close();
}

void DAVZarezuveWriter::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool DAVZarezuveWriter::writeAll(const uint8_t* bytes, std::size_t length) {
    const ssize_t written = ::write(fd_, bytes, length);
    if (written < 0 || static_cast<std::size_t>(written) != length) {
        return false;
    }
    numBytes_ += length;
    return true;
}

bool DAVZarezuveWriter::writeLogEvent(const DLCPBLogEvent& event) {
    if (fd_ < 0) {
        return false;
    }
    auto encoded = event.protoBuffer();
    if (!encoded || encoded->size() > UINT32_MAX) {
        return false;
    }
    uint8_t prefix[5];
    std::size_t prefixLength = 0;
    for (uint32_t v = static_cast<uint32_t>(encoded->size());; v >>= 7) {
        prefix[prefixLength++] = static_cast<uint8_t>((v & 0x7f) | (v >= 0x80 ? 0x80 : 0));
        if (v < 0x80) {
            break;
        }
    }
    const uint64_t recordStart = numBytes_;
    if (writeAll(prefix, prefixLength) && writeAll(encoded->data(), encoded->size())) {
        return true;
    }
    // Cut back to the record's start: a reader would take a torn record's tail for the next one.
    if (::ftruncate(fd_, static_cast<off_t>(recordStart)) == 0 &&
        ::lseek(fd_, static_cast<off_t>(recordStart), SEEK_SET) >= 0) {
        numBytes_ = recordStart;
    } else {
        close();
    }
    return false;
}

// ---- account data ---------------------------------------------------------------------------------------

DAVZarezuveAccountData::DAVZarezuveAccountData(std::string accountLogDirectory)
    : accountLogDirectory_(std::move(accountLogDirectory)) {}

std::string DAVZarezuveAccountData::filenameWithCurrentTimeInDirectory(const std::string& directory) {
    auto& fm = plat::FileManager::defaultManager();
    int64_t millis = DAVZarezuveCurrentTimeMillis();
    std::string path = directory + "/" + std::to_string(millis);
    while (fm.fileExists(path)) {
        path = directory + "/" + std::to_string(++millis);
    }
    return path;
}

std::shared_ptr<DAVZarezuveWriter> DAVZarezuveAccountData::writerForLogSource(int32_t logSource) {
    auto& writer = logSourceToWriter_[logSource];
    if (!writer) {
        writer = std::make_shared<DAVZarezuveWriter>(
            filenameWithCurrentTimeInDirectory(accountLogDirectory_ + "/" + std::to_string(logSource)));
    }
    return writer;
}

void DAVZarezuveAccountData::removeWriterForLogSource(int32_t logSource) {
    logSourceToWriter_.erase(logSource);
}

void DAVZarezuveAccountData::flushWriters() {
    for (auto& [source, writer] : logSourceToWriter_) {
        writer->close();
    }
    logSourceToWriter_.clear();
}

// ---- logger ---------------------------------------------------------------------------------------------

std::shared_ptr<DAVZarezuveLogger> DAVZarezuveLogger::sharedInstance() {
    static const std::shared_ptr<DAVZarezuveLogger> instance = make();
    return instance;
}

std::shared_ptr<DAVZarezuveLogger> DAVZarezuveLogger::make(Setup setup) {
    auto logger = std::make_shared<DAVZarezuveLogger>(Private{}, std::move(setup));
    logger->start();
    return logger;
}

DAVZarezuveLogger::DAVZarezuveLogger(Private, Setup setup)
    : queue_(plat::DispatchQueue::makeSerial("zarezuve")),
      logDirectory_(setup.logDirectory.empty() ? plat::AppHome::caches() + "/DAVZarezuveLogger"
                                               : std::move(setup.logDirectory)),
      serverURL_(setup.serverURL ? setup.serverURL
                                 : plat::URL::parse(std::string(deployment::kLogsURL) + "/log")),
      network_(setup.network ? std::move(setup.network) : DVUNetwork::init()) {}

void DAVZarezuveLogger::start() {
    std::weak_ptr<DAVZarezuveLogger> weakSelf = weak_from_this();
    plat::NotificationCenter::defaultCenter().addObserver(this, std::string(plat::UIApplicationDidEnterBackgroundNotification),
                                                          nullptr, [weakSelf](const plat::Notification&) {
                                                              if (auto self = weakSelf.lock()) {
                                                                  self->applicationDidEnterBackground();
                                                              }
                                                          });
    scheduleNextSend();
}

DAVZarezuveLogger::~DAVZarezuveLogger() {
    plat::NotificationCenter::defaultCenter().removeObserver(this);
    setBackgroundTaskId(plat::UIBackgroundTaskInvalid);
}

void DAVZarezuveLogger::setApplicationBuild(std::string build) {
    std::lock_guard lock(settingsMutex_);
    applicationBuild_ = std::move(build);
}

void DAVZarezuveLogger::setInstallIdentifier(std::optional<std::string> identifier) {
    std::lock_guard lock(settingsMutex_);
    installIdentifier_ = std::move(identifier);
}

void DAVZarezuveLogger::setZwiebackCookie(std::optional<std::string> cookie) {
    std::lock_guard lock(settingsMutex_);
    zwiebackCookie_ = std::move(cookie);
}

void DAVZarezuveLogger::setDelegate(std::weak_ptr<DAVZarezuveLoggerDelegate> delegate) {
    std::lock_guard lock(settingsMutex_);
    delegate_ = std::move(delegate);
}

std::string DAVZarezuveLogger::rejectedDirectory() {
    return plat::AppHome::caches() + "/DAVZarezuveLoggerRejected";
}

void DAVZarezuveLogger::logEvent(const std::shared_ptr<DLCPBLogEvent>& event, int32_t logSource,
                                 const std::string& account) {
    if (!event) {
        return;
    }
    if (!NANOHasField(event, DLCPBLogEvent::kEventTimeMs)) {
        NANOSetInt64(event, DLCPBLogEvent::kEventTimeMs, DAVZarezuveCurrentTimeMillis());
    }
    if (!NANOHasField(event, DLCPBLogEvent::kEventUptimeMs)) {
        NANOSetInt64(event, DLCPBLogEvent::kEventUptimeMs, DAVZarezuveUptimeMillis());
    }
    queue_->async([self = shared_from_this(), event, logSource, account] { self->writeEvent(event, logSource, account); });
}

void DAVZarezuveLogger::writeEvent(const std::shared_ptr<DLCPBLogEvent>& event, int32_t logSource,
                                   const std::string& account) {
    auto data = accountDataForAccount(account);
    auto writer = data->writerForLogSource(logSource);
    if (!writer->writeLogEvent(*event)) {
        DAVLoggerWriteError(kDAVLoggerCore, "I-COR000017", "Failure to write data for account %@, logSource %d. Discarding.",
                            account, logSource);
        data->removeWriterForLogSource(logSource);
        return;
    }
    if (writer->numBytes() > maxRequestNumBytes_.load()) {
        writer->close();
        data->removeWriterForLogSource(logSource);
    }
}

std::shared_ptr<DAVZarezuveAccountData> DAVZarezuveLogger::accountDataForAccount(const std::string& account) {
    auto& data = accounts_[account];
    if (!data) {
        data = std::make_shared<DAVZarezuveAccountData>(logDirectory_ + "/" + zarezuveEscapeAccount(account));
    }
    return data;
}

void DAVZarezuveLogger::flushWriters() {
    for (auto& [account, data] : accounts_) {
        data->flushWriters();
    }
}

void DAVZarezuveLogger::updatePendingRequests() {
    auto& fm = plat::FileManager::defaultManager();
    auto accounts = fm.contentsOfDirectory(logDirectory_);
    if (!accounts) {
        return;
    }
    for (const auto& accountName : *accounts) {
        const std::string accountDirectory = logDirectory_ + "/" + accountName;
        auto sources = fm.contentsOfDirectory(accountDirectory);
        if (!sources) {
            continue;
        }
        const std::string account = plat::net::percentDecode(accountName).value_or(accountName);
        for (const auto& sourceName : *sources) {
            const std::string sourceDirectory = accountDirectory + "/" + sourceName;
            auto files = fm.contentsOfDirectory(sourceDirectory);
            if (!files) {
                continue;
            }
            const int32_t logSource = static_cast<int32_t>(std::strtol(sourceName.c_str(), nullptr, 10));
            std::lock_guard lock(pendingMutex_);
            for (const auto& file : *files) {
                pendingRequests_.push_back(DAVZarezuveRequest{logSource, account, sourceDirectory + "/" + file});
            }
        }
    }
}

std::optional<DAVZarezuveRequest> DAVZarezuveLogger::nextPendingRequest() {
    std::lock_guard lock(pendingMutex_);
    if (pendingRequests_.empty()) {
        return std::nullopt;
    }
    DAVZarezuveRequest request = std::move(pendingRequests_.back());
    pendingRequests_.pop_back();
    return request;
}

std::shared_ptr<DLCPBLogRequest> DAVZarezuveLogger::logRequestFromPath(const std::string& path, int32_t logSource) {
    auto bytes = plat::readData(path);
    if (!bytes) {
        return nullptr;
    }
    std::string build;
    std::optional<std::string> install;
    std::optional<std::string> cookie;
    {
        std::lock_guard lock(settingsMutex_);
        build = applicationBuild_;
        install = installIdentifier_;
        cookie = zwiebackCookie_;
    }
    auto request = DLCPBLogRequest::init();
    NANOSetInt32(request, DLCPBLogRequest::kLogSource, logSource);
    NANOSetArray(request, DLCPBLogRequest::kSerializedLogEvents, plat::Array{plat::Value(std::move(*bytes))});
    auto ios = DLCPBIosClientInfo::init();
    NANOSetString(ios, DLCPBIosClientInfo::kApplicationBuild, plat::Value(build));
    NANOSetString(ios, DLCPBIosClientInfo::kOSVersion, plat::Value(plat::UIDevice::currentDevice().systemVersion()));
    if (install && !install->empty()) {
        NANOSetString(ios, DLCPBIosClientInfo::kInstallIdentifier, plat::Value(*install));
    }
    auto client = DLCPBClientInfo::init();
    NANOSetInt32(client, DLCPBClientInfo::kClientType, 3);
    NANOSetMessage(client, DLCPBClientInfo::kIosClientInfo, ios);
    NANOSetMessage(request, DLCPBLogRequest::kClientInfo, client);
    if (cookie) {
        NANOSetString(request, DLCPBLogRequest::kZwiebackCookie, plat::Value(*cookie));
    }
    return request;
}

namespace {

std::atomic<int> gZarezuveFlushesInFlight{0};

// Counts one flush from its start until its completion runs or the last copy of the completion is dropped
// (a logger released mid-flush never calls it), whichever comes first.
class ZarezuveFlushInFlight {
public:
    ZarezuveFlushInFlight() { gZarezuveFlushesInFlight.fetch_add(1); }
    ~ZarezuveFlushInFlight() { end(); }
    ZarezuveFlushInFlight(const ZarezuveFlushInFlight&) = delete;
    ZarezuveFlushInFlight& operator=(const ZarezuveFlushInFlight&) = delete;
    void end() {
        if (!ended_.exchange(true)) {
            gZarezuveFlushesInFlight.fetch_sub(1);
        }
    }

private:
    std::atomic<bool> ended_{false};
};

} // namespace

bool DAVZarezuveLogger::hasFlushesInFlight() {
    return gZarezuveFlushesInFlight.load() > 0;
}

void DAVZarezuveLogger::flushWithCompletionHandler(std::function<void()> completion) {
    auto inFlight = std::make_shared<ZarezuveFlushInFlight>();
    std::function<void()> counted = [inFlight, completion = std::move(completion)] {
        if (completion) {
            completion();
        }
        inFlight->end();
    };
    queue_->async([self = shared_from_this(), counted = std::move(counted)]() mutable {
        self->sendLogsWithCompletionHandler(std::move(counted));
    });
}

void DAVZarezuveLogger::applicationDidEnterBackground() {
    flushWithCompletionHandler(nullptr);
}

void DAVZarezuveLogger::reachabilityDidChange() {
    scheduleNextSend();
}

void DAVZarezuveLogger::setBackgroundTaskId(uint64_t identifier) {
    const uint64_t old = backgroundTaskId_.exchange(identifier);
    if (old != plat::UIBackgroundTaskInvalid) {
        if (auto app = plat::UIApplication::sharedApplication()) {
            app->endBackgroundTask(old);
        }
    }
}

void DAVZarezuveLogger::sendLogsWithCompletionHandler(std::function<void()> completion) {
    if (backgroundTaskId_.load() == plat::UIBackgroundTaskInvalid) {
        if (auto app = plat::UIApplication::sharedApplication()) {
            std::weak_ptr<DAVZarezuveLogger> weakSelf = weak_from_this();
            backgroundTaskId_.store(app->beginBackgroundTaskWithName("DAVZarezuveLogger.sendLogs", [weakSelf] {
                if (auto self = weakSelf.lock()) {
                    self->setBackgroundTaskId(plat::UIBackgroundTaskInvalid);
                }
            }));
        }
    }
    std::shared_ptr<DAVZarezuveLoggerDelegate> delegate;
    {
        std::lock_guard lock(settingsMutex_);
        delegate = delegate_.lock();
    }
    if (delegate) {
        delegate->zarezuveLoggerWillSendLogs(*this);
    }
    flushWriters();
    updatePendingRequests();
    sendNextPendingRequestWithCompletionHandler(std::move(completion));
}

void DAVZarezuveLogger::sendNextPendingRequestWithCompletionHandler(std::function<void()> completion) {
    if (!network_ || network_->hasUploadInProgress() || uploadRetriesRemaining_.load() <= 0) {
        return;
    }
    auto request = nextPendingRequest();
    if (!request) {
        scheduleNextSend();
        setBackgroundTaskId(plat::UIBackgroundTaskInvalid);
        if (completion) {
            completion();
        }
        return;
    }
    auto message = logRequestFromPath(request->path, request->logSource);
    if (!message) {
        (void)plat::FileManager::defaultManager().removeItem(request->path);
        queue_->async([self = shared_from_this(), completion = std::move(completion)]() mutable {
            self->sendNextPendingRequestWithCompletionHandler(std::move(completion));
        });
        return;
    }
    NANOSetInt64(message, DLCPBLogRequest::kRequestTimeMs, DAVZarezuveCurrentTimeMillis());
    NANOSetInt64(message, DLCPBLogRequest::kRequestUptimeMs, DAVZarezuveUptimeMillis());
    auto body = message->protoBuffer();
    if (!body) {
        // Cannot happen for a request built above; kept from blocking the chain all the same.
        setAside(*request);
        sendNextPendingRequestWithCompletionHandler(std::move(completion));
        return;
    }
    std::weak_ptr<DAVZarezuveLogger> weakSelf = weak_from_this();
    network_->postURL(serverURL_, *body, plat::DispatchQueue::global(plat::QoS::background), false,
                      [weakSelf, request = *request, completion](auto response, auto, auto error) {
                          if (auto self = weakSelf.lock()) {
                              self->handleReply(request, std::move(response), std::move(error), completion);
                          }
                      });
}

void DAVZarezuveLogger::handleReply(const DAVZarezuveRequest& request,
                                    std::shared_ptr<const plat::HTTPURLResponse> response,
                                    std::optional<plat::Error> error, std::function<void()> completion) {
    const long status = response ? response->statusCode() : 0;
    if (error || status != 200) {
        std::optional<plat::Value> described;
        if (error) {
            described = plat::Value(error->description());
        }
        DAVLoggerWriteError(kDAVLoggerCore, "I-COR000020", "Error posting to Zarezuve: %@, with Status Code: %ld",
                            described, status);
        if (!error && zarezuvePermanentRefusal(status)) {
            // Posting it again would fail again and hold back every file behind it.
            setAside(request);
            sendNextPendingRequestWithCompletionHandler(std::move(completion));
            return;
        }
        uploadRetriesRemaining_.fetch_sub(1);
        scheduleNextSend();
        return;
    }
    (void)plat::FileManager::defaultManager().removeItem(request.path);
    uploadRetriesRemaining_.store(kZarezuveRetries);
    sendNextPendingRequestWithCompletionHandler(std::move(completion));
}

void DAVZarezuveLogger::setAside(const DAVZarezuveRequest& request) {
    auto& fm = plat::FileManager::defaultManager();
    const std::string folder = rejectedDirectory();
    (void)fm.createDirectory(folder, true, {});
    const std::string name = zarezuveEscapeAccount(request.account) + "-" + std::to_string(request.logSource) + "-" +
                             request.path.substr(request.path.rfind('/') + 1);
    if (!fm.moveItem(request.path, folder + "/" + name)) {
        (void)fm.removeItem(request.path);
    }
}

void DAVZarezuveLogger::scheduleNextSend() {
    if (sendScheduled_.load() || !network_) {
        return;
    }
    if (!network_->isNetworkConnected()) {
        network_->setReachabilityDelegate(weak_from_this());
        return;
    }
    network_->setReachabilityDelegate(std::weak_ptr<DVUNetworkReachabilityDelegate>());
    if (sendScheduled_.exchange(true)) {
        return;
    }
    std::weak_ptr<DAVZarezuveLogger> weakSelf = weak_from_this();
    queue_->asyncAfter(static_cast<double>(sendDelayMillis_) / 1000.0, [weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->sendScheduled_.store(false);
            self->sendLogsWithCompletionHandler(nullptr);
        }
    });
}
