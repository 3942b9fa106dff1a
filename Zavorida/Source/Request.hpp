#pragma once
// One transfer made through a session manager: its URL-session task, what the task was made from (so a
// retry can make it again), the task delegate that collects the task's events, the attempt's times, and the
// response handlers that run once the task has completed.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "Zavorida/Source/AnyError.hpp"
#include "Zavorida/Source/NetService.hpp"
#include "Zavorida/Source/Response.hpp"
#include "Zavorida/Source/ResponseSerialization.hpp"
#include "Zavorida/Source/TaskDelegate.hpp"
#include "Zavorida/Source/Timeline.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/net/URLSession.hpp"

namespace Zavorida {

class Request;
class SessionManager;

// Changes a URL request before its task is made; throwing stops the request with that error.
class RequestAdapter {
public:
    virtual ~RequestAdapter() = default;
    virtual plat::URLRequest adapt(plat::URLRequest urlRequest) = 0;
};

// Decides whether a failed request is tried again, and after what delay; calls `completion` once.
class RequestRetrier {
public:
    using Completion = std::function<void(bool shouldRetry, double timeDelay)>;
    virtual ~RequestRetrier() = default;
    virtual void shouldRetry(SessionManager& manager, const std::shared_ptr<Request>& request,
                             const AnyError& error, Completion completion) = 0;
};

// What a task is made from. makeTask runs the platform call synchronously on `queue`; an adapter failure is
// thrown as AdaptError.
class TaskConvertible {
public:
    using TaskPtr = std::shared_ptr<plat::URLSessionTask>;
    virtual ~TaskConvertible() = default;
    virtual TaskPtr makeTask(plat::URLSession& session, const std::shared_ptr<RequestAdapter>& adapter,
                             const plat::DispatchQueuePtr& queue) const = 0;
    // The URL request the task is made from, when there is one.
    virtual std::optional<plat::URLRequest> urlRequest() const = 0;
};
using TaskConvertiblePtr = std::shared_ptr<const TaskConvertible>;

struct Requestable final : TaskConvertible {
    explicit Requestable(plat::URLRequest request) : urlRequest_(std::move(request)) {}
    TaskPtr makeTask(plat::URLSession& session, const std::shared_ptr<RequestAdapter>& adapter,
                     const plat::DispatchQueuePtr& queue) const override;
    std::optional<plat::URLRequest> urlRequest() const override { return urlRequest_; }
    plat::URLRequest urlRequest_;
};

struct Downloadable final : TaskConvertible {
    static Downloadable request(plat::URLRequest request) { return Downloadable(std::move(request)); }
    static Downloadable resumeData(plat::Data data) { return Downloadable(std::move(data)); }
    TaskPtr makeTask(plat::URLSession& session, const std::shared_ptr<RequestAdapter>& adapter,
                     const plat::DispatchQueuePtr& queue) const override;
    // None for the resume-data case.
    std::optional<plat::URLRequest> urlRequest() const override;
    std::variant<plat::URLRequest, plat::Data> value;

private:
    template <class T> explicit Downloadable(T v) : value(std::move(v)) {}
};

struct Uploadable final : TaskConvertible {
    struct FromData {
        plat::Data data;
        plat::URLRequest request;
    };
    struct FromFile {
        plat::URL fileURL;
        plat::URLRequest request;
    };
    struct FromStream {
        std::shared_ptr<plat::InputStream> stream;
        plat::URLRequest request;
    };
    static Uploadable data(plat::Data data, plat::URLRequest request) {
        return Uploadable(FromData{std::move(data), std::move(request)});
    }
    static Uploadable file(plat::URL url, plat::URLRequest request) {
        return Uploadable(FromFile{std::move(url), std::move(request)});
    }
    static Uploadable stream(std::shared_ptr<plat::InputStream> stream, plat::URLRequest request) {
        return Uploadable(FromStream{std::move(stream), std::move(request)});
    }
    TaskPtr makeTask(plat::URLSession& session, const std::shared_ptr<RequestAdapter>& adapter,
                     const plat::DispatchQueuePtr& queue) const override;
    std::optional<plat::URLRequest> urlRequest() const override;
    std::variant<FromData, FromFile, FromStream> value;

private:
    template <class T> explicit Uploadable(T v) : value(std::move(v)) {}
};

// A stream task's origin: a host and port, or a network service. Adapters do not apply to stream tasks. A
// service that has not been resolved throws the platform's cannot-find-host error.
struct Streamable final : TaskConvertible {
    struct ToHost {
        std::string hostName;
        int port;
    };
    static Streamable stream(std::string hostName, int port) {
        return Streamable(ToHost{std::move(hostName), port});
    }
    static Streamable netService(NetService service) { return Streamable(std::move(service)); }
    TaskPtr makeTask(plat::URLSession& session, const std::shared_ptr<RequestAdapter>& adapter,
                     const plat::DispatchQueuePtr& queue) const override;
    std::optional<plat::URLRequest> urlRequest() const override { return std::nullopt; }
    std::variant<ToHost, NetService> value;

private:
    template <class T> explicit Streamable(T v) : value(std::move(v)) {}
};

class Request : public std::enable_shared_from_this<Request>, public ResponseBodyRules {
public:
    using TaskPtr = std::shared_ptr<plat::URLSessionTask>;
    enum class TaskKind { data, download, upload, stream };
    struct RequestTask {
        TaskKind kind;
        TaskConvertiblePtr originalTask;
        TaskPtr task;
    };

    // Makes a request of class R (which must match the kind) with its end-time stamp queued.
    template <class R>
    static std::shared_ptr<R> make(std::shared_ptr<plat::URLSession> session, RequestTask requestTask,
                                   std::optional<AnyError> error = std::nullopt) {
        std::shared_ptr<R> request(new R(std::move(session), std::move(requestTask), std::move(error)));
        request->queueEndTimeStamp();
        return request;
    }

    virtual ~Request() = default;
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    const std::shared_ptr<plat::URLSession>& session() const { return session_; }
    const TaskConvertiblePtr& originalTask() const { return originalTask_; }

    std::shared_ptr<TaskDelegate> delegate() const;
    void setDelegate(std::shared_ptr<TaskDelegate> delegate);
    TaskPtr task() const;
    virtual std::optional<plat::URLRequest> request() const;
    HTTPResponsePtr response() const;

    std::uint64_t retryCount() const { return retryCount_.load(); }
    void setRetryCount(std::uint64_t count) { retryCount_.store(count); }
    std::optional<double> startTime() const;
    void setStartTime(std::optional<double> time);
    std::optional<double> endTime() const;
    void setEndTime(std::optional<double> time);
    std::vector<std::function<void()>> validations() const;
    void setValidations(std::vector<std::function<void()>> validations);

    std::shared_ptr<Request>
    authenticate(std::string user, std::string password,
                 plat::URLCredentialPersistence persistence = plat::URLCredentialPersistence::forSession);
    std::shared_ptr<Request> authenticate(plat::URLCredential credential);
    // ("Authorization", "Basic <base64 of user:password>").
    static std::optional<std::pair<std::string, std::string>>
    authorizationHeader(const std::string& user, const std::string& password);

    void resume();
    void suspend();
    virtual void cancel();

    // "<method> <url> (<status>)", each part only when known.
    std::string description() const;
    // The transfer as a cURL command line, one option a line.
    std::string debugDescription() const;

    // The four times of a timeline: start, completion, first response and now.
    Timeline makeTimeline() const;

protected:
    Request(std::shared_ptr<plat::URLSession> session, RequestTask requestTask,
            std::optional<AnyError> error);
    void post(const char* name, const TaskPtr& task);

private:
    void queueEndTimeStamp();

    const std::shared_ptr<plat::URLSession> session_;
    const TaskConvertiblePtr originalTask_;
    std::atomic<std::uint64_t> retryCount_{0};
    mutable std::mutex timesMutex_;
    std::optional<double> startTime_;
    std::optional<double> endTime_;
    std::vector<std::function<void()>> validations_;
    mutable std::mutex taskDelegateLock_;
    std::shared_ptr<TaskDelegate> taskDelegate_;
};

namespace detail {
inline plat::DispatchQueuePtr completionQueue(const plat::DispatchQueuePtr& queue) {
    return queue ? queue : plat::DispatchQueue::main();
}
} // namespace detail

class DataRequest : public Request, public DataSerializerFactories {
public:
    using DefaultHandler = std::function<void(const DefaultDataResponse&)>;

    std::optional<plat::URLRequest> request() const override;
    ProgressPtr progress() const;
    std::shared_ptr<DataRequest> setDataStream(std::function<void(const plat::Data&)> closure);
    std::shared_ptr<DataRequest> setProgressHandler(plat::DispatchQueuePtr queue,
                                                    std::function<void(const ProgressPtr&)> closure);

    // Runs `completionHandler` on `queue` (the main queue when none) once the task has completed, with the
    // raw outcome.
    std::shared_ptr<DataRequest> addResponseHandler(plat::DispatchQueuePtr queue,
                                                    DefaultHandler completionHandler);

    // Runs `serializer` on the task delegate's queue once the task has completed, then hands the record to
    // `completionHandler` on `queue` (the main queue when none).
    template <DataResponseSerializerProtocol S>
    std::shared_ptr<DataRequest> addSerializedResponseHandler(
        plat::DispatchQueuePtr queue, S serializer,
        std::function<void(const DataResponse<typename S::SerializedObject>&)> completionHandler) {
        auto self = std::static_pointer_cast<DataRequest>(shared_from_this());
        auto box = std::make_shared<const S>(std::move(serializer));
        delegate()->queue()->addOperationWithBlock(
            [self, box, queue = std::move(queue), completionHandler = std::move(completionHandler)] {
                const auto taskDelegate = self->dataDelegate();
                auto result = box->serializeResponse(self->request(), self->response(), taskDelegate->data(),
                                                     taskDelegate->error());
                auto record = std::make_shared<DataResponse<typename S::SerializedObject>>(
                    self->request(), self->response(), self->dataDelegate()->data(), std::move(result),
                    self->makeTimeline());
                record->attachMetrics(self->delegate()->metrics());
                detail::completionQueue(queue)->async([record, completionHandler] {
                    if (completionHandler) {
                        completionHandler(*record);
                    }
                });
            });
        return self;
    }

    std::shared_ptr<DataRequest>
    addDataResponseHandler(plat::DispatchQueuePtr queue,
                           std::function<void(const DataResponse<plat::Data>&)> handler) {
        return addSerializedResponseHandler(std::move(queue), makeDataSerializer(), std::move(handler));
    }
    std::shared_ptr<DataRequest>
    addStringResponseHandler(plat::DispatchQueuePtr queue, std::optional<plat::StringEncoding> encoding,
                             std::function<void(const DataResponse<std::string>&)> handler) {
        return addSerializedResponseHandler(std::move(queue), makeStringSerializer(encoding),
                                            std::move(handler));
    }
    std::shared_ptr<DataRequest>
    addJSONResponseHandler(plat::DispatchQueuePtr queue, unsigned options,
                           std::function<void(const DataResponse<plat::Value>&)> handler) {
        return addSerializedResponseHandler(std::move(queue), makeJSONSerializer(options),
                                            std::move(handler));
    }
    std::shared_ptr<DataRequest>
    addPropertyListResponseHandler(plat::DispatchQueuePtr queue, unsigned options,
                                   std::function<void(const DataResponse<plat::Value>&)> handler) {
        return addSerializedResponseHandler(std::move(queue), makePropertyListSerializer(options),
                                            std::move(handler));
    }

protected:
    friend class Request;
    using Request::Request;
    std::shared_ptr<DataTaskDelegate> dataDelegate() const;
};

class UploadRequest : public DataRequest {
public:
    std::optional<plat::URLRequest> request() const override;
    ProgressPtr uploadProgress() const;
    std::shared_ptr<UploadRequest> setUploadProgressHandler(plat::DispatchQueuePtr queue,
                                                            std::function<void(const ProgressPtr&)> closure);

protected:
    friend class Request;
    using DataRequest::DataRequest;
};

class DownloadRequest : public Request, public DownloadSerializerFactories {
public:
    std::optional<plat::URLRequest> request() const override;
    std::optional<plat::Data> resumeData() const;
    ProgressPtr progress() const;
    std::shared_ptr<DownloadRequest> setProgressHandler(plat::DispatchQueuePtr queue,
                                                        std::function<void(const ProgressPtr&)> closure);
    // Cancels so that the platform hands over resume data, which arrives later into resumeData().
    void cancel() override;

    // A destination that puts the file, under the name the response suggests, into the first folder of
    // the directory in the domain; with no such folder the file stays at its temporary URL.
    static DownloadDestination
    suggestedDestination(plat::SearchPathDirectory directory = plat::SearchPathDirectory::Document,
                         int domain = plat::UserDomainMask);

    std::shared_ptr<DownloadRequest>
    addResponseHandler(plat::DispatchQueuePtr queue,
                       std::function<void(const DefaultDownloadResponse&)> completionHandler);

    // The serializer reads the destination file when there is a destination, else the temporary file.
    template <DownloadResponseSerializerProtocol S>
    std::shared_ptr<DownloadRequest> addSerializedResponseHandler(
        plat::DispatchQueuePtr queue, S serializer,
        std::function<void(const DownloadResponse<typename S::SerializedObject>&)> completionHandler) {
        auto self = std::static_pointer_cast<DownloadRequest>(shared_from_this());
        auto box = std::make_shared<const S>(std::move(serializer));
        delegate()->queue()->addOperationWithBlock(
            [self, box, queue = std::move(queue), completionHandler = std::move(completionHandler)] {
                const auto taskDelegate = self->downloadDelegate();
                const auto fileURL = taskDelegate->destination() ? taskDelegate->destinationURL()
                                                                 : taskDelegate->temporaryURL();
                auto result =
                    box->serializeResponse(self->request(), self->response(), fileURL, taskDelegate->error());
                const auto current = self->downloadDelegate();
                auto record = std::make_shared<DownloadResponse<typename S::SerializedObject>>(
                    self->request(), self->response(), current->temporaryURL(), current->destinationURL(),
                    current->resumeData(), std::move(result), self->makeTimeline());
                record->attachMetrics(current->metrics());
                detail::completionQueue(queue)->async([record, completionHandler] {
                    if (completionHandler) {
                        completionHandler(*record);
                    }
                });
            });
        return self;
    }

    std::shared_ptr<DownloadRequest>
    addDataResponseHandler(plat::DispatchQueuePtr queue,
                           std::function<void(const DownloadResponse<plat::Data>&)> handler) {
        return addSerializedResponseHandler(std::move(queue), makeDataSerializer(), std::move(handler));
    }
    std::shared_ptr<DownloadRequest>
    addStringResponseHandler(plat::DispatchQueuePtr queue, std::optional<plat::StringEncoding> encoding,
                             std::function<void(const DownloadResponse<std::string>&)> handler) {
        return addSerializedResponseHandler(std::move(queue), makeStringSerializer(encoding),
                                            std::move(handler));
    }
    std::shared_ptr<DownloadRequest>
    addJSONResponseHandler(plat::DispatchQueuePtr queue, unsigned options,
                           std::function<void(const DownloadResponse<plat::Value>&)> handler) {
        return addSerializedResponseHandler(std::move(queue), makeJSONSerializer(options),
                                            std::move(handler));
    }
    std::shared_ptr<DownloadRequest>
    addPropertyListResponseHandler(plat::DispatchQueuePtr queue, unsigned options,
                                   std::function<void(const DownloadResponse<plat::Value>&)> handler) {
        return addSerializedResponseHandler(std::move(queue), makePropertyListSerializer(options),
                                            std::move(handler));
    }

protected:
    friend class Request;
    using Request::Request;
    std::shared_ptr<DownloadTaskDelegate> downloadDelegate() const;
};

class StreamRequest : public Request {
protected:
    friend class Request;
    using Request::Request;
};

} // namespace Zavorida
