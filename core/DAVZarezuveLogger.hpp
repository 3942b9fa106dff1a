#pragma once
// The log-collection client. Logging appends an event at once, as a length-prefixed record, to the open
// file of its account and log source under "<Caches>/DAVZarezuveLogger"; it never touches the network.
// Sending (every 15 minutes, on entering the background, when the network returns, on a flush) closes the
// open files, scans the folder and posts each file as one LogRequest through DVUNetwork; a file goes once
// the service answered 200. A file the service refuses for good (a 4xx other than 408 and 429) is moved
// aside to "<Caches>/DAVZarezuveLoggerRejected" instead of blocking every later send.

#include "core/CoreLogMessages.hpp"
#include "core/DVUNetwork.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/net/URL.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Milliseconds since 1970, and since the device booted (0 when unknown).
int64_t DAVZarezuveCurrentTimeMillis();
int64_t DAVZarezuveUptimeMillis();

// One open log file, written front to back.
class DAVZarezuveWriter {
public:
    // Creates the parent folders and the file (exclusively, 0600); fd() is -1 when that failed.
    explicit DAVZarezuveWriter(std::string path);
    ~DAVZarezuveWriter();
    DAVZarezuveWriter(const DAVZarezuveWriter&) = delete;
    DAVZarezuveWriter& operator=(const DAVZarezuveWriter&) = delete;

    // Appends one record. On a failed or short write the file is cut back to where the record began, so
    // it never holds a torn record.
    bool writeLogEvent(const DLCPBLogEvent& event);
    void close();
    int fd() const { return fd_; }
    uint64_t numBytes() const { return numBytes_; }
    const std::string& path() const { return path_; }

private:
    bool writeAll(const uint8_t* bytes, std::size_t length);

    std::string path_;
    int fd_ = -1;
    uint64_t numBytes_ = 0;
};

// The writers of one account, one per log source.
class DAVZarezuveAccountData {
public:
    explicit DAVZarezuveAccountData(std::string accountLogDirectory);
    std::shared_ptr<DAVZarezuveWriter> writerForLogSource(int32_t logSource);
    void removeWriterForLogSource(int32_t logSource);
    void flushWriters();
    // The folder + the current time in milliseconds; the next free millisecond when a file of that name
    // exists already, so two files of one millisecond both keep their events.
    static std::string filenameWithCurrentTimeInDirectory(const std::string& directory);
    const std::string& accountLogDirectory() const { return accountLogDirectory_; }

private:
    std::string accountLogDirectory_;
    std::map<int32_t, std::shared_ptr<DAVZarezuveWriter>> logSourceToWriter_;
};

// One file waiting for upload.
struct DAVZarezuveRequest {
    int32_t logSource = 0;
    std::string account;
    std::string path;
};

class DAVZarezuveLogger;

class DAVZarezuveLoggerDelegate {
public:
    virtual ~DAVZarezuveLoggerDelegate() = default;
    virtual void zarezuveLoggerWillSendLogs(DAVZarezuveLogger& logger) = 0;
};

class DAVZarezuveLogger : public DVUNetworkReachabilityDelegate,
                          public std::enable_shared_from_this<DAVZarezuveLogger> {
public:
    struct Setup {
        std::string logDirectory;          // default "<Caches>/DAVZarezuveLogger"
        std::optional<plat::URL> serverURL; // default the deployment's log host + "/log"
        std::shared_ptr<DVUNetwork> network; // default DVUNetwork::init()
    };
    struct Private {};

    static std::shared_ptr<DAVZarezuveLogger> sharedInstance();
    // A logger of its own (tests, tools); it schedules its first send at once.
    static std::shared_ptr<DAVZarezuveLogger> make(Setup setup = {});
    DAVZarezuveLogger(Private, Setup setup);
    ~DAVZarezuveLogger() override;

    // Stamps a missing event time and uptime on the caller's thread, then appends the event on the
    // logger's queue. The caller must leave the event alone afterwards.
    void logEvent(const std::shared_ptr<DLCPBLogEvent>& event, int32_t logSource, const std::string& account);
    // Sends everything on disk; the completion runs once the last file went (not after a failed post).
    void flushWithCompletionHandler(std::function<void()> completion);
    // Whether a flush of any logger is still writing or posting; a driver that waits for the app to settle
    // (the console between commands) asks this.
    static bool hasFlushesInFlight();
    void applicationDidEnterBackground();
    void reachabilityDidChange() override;

    std::shared_ptr<DAVZarezuveAccountData> accountDataForAccount(const std::string& account);
    void flushWriters();
    void updatePendingRequests();
    std::optional<DAVZarezuveRequest> nextPendingRequest();
    std::shared_ptr<DLCPBLogRequest> logRequestFromPath(const std::string& path, int32_t logSource);
    void sendLogsWithCompletionHandler(std::function<void()> completion);
    void sendNextPendingRequestWithCompletionHandler(std::function<void()> completion);
    void scheduleNextSend();
    void setBackgroundTaskId(uint64_t identifier);

    const std::string& logDirectory() const { return logDirectory_; }
    const plat::DispatchQueuePtr& queue() const { return queue_; }
    const std::shared_ptr<DVUNetwork>& network() const { return network_; }
    int32_t uploadRetriesRemaining() const { return uploadRetriesRemaining_.load(); }
    bool isSendScheduled() const { return sendScheduled_.load(); }
    int64_t sendDelayMillis() const { return sendDelayMillis_; }
    uint64_t maxRequestNumBytes() const { return maxRequestNumBytes_; }
    void setMaxRequestNumBytes(uint64_t bytes) { maxRequestNumBytes_ = bytes; }

    void setApplicationBuild(std::string build);
    void setInstallIdentifier(std::optional<std::string> identifier);
    void setZwiebackCookie(std::optional<std::string> cookie);
    void setDelegate(std::weak_ptr<DAVZarezuveLoggerDelegate> delegate);

    // The folder files the service refused for good are moved to.
    static std::string rejectedDirectory();

private:
    void start();
    void writeEvent(const std::shared_ptr<DLCPBLogEvent>& event, int32_t logSource, const std::string& account);
    void handleReply(const DAVZarezuveRequest& request, std::shared_ptr<const plat::HTTPURLResponse> response,
                     std::optional<plat::Error> error, std::function<void()> completion);
    void setAside(const DAVZarezuveRequest& request);

    plat::DispatchQueuePtr queue_;
    std::string logDirectory_;
    std::optional<plat::URL> serverURL_;
    std::shared_ptr<DVUNetwork> network_;
    // Touched on queue_ only.
    std::map<std::string, std::shared_ptr<DAVZarezuveAccountData>> accounts_;
    std::mutex pendingMutex_;
    std::vector<DAVZarezuveRequest> pendingRequests_;
    int64_t sendDelayMillis_ = 900000;
    std::atomic<int32_t> uploadRetriesRemaining_{6};
    std::atomic<bool> sendScheduled_{false};
    std::atomic<uint64_t> maxRequestNumBytes_{1048576};
    std::atomic<uint64_t> backgroundTaskId_{0};
    mutable std::mutex settingsMutex_;
    std::string applicationBuild_ = "0";
    std::optional<std::string> installIdentifier_;
    std::optional<std::string> zwiebackCookie_;
    std::weak_ptr<DAVZarezuveLoggerDelegate> delegate_;
};
