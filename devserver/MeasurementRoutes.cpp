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

    // One bare varint, as a packed repeated field holds them.
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

private:
    bool fail() {
        failed_ = true;
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

// A repeated uint64 in either wire form: one varint per field, or packed.
bool measurementDecodeWords(const MeasurementWireField& field, std::vector<uint64_t>& words) {
    if (field.type == 0) {
        words.push_back(field.number);
        return true;
    }
    if (field.type != 2) {
        return true;
    }
    MeasurementWireReader packed(field.bytes);
    while (!packed.done()) {
        uint64_t value = 0;
        if (!packed.varint(value)) {
            return false;
        }
        words.push_back(value);
    }
    return true;
}

bool measurementDecodeResultData(std::string_view bytes, MeasurementResultData& data) {
    MeasurementWireReader reader(bytes);
    MeasurementWireField field;
    while (reader.next(field)) {
        if (field.tag == 1 && !measurementDecodeWords(field, data.status)) {
            return false;
        }
        if (field.tag == 2 && !measurementDecodeWords(field, data.results)) {
            return false;
        }
    }
    return !reader.failed();
}

bool measurementDecodeAudienceResult(std::string_view bytes, MeasurementAudienceResult& result) {
    MeasurementWireReader reader(bytes);
    MeasurementWireField field;
    while (reader.next(field)) {
        if (field.tag == 1 && field.type == 0) {
            result.audienceID = static_cast<int32_t>(field.number);
        } else if ((field.tag == 2 || field.tag == 3) && field.type == 2) {
            MeasurementResultData data;
            if (!measurementDecodeResultData(field.bytes, data)) {
                return false;
            }
            (field.tag == 2 ? result.current : result.previous) = std::move(data);
        } else if (field.tag == 4 && field.type == 0) {
            result.newAudience = field.number != 0;
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
            MeasurementAudienceResult result;
            if (!measurementDecodeAudienceResult(field.bytes, result)) {
                return false;
            }
            bundle.audiences.push_back(std::move(result));
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

void measurementPutVarintField(std::string& out, uint32_t tag, uint64_t value) {
    measurementPutVarint(out, uint64_t{tag} << 3);
    measurementPutVarint(out, value);
}

// NumberFilter: comparison type (1), value (3), bounds (4, 5).
std::string measurementEncodeNumberFilter(const MeasurementCondition& condition) {
    std::string number;
    measurementPutVarintField(number, 1, condition.numberComparison.value_or(0));
    if (!condition.value.empty()) {
        measurementPutBytes(number, 3, condition.value);
    }
    if (!condition.minValue.empty()) {
        measurementPutBytes(number, 4, condition.minValue);
    }
    if (!condition.maxValue.empty()) {
        measurementPutBytes(number, 5, condition.maxValue);
    }
    return number;
}

// Filter: a string filter (1) or number filter (2), complement (3), parameter name (4).
std::string measurementEncodeFilter(const MeasurementCondition& condition, const std::string& paramName) {
    std::string filter;
    if (condition.numberComparison) {
        measurementPutBytes(filter, 2, measurementEncodeNumberFilter(condition));
    } else {
        std::string string;
        measurementPutVarintField(string, 1, condition.matchType);
        measurementPutBytes(string, 2, condition.value);
        if (condition.caseSensitive) {
            measurementPutVarintField(string, 3, 1);
        }
        measurementPutBytes(filter, 1, string);
    }
    if (condition.complement) {
        measurementPutVarintField(filter, 3, 1);
    }
    if (!paramName.empty()) {
        measurementPutBytes(filter, 4, paramName);
    }
    return filter;
}

std::string measurementEncodeAudience(const MeasurementAudienceDefinition& audience) {
    std::string out;
    measurementPutVarintField(out, 1, static_cast<uint64_t>(static_cast<int64_t>(audience.audienceID)));
    for (const auto& property : audience.propertyFilters) {
        std::string filter;
        measurementPutVarintField(filter, 1, static_cast<uint64_t>(static_cast<int64_t>(property.filterID)));
        measurementPutBytes(filter, 2, property.propertyName);
        measurementPutBytes(filter, 3, measurementEncodeFilter(property.condition, ""));
        if (property.dynamic) {
            measurementPutVarintField(filter, 4, 1);
        }
        measurementPutBytes(out, 2, filter);
    }
    for (const auto& event : audience.eventFilters) {
        std::string filter;
        measurementPutVarintField(filter, 1, static_cast<uint64_t>(static_cast<int64_t>(event.filterID)));
        measurementPutBytes(filter, 2, event.eventName);
        if (!event.paramName.empty()) {
            measurementPutBytes(filter, 3, measurementEncodeFilter(event.condition, event.paramName));
        }
        if (event.eventCount) {
            measurementPutBytes(filter, 5, measurementEncodeNumberFilter(*event.eventCount));
        }
        if (event.dynamic) {
            measurementPutVarintField(filter, 6, 1);
        }
        measurementPutBytes(out, 3, filter);
    }
    return out;
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

bool MeasurementResultData::bit(const std::vector<uint64_t>& words, int32_t filterID) const {
    if (filterID < 0 || static_cast<size_t>(filterID / 64) >= words.size()) {
        return false;
    }
    return (words[static_cast<size_t>(filterID / 64)] >> (filterID % 64)) & 1u;
}

std::string encodeMeasurementConfig(int64_t version, const std::string& appID,
                                    const std::vector<std::pair<std::string, std::string>>& settings,
                                    const std::vector<MeasurementAudienceDefinition>& audiences) {
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
    for (const auto& audience : audiences) {
        measurementPutBytes(out, 6, measurementEncodeAudience(audience));
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

void MeasurementService::setAudiences(std::vector<MeasurementAudienceDefinition> audiences) {
    std::lock_guard lock(mutex_);
    audiences_ = std::move(audiences);
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
    return Reply::text(200, encodeMeasurementConfig(version_, appID, settings_, audiences_), "application/x-protobuf")
        .withHeader("Last-Modified", lastModified_);
}

Reply MeasurementService::answerUpload(const RecordedRequest& request) {
    std::lock_guard lock(mutex_);
    Reply reply;
    if (auto script = scripted(uploadQueue_, uploadStanding_)) {
        reply = *script;
    } else if (const MeasurementUpload upload = decodeMeasurementUpload(request); !upload.problem.empty()) {
        reply = Reply::text(400, upload.problem);
    } else {
        reply = Reply::text(204, "");
    }
    uploadAnswers_[request.seq] = reply.kind == Reply::Kind::Drop ? 0 : reply.status;
    return reply;
}

std::map<uint64_t, int> MeasurementService::uploadAnswers() const {
    std::lock_guard lock(mutex_);
    return uploadAnswers_;
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
