#pragma once
// What a finished request hands to a completion handler: the request as sent, the HTTP response, the body
// or downloaded file, the outcome (a raw error, or a serialized Result), the timeline and the task metrics.

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "Zavorida/Source/AnyError.hpp"
#include "Zavorida/Source/Result.hpp"
#include "Zavorida/Source/Timeline.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/net/HTTPURLResponse.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/net/URLSessionDelegate.hpp"

namespace Zavorida {

using HTTPResponsePtr = std::shared_ptr<const plat::HTTPURLResponse>;
using TaskMetricsPtr = std::shared_ptr<plat::URLSessionTaskMetrics>;

// The metrics slot every record has. It holds an object of any class, but only task metrics are ever
// attached, and only on systems that collect them (OS 10 and later).
class Response {
public:
    const std::any& _metrics() const { return metrics_; }
    void _setMetrics(std::any object) { metrics_ = std::move(object); }

    // The slot viewed as task metrics; none when empty or holding anything else.
    TaskMetricsPtr metrics() const;
    // Stores `object` when it is task metrics and the OS collects them; otherwise nothing changes.
    void attachMetrics(const std::any& object);

protected:
    Response() = default;

private:
    std::any metrics_;
};

namespace detail {
// "[Request]: <method> <request>" or "[Request]: nil".
std::string requestLine(const std::optional<plat::URLRequest>& request);
// "[Response]: <response>" or "[Response]: nil".
std::string responseLine(const HTTPResponsePtr& response);
std::string pathOrNil(const std::optional<plat::URL>& url);
std::size_t byteCount(const std::optional<plat::Data>& data);
} // namespace detail

class DefaultDataResponse : public Response {
public:
    DefaultDataResponse(std::optional<plat::URLRequest> request, HTTPResponsePtr response,
                        std::optional<plat::Data> data, std::optional<AnyError> error,
                        Timeline timeline = {});

    const std::optional<plat::URLRequest>& request() const { return request_; }
    const HTTPResponsePtr& response() const { return response_; }
    const std::optional<plat::Data>& data() const { return data_; }
    const std::optional<AnyError>& error() const { return error_; }
    const Timeline& timeline() const { return timeline_; }

private:
    std::optional<plat::URLRequest> request_;
    HTTPResponsePtr response_;
    std::optional<plat::Data> data_;
    std::optional<AnyError> error_;
    Timeline timeline_;
};

template <class Value> class DataResponse : public Response {
public:
    // Optional fields come by reference: moving a disengaged optional in inline code trips GCC 12's
    // maybe-uninitialized analysis.
    DataResponse(const std::optional<plat::URLRequest>& request, HTTPResponsePtr response,
                 const std::optional<plat::Data>& data, Result<Value> result, Timeline timeline = {})
        : request_(request), response_(std::move(response)), data_(data), result_(std::move(result)),
          timeline_(timeline) {}

    const std::optional<plat::URLRequest>& request() const { return request_; }
    const HTTPResponsePtr& response() const { return response_; }
    const std::optional<plat::Data>& data() const { return data_; }
    const Result<Value>& result() const { return result_; }
    const Timeline& timeline() const { return timeline_; }

    std::optional<Value> resultValue() const { return result_.value(); }
    std::optional<AnyError> resultError() const { return result_.error(); }

    template <class F> auto mapValue(F&& transform) const {
        return remake(result_.map(std::forward<F>(transform)));
    }
    template <class F> auto tryMapValue(F&& transform) const {
        return remake(result_.tryMap(std::forward<F>(transform)));
    }
    template <class F> DataResponse mapFailure(F&& transform) const {
        return remake(result_.mapError(std::forward<F>(transform)));
    }
    template <class F> DataResponse tryMapFailure(F&& transform) const {
        return remake(result_.tryMapError(std::forward<F>(transform)));
    }

    std::string description() const { return result_.debugDescription(); }
    std::string debugDescription() const {
        return detail::requestLine(request_) + "\n" + detail::responseLine(response_) +
               "\n[Data]: " + std::to_string(detail::byteCount(data_)) +
               " bytes\n[Result]: " + result_.debugDescription() +
               "\n[Timeline]: " + timeline_.debugDescription();
    }

private:
    // A record of the same request with a new result; the metrics object comes along unchecked.
    template <class T> DataResponse<T> remake(Result<T> result) const {
        DataResponse<T> next(request_, response_, data_, std::move(result), timeline_);
        next._setMetrics(_metrics());
        return next;
    }

    std::optional<plat::URLRequest> request_;
    HTTPResponsePtr response_;
    std::optional<plat::Data> data_;
    Result<Value> result_;
    Timeline timeline_;
};

class DefaultDownloadResponse : public Response {
public:
    DefaultDownloadResponse(std::optional<plat::URLRequest> request, HTTPResponsePtr response,
                            std::optional<plat::URL> temporaryURL, std::optional<plat::URL> destinationURL,
                            std::optional<plat::Data> resumeData, std::optional<AnyError> error,
                            Timeline timeline = {});

    const std::optional<plat::URLRequest>& request() const { return request_; }
    const HTTPResponsePtr& response() const { return response_; }
    const std::optional<plat::URL>& temporaryURL() const { return temporaryURL_; }
    const std::optional<plat::URL>& destinationURL() const { return destinationURL_; }
    const std::optional<plat::Data>& resumeData() const { return resumeData_; }
    const std::optional<AnyError>& error() const { return error_; }
    const Timeline& timeline() const { return timeline_; }

private:
    std::optional<plat::URLRequest> request_;
    HTTPResponsePtr response_;
    std::optional<plat::URL> temporaryURL_;
    std::optional<plat::URL> destinationURL_;
    std::optional<plat::Data> resumeData_;
    std::optional<AnyError> error_;
    Timeline timeline_;
};

template <class Value> class DownloadResponse : public Response {
public:
    DownloadResponse(const std::optional<plat::URLRequest>& request, HTTPResponsePtr response,
                     const std::optional<plat::URL>& temporaryURL,
                     const std::optional<plat::URL>& destinationURL,
                     const std::optional<plat::Data>& resumeData, Result<Value> result,
                     Timeline timeline = {})
        : request_(request), response_(std::move(response)), temporaryURL_(temporaryURL),
          destinationURL_(destinationURL), resumeData_(resumeData), result_(std::move(result)),
          timeline_(timeline) {}

    const std::optional<plat::URLRequest>& request() const { return request_; }
    const HTTPResponsePtr& response() const { return response_; }
    const std::optional<plat::URL>& temporaryURL() const { return temporaryURL_; }
    const std::optional<plat::URL>& destinationURL() const { return destinationURL_; }
    const std::optional<plat::Data>& resumeData() const { return resumeData_; }
    const Result<Value>& result() const { return result_; }
    const Timeline& timeline() const { return timeline_; }

    std::optional<Value> resultValue() const { return result_.value(); }
    std::optional<AnyError> resultError() const { return result_.error(); }

    template <class F> auto mapValue(F&& transform) const {
        return remake(result_.map(std::forward<F>(transform)));
    }
    template <class F> auto tryMapValue(F&& transform) const {
        return remake(result_.tryMap(std::forward<F>(transform)));
    }
    template <class F> DownloadResponse mapFailure(F&& transform) const {
        return remake(result_.mapError(std::forward<F>(transform)));
    }
    template <class F> DownloadResponse tryMapFailure(F&& transform) const {
        return remake(result_.tryMapError(std::forward<F>(transform)));
    }

    std::string description() const { return result_.debugDescription(); }
    std::string debugDescription() const {
        return detail::requestLine(request_) + "\n" + detail::responseLine(response_) +
               "\n[TemporaryURL]: " + detail::pathOrNil(temporaryURL_) +
               "\n[DestinationURL]: " + detail::pathOrNil(destinationURL_) +
               "\n[ResumeData]: " + std::to_string(detail::byteCount(resumeData_)) +
               " bytes\n[Result]: " + result_.debugDescription() +
               "\n[Timeline]: " + timeline_.debugDescription();
    }

private:
    template <class T> DownloadResponse<T> remake(Result<T> result) const {
        DownloadResponse<T> next(request_, response_, temporaryURL_, destinationURL_, resumeData_,
                                 std::move(result), timeline_);
        next._setMetrics(_metrics());
        return next;
    }

    std::optional<plat::URLRequest> request_;
    HTTPResponsePtr response_;
    std::optional<plat::URL> temporaryURL_;
    std::optional<plat::URL> destinationURL_;
    std::optional<plat::Data> resumeData_;
    Result<Value> result_;
    Timeline timeline_;
};

} // namespace Zavorida
