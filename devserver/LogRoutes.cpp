#include "devserver/LogRoutes.hpp"

#include "devserver/Gzip.hpp"
#include "devserver/Server.hpp"

#include "CoreLog.pb.h"

#include <pb_decode.h>

namespace devserver {

namespace {

bool logReadString(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* out = static_cast<std::string*>(*arg);
    out->resize(stream->bytes_left);
    return pb_read(stream, reinterpret_cast<pb_byte_t*>(out->data()), out->size());
}

bool logReadRepeatedBytes(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* out = static_cast<std::vector<std::string>*>(*arg);
    std::string element(stream->bytes_left, '\0');
    if (!pb_read(stream, reinterpret_cast<pb_byte_t*>(element.data()), element.size())) {
        return false;
    }
    out->push_back(std::move(element));
    return true;
}

} // namespace

ReceivedLogRequest LogService::decode(const std::string& body) {
    ReceivedLogRequest received;
    dvulog_LogRequest request = dvulog_LogRequest_init_zero;
    request.serialized_log_events.funcs.decode = &logReadRepeatedBytes;
    request.serialized_log_events.arg = &received.serializedLogEvents;
    request.client_info.ios_client_info.os_version.funcs.decode = &logReadString;
    request.client_info.ios_client_info.os_version.arg = &received.osVersion;
    request.client_info.ios_client_info.application_build.funcs.decode = &logReadString;
    request.client_info.ios_client_info.application_build.arg = &received.applicationBuild;
    request.client_info.ios_client_info.install_identifier.funcs.decode = &logReadString;
    request.client_info.ios_client_info.install_identifier.arg = &received.installIdentifier;
    pb_istream_t stream = pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>(body.data()), body.size());
    if (!pb_decode(&stream, dvulog_LogRequest_fields, &request)) {
        return ReceivedLogRequest{};
    }
    received.decoded = true;
    if (request.has_log_source) {
        received.logSource = request.log_source;
    }
    if (request.has_client_info && request.client_info.has_client_type) {
        received.clientType = request.client_info.client_type;
    }
    return received;
}

std::vector<ReceivedLogRequest> LogService::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void LogService::scriptNext(Reply reply) {
    std::lock_guard lock(mutex_);
    scripts_.push_back(std::move(reply));
}

Reply LogService::answer(const RecordedRequest& request) {
    auto plain = gunzip(request.body);
    ReceivedLogRequest received = plain ? decode(*plain) : ReceivedLogRequest{};
    std::lock_guard lock(mutex_);
    received_.push_back(std::move(received));
    if (!scripts_.empty()) {
        Reply reply = std::move(scripts_.front());
        scripts_.pop_front();
        return reply;
    }
    return Reply::text(200, "");
}

std::shared_ptr<LogService> installLogRoutes(Server& server) {
    auto service = std::make_shared<LogService>();
    Route route;
    route.method = "POST";
    route.host = kLogHost;
    route.path = "/log";
    route.handler = [service](const RecordedRequest& request) { return service->answer(request); };
    server.route(std::move(route));
    return service;
}

} // namespace devserver
