#include "devserver/MeasurementRoutes.hpp"

#include "devserver/FormEncoding.hpp"
#include "devserver/Gzip.hpp"
#include "devserver/Server.hpp"

#include <cstring>
#include <string_view>

namespace devserver {

namespace {

// ---- a minimal protobuf wire reader ------------------------------------------------------------------------

struct MeasurementWireField {
    uint32_t tag = 0;
    uint32_t type = 0;     // 0 varint, 1 fixed64, 2 length-delimited, 5 fixed32
    uint64_t number = 0;   // varint and fixed values
    std::string_view bytes; // length-delimited
};

class MeasurementWireReader {
public:
    explicit MeasurementWireReader(std::string_view data) : data_(data) {}
    bool done() const { return pos_ >= data_.size(); }
    bool failed() const { return failed_; }

    bool next(MeasurementWireField& field) {
        uint64_t key = 0;
        if (done() || !varint(key)) {
            return false;
        }
        field = MeasurementWireField{};
        field.tag = static_cast<uint32_t>(key >> 3);
        field.type = static_cast<uint32_t>(key & 7);
        if (field.tag == 0) {
            return fail();
        }
        switch (field.type) {
        case 0:
            return varint(field.number) || fail();
        case 1:
            return fixed(8, field.number) || fail();
        case 5:
            return fixed(4, field.number) || fail();
        case 2: {
            uint64_t length = 0;
            if (!varint(length) || length > data_.size() - pos_) {
                return fail();
            }
            field.bytes = data_.substr(pos_, length);
            pos_ += length;
            return true;
        }
        default:
            return fail();
        }
    }

private:
    bool fail() {
        failed_ = true;
        return false;
    }
    bool varint(uint64_t& value) {
        value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (pos_ >= data_.size()) {
                return false;
            }
            const auto byte = static_cast<uint8_t>(data_[pos_++]);
            value |= uint64_t{byte & 0x7fu} << shift;
            if ((byte & 0x80) == 0) {
                return true;
            }
        }
        return false;
    }
    bool fixed(size_t size, uint64_t& value) {
        if (data_.size() - pos_ < size) {
            return false;
        }
        value = 0;
        for (size_t i = 0; i < size; ++i) {
            value |= uint64_t{static_cast<uint8_t>(data_[pos_ + i])} << (8 * i);
        }
        pos_ += size;
        return true;
    }

    std::string_view data_;
    size_t pos_ = 0;
    bool failed_ = false;
};

double measurementDouble(uint64_t bits) {
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Each decoder reads one message; false when the bytes are no such message.
bool measurementDecodeParam(std::string_view bytes, MeasurementParam& param) {
    MeasurementWireReader reader(bytes);
    MeasurementWireField field;
    while (reader.next(field)) {
        if (field.tag == 1 && field.type == 2) {
            param.name = std::string(field.bytes);
        } else if (field.tag == 2 && field.type == 2) {
            param.stringValue = std::string(field.bytes);
        } else if (field.tag == 3 && field.type == 0) {
            param.intValue = static_cast<int64_t>(field.number);
        } else if (field.tag == 5 && field.type == 1) {
            param.doubleValue = measurementDouble(field.number);
        }
    }
    return !reader.failed();
}

bool measurementDecodeEvent(std::string_view bytes, MeasurementEvent& event) {
    MeasurementWireReader reader(bytes);
    MeasurementWireField field;
    while (reader.next(field)) {
        if (field.tag == 1 && field.type == 2) {
            MeasurementParam param;
            if (!measurementDecodeParam(field.bytes, param)) {
                return false;
            }
            event.params.push_back(std::move(param));
        } else if (field.tag == 2 && field.type == 2) {
            event.name = std::string(field.bytes);
        } else if (field.tag == 3 && field.type == 0) {
            event.timestampMillis = static_cast<int64_t>(field.number);
        } else if (field.tag == 4 && field.type == 0) {
            event.previousTimestampMillis = static_cast<int64_t>(field.number);
        }
    }
    return !reader.failed();
}

bool measurementDecodeAttribute(std::string_view bytes, MeasurementAttribute& attribute) {
    MeasurementWireReader reader(bytes);
    MeasurementWireField field;
    while (reader.next(field)) {
        if (field.tag == 1 && field.type == 0) {
            attribute.setTimestampMillis = static_cast<int64_t>(field.number);
        } else if (field.tag == 2 && field.type == 2) {
            attribute.name = std::string(field.bytes);
        } else if (field.tag == 3 && field.type == 2) {
            attribute.stringValue = std::string(field.bytes);
        } else if (field.tag == 4 && field.type == 0) {
            attribute.intValue = static_cast<int64_t>(field.number);
        } else if (field.tag == 6 && field.type == 1) {
            attribute.doubleValue = measurementDouble(field.number);
        }
    }
    return !reader.failed();
}

bool measurementDecodeBundle(std::string_view bytes, MeasurementBundle& bundle) {
    MeasurementWireReader reader(bytes);
    MeasurementWireField field;
    while (reader.next(field)) {
        if (field.tag == 2 && field.type == 2) {
            MeasurementEvent event;
            if (!measurementDecodeEvent(field.bytes, event)) {
                return false;
            }
            bundle.events.push_back(std::move(event));
        } else if (field.tag == 3 && field.type == 2) {
            MeasurementAttribute attribute;
            if (!measurementDecodeAttribute(field.bytes, attribute)) {
                return false;
            }
            bundle.attributes.push_back(std::move(attribute));
        } else if (field.tag == 29 && field.type == 2) {
            ++bundle.audienceResults;
        } else if (field.type == 2) {
            bundle.texts[field.tag] = std::string(field.bytes);
        } else if (field.type == 0) {
            bundle.ints[field.tag] = static_cast<int64_t>(field.number);
        }
    }
    return !reader.failed();
}

// ---- a minimal protobuf wire writer ------------------------------------------------------------------------

void measurementPutVarint(std::string& out, uint64_t value) {
    while (value >= 0x80) {
        out += static_cast<char>((value & 0x7f) | 0x80);
        value >>= 7;
    }
    out += static_cast<char>(value);
}

void measurementPutBytes(std::string& out, uint32_t tag, std::string_view bytes) {
    measurementPutVarint(out, (uint64_t{tag} << 3) | 2);
    measurementPutVarint(out, bytes.size());
    out.append(bytes);
}

std::string measurementHeaderValue(const RecordedRequest& request, std::string_view name) {
    return request.header(name);
}

} // namespace

const MeasurementParam* MeasurementEvent::param(const std::string& wanted) const {
    for (const auto& p : params) {
        if (p.name == wanted) {
            return &p;
        }
    }
    return nullptr;
}

std::optional<int64_t> MeasurementBundle::intTag(uint32_t tag) const {
    auto found = ints.find(tag);
    return found == ints.end() ? std::nullopt : std::optional<int64_t>(found->second);
}

std::optional<std::string> MeasurementBundle::textTag(uint32_t tag) const {
    auto found = texts.find(tag);
    return found == texts.end() ? std::nullopt : std::optional<std::string>(found->second);
}

const MeasurementAttribute* MeasurementBundle::attribute(const std::string& wanted) const {
    for (const auto& a : attributes) {
        if (a.name == wanted) {
            return &a;
        }
    }
    return nullptr;
}

std::vector<std::string> MeasurementBundle::eventNames() const {
    std::vector<std::string> names;
    for (const auto& event : events) {
        names.push_back(event.name);
    }
    return names;
}

std::string MeasurementConfigRequest::queryValue(const std::string& key) const {
    for (const auto& [name, value] : query) {
        if (name == key) {
            return value;
        }
    }
    return {};
}

std::optional<std::vector<MeasurementBundle>> decodeMeasurementBatch(const std::string& bytes) {
    std::vector<MeasurementBundle> bundles;
    MeasurementWireReader reader(bytes);
    MeasurementWireField field;
    while (reader.next(field)) {
        if (field.tag != 1 || field.type != 2) {
            continue;
        }
        MeasurementBundle bundle;
        if (!measurementDecodeBundle(field.bytes, bundle)) {
            return std::nullopt;
        }
        bundles.push_back(std::move(bundle));
    }
    if (reader.failed()) {
        return std::nullopt;
    }
    return bundles;
}

MeasurementUpload decodeMeasurementUpload(const RecordedRequest& request) {
    MeasurementUpload upload;
    upload.seq = request.seq;
    if (measurementHeaderValue(request, "content-encoding") != "gzip") {
        upload.problem = "Content-Encoding is not gzip";
        return upload;
    }
    if (measurementHeaderValue(request, "content-type") != "application/x-www-form-urlencoded") {
        upload.problem = "Content-Type is not application/x-www-form-urlencoded";
        return upload;
    }
    auto inflated = gunzip(request.body);
    if (!inflated) {
        upload.problem = "the body does not inflate";
        return upload;
    }
    auto bundles = decodeMeasurementBatch(*inflated);
    if (!bundles || bundles->empty()) {
        upload.problem = bundles ? "the batch holds no bundle" : "the body is no measurement batch";
        return upload;
    }
    upload.bundles = std::move(*bundles);
    return upload;
}

std::string encodeMeasurementConfig(int64_t version, const std::string& appID,
                                    const std::vector<std::pair<std::string, std::string>>& settings) {
    std::string out;
    measurementPutVarint(out, (uint64_t{1} << 3) | 0);
    measurementPutVarint(out, static_cast<uint64_t>(version));
    measurementPutBytes(out, 2, appID);
    for (const auto& [name, value] : settings) {
        std::string setting;
        measurementPutBytes(setting, 1, name);
        measurementPutBytes(setting, 2, value);
        measurementPutBytes(out, 4, setting);
    }
    return out;
}

std::vector<MeasurementUpload> measurementUploads(const Server& server) {
    std::vector<MeasurementUpload> uploads;
    for (const auto& request : server.requests()) {
        if (request.host == kMeasurementHost && request.method == "POST" && request.path == kMeasurementUploadPath) {
            uploads.push_back(decodeMeasurementUpload(request));
        }
    }
    return uploads;
}

std::vector<MeasurementConfigRequest> measurementConfigRequests(const Server& server) {
    std::vector<MeasurementConfigRequest> found;
    const std::string_view prefix = kMeasurementConfigPath;
    for (const auto& request : server.requests()) {
        if (request.host != kMeasurementHost || request.method != "GET" || request.path.rfind(prefix, 0) != 0) {
            continue;
        }
        MeasurementConfigRequest config;
        config.seq = request.seq;
        config.appID = percentDecode(std::string_view(request.path).substr(prefix.size()));
        std::string_view query = request.query;
        while (!query.empty()) {
            const size_t amp = query.find('&');
            const std::string_view pair = query.substr(0, amp);
            query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
            const size_t eq = pair.find('=');
            config.query.emplace_back(percentDecode(pair.substr(0, eq), true),
                                      eq == std::string_view::npos ? std::string()
                                                                   : percentDecode(pair.substr(eq + 1), true));
        }
        config.ifModifiedSince = request.header("if-modified-since");
        found.push_back(std::move(config));
    }
    return found;
}

void MeasurementService::setConfiguration(int64_t version, std::vector<std::pair<std::string, std::string>> settings) {
    std::lock_guard lock(mutex_);
    version_ = version;
    settings_ = std::move(settings);
}

void MeasurementService::setLastModified(std::string lastModified) {
    std::lock_guard lock(mutex_);
    lastModified_ = std::move(lastModified);
}

void MeasurementService::queueConfigReply(Reply reply) {
    std::lock_guard lock(mutex_);
    configQueue_.push_back(std::move(reply));
}

void MeasurementService::setConfigReply(std::optional<Reply> reply) {
    std::lock_guard lock(mutex_);
    configStanding_ = std::move(reply);
}

void MeasurementService::queueUploadReply(Reply reply) {
    std::lock_guard lock(mutex_);
    uploadQueue_.push_back(std::move(reply));
}

void MeasurementService::setUploadReply(std::optional<Reply> reply) {
    std::lock_guard lock(mutex_);
    uploadStanding_ = std::move(reply);
}

std::optional<Reply> MeasurementService::scripted(std::deque<Reply>& queue, const std::optional<Reply>& standing) {
    if (!queue.empty()) {
        Reply reply = std::move(queue.front());
        queue.pop_front();
        return reply;
    }
    return standing;
}

Reply MeasurementService::answerConfig(const RecordedRequest& request) {
    std::lock_guard lock(mutex_);
    if (auto reply = scripted(configQueue_, configStanding_)) {
        return *reply;
    }
    const std::string appID =
        percentDecode(std::string_view(request.path).substr(std::string_view(kMeasurementConfigPath).size()));
    return Reply::text(200, encodeMeasurementConfig(version_, appID, settings_), "application/x-protobuf")
        .withHeader("Last-Modified", lastModified_);
}

Reply MeasurementService::answerUpload(const RecordedRequest& request) {
    std::lock_guard lock(mutex_);
    if (auto reply = scripted(uploadQueue_, uploadStanding_)) {
        return *reply;
    }
    const MeasurementUpload upload = decodeMeasurementUpload(request);
    if (!upload.problem.empty()) {
        return Reply::text(400, upload.problem);
    }
    return Reply::text(204, "");
}

std::shared_ptr<MeasurementService> installMeasurementRoutes(Server& server) {
    auto service = std::make_shared<MeasurementService>();
    Route upload;
    upload.method = "POST";
    upload.host = kMeasurementHost;
    upload.path = kMeasurementUploadPath;
    upload.handler = [service](const RecordedRequest& request) { return service->answerUpload(request); };
    server.route(std::move(upload));
    Route config;
    config.method = "GET";
    config.host = kMeasurementHost;
    config.path = kMeasurementConfigPath;
    config.match = PathMatch::Prefix;
    config.handler = [service](const RecordedRequest& request) { return service->answerConfig(request); };
    server.route(std::move(config));
    return service;
}

} // namespace devserver
