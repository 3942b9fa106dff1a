#include "Zavorida/Source/Response.hpp"

#include <cstdio>

#include "platform/foundation/ProcessInfo.hpp"

namespace Zavorida {

TaskMetricsPtr Response::metrics() const {
    const auto* metrics = std::any_cast<TaskMetricsPtr>(&metrics_);
    return metrics ? *metrics : nullptr;
}

void Response::attachMetrics(const std::any& object) {
    if (!object.has_value() ||
        plat::ProcessInfo::processInfo().operatingSystemVersion() < plat::OperatingSystemVersion{10, 0, 0}) {
        return;
    }
    const auto* metrics = std::any_cast<TaskMetricsPtr>(&object);
    if (!metrics || !*metrics) {
        return;
    }
    metrics_ = object;
}

DefaultDataResponse::DefaultDataResponse(std::optional<plat::URLRequest> request, HTTPResponsePtr response,
                                         std::optional<plat::Data> data, std::optional<AnyError> error,
                                         Timeline timeline)
    : request_(std::move(request)), response_(std::move(response)), data_(std::move(data)),
      error_(std::move(error)), timeline_(timeline) {}

DefaultDownloadResponse::DefaultDownloadResponse(std::optional<plat::URLRequest> request,
                                                 HTTPResponsePtr response,
                                                 std::optional<plat::URL> temporaryURL,
                                                 std::optional<plat::URL> destinationURL,
                                                 std::optional<plat::Data> resumeData,
                                                 std::optional<AnyError> error, Timeline timeline)
    : request_(std::move(request)), response_(std::move(response)), temporaryURL_(std::move(temporaryURL)),
      destinationURL_(std::move(destinationURL)), resumeData_(std::move(resumeData)),
      error_(std::move(error)), timeline_(timeline) {}

namespace detail {

namespace {

// The request's own text, as the platform's request value gives it.
std::string describeRequest(const plat::URLRequest& request) {
    return request.url() ? request.url()->description() : std::string("url: nil");
}

// The response object's own text, in the shape the platform's HTTP response prints.
std::string describeResponse(const plat::HTTPURLResponse& response) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(&response));
    std::string text = std::string("<NSHTTPURLResponse: ") + address +
                       "> { URL: " + response.url().description() +
                       " } { Status Code: " + std::to_string(response.statusCode()) + ", Headers {\n";
    for (const auto& [name, value] : response.allHeaderFields()) {
        text += "    \"" + name + "\" =     (\n        \"" + value + "\"\n    );\n";
    }
    text += "} }";
    return text;
}

} // namespace

std::string requestLine(const std::optional<plat::URLRequest>& request) {
    if (!request) {
        return "[Request]: nil";
    }
    return "[Request]: " + request->httpMethod() + " " + describeRequest(*request);
}

std::string responseLine(const HTTPResponsePtr& response) {
    return response ? "[Response]: " + describeResponse(*response) : std::string("[Response]: nil");
}

std::string pathOrNil(const std::optional<plat::URL>& url) {
    return url ? url->path() : std::string("nil");
}

std::size_t byteCount(const std::optional<plat::Data>& data) {
    return data ? data->size() : 0;
}

} // namespace detail
} // namespace Zavorida
