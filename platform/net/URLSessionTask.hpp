#pragma once
// The tasks a URLSession makes: data, upload, download and stream. A task is created suspended, runs from
// resume() until it completes, and can be suspended, resumed and cancelled from any thread.

#include "platform/foundation/Error.hpp"
#include "platform/net/HTTPURLResponse.hpp"
#include "platform/net/URLRequest.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace plat {

class URLSession;
class URLSessionTaskEngine;

enum class URLSessionTaskState : int { running = 0, suspended = 1, canceling = 2, completed = 3 };
enum class URLSessionTaskKind { data, upload, download, stream };

class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
public:
    virtual ~URLSessionTask();
    URLSessionTask(const URLSessionTask&) = delete;
    URLSessionTask& operator=(const URLSessionTask&) = delete;

    uint64_t taskIdentifier() const { return identifier_; }
    URLSessionTaskKind kind() const { return kind_; }
    // Exactly as given to the factory.
    const std::optional<URLRequest>& originalRequest() const { return originalRequest_; }
    // After the session's headers were merged and redirects followed.
    std::optional<URLRequest> currentRequest() const;
    std::shared_ptr<const HTTPURLResponse> response() const;
    URLSessionTaskState state() const;
    std::optional<Error> error() const;

    int64_t countOfBytesSent() const { return bytesSent_.load(); }
    int64_t countOfBytesReceived() const { return bytesReceived_.load(); }
    int64_t countOfBytesExpectedToSend() const { return bytesExpectedToSend_.load(); }
    int64_t countOfBytesExpectedToReceive() const { return bytesExpectedToReceive_.load(); }

    std::string taskDescription() const;
    void setTaskDescription(std::string description);
    float priority() const;
    void setPriority(float priority);

    void resume();
    void suspend();
    void cancel();

    // Internal: made by URLSession.
    struct Private {};
    URLSessionTask(Private, URLSessionTaskKind kind, uint64_t identifier, std::optional<URLRequest> request);
    const std::shared_ptr<URLSessionTaskEngine>& engine() const { return engine_; }
    void attach(std::shared_ptr<URLSessionTaskEngine> engine) { engine_ = std::move(engine); }
    // Internal: the task's trust is decided by a handler of its own, so it must neither ride a connection
    // whose server another handler accepted nor leave its connection for others. Set before resume().
    void setNeedsOwnConnection(bool value) { needsOwnConnection_ = value; }
    bool needsOwnConnection() const { return needsOwnConnection_.load(); }

protected:
    friend class URLSessionTaskEngine;
    friend class URLSession;

    const URLSessionTaskKind kind_;
    const uint64_t identifier_;
    const std::optional<URLRequest> originalRequest_;
    std::shared_ptr<URLSessionTaskEngine> engine_;

    mutable std::mutex mutex_;
    std::optional<URLRequest> currentRequest_;
    std::shared_ptr<const HTTPURLResponse> response_;
    URLSessionTaskState state_ = URLSessionTaskState::suspended;
    bool started_ = false;
    std::optional<Error> error_;
    std::string description_;
    float priority_ = 0.5f;
    std::string downloadFile_; // removed with the task

    std::atomic<int64_t> bytesSent_{0};
    std::atomic<int64_t> bytesReceived_{0};
    std::atomic<int64_t> bytesExpectedToSend_{0};
    std::atomic<int64_t> bytesExpectedToReceive_{-1};
    std::atomic<bool> needsOwnConnection_{false};
};

class URLSessionDataTask : public URLSessionTask {
public:
    using URLSessionTask::URLSessionTask;
};

class URLSessionUploadTask : public URLSessionDataTask {
public:
    using URLSessionDataTask::URLSessionDataTask;
};

class URLSessionDownloadTask : public URLSessionTask {
public:
    using URLSessionTask::URLSessionTask;
    // Cancels the task and hands over resume data (none when the transfer cannot be resumed), on the
    // delegate queue.
    void cancelByProducingResumeData(std::function<void(std::optional<Data>)> completion);
};

class URLSessionStreamTask : public URLSessionTask {
public:
    URLSessionStreamTask(Private p, uint64_t identifier, std::string host, int port)
        : URLSessionTask(p, URLSessionTaskKind::stream, identifier, std::nullopt), host_(std::move(host)),
          port_(port) {}
    const std::string& host() const { return host_; }
    int port() const { return port_; }

private:
    std::string host_;
    int port_;
};

} // namespace plat
