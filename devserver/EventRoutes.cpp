#include "devserver/EventRoutes.hpp"

#include "devserver/Server.hpp"

#include <zlib.h>

#include <cctype>

namespace devserver {

namespace {

std::string eventLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string_view eventTrim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// The value of `key="..."` (or unquoted) among the parameters of a header value.
std::string eventParameter(std::string_view value, std::string_view key) {
    std::size_t pos = 0;
    while (pos < value.size()) {
        std::size_t end = value.find(';', pos);
        if (end == std::string_view::npos) {
            end = value.size();
        }
        std::string_view item = eventTrim(value.substr(pos, end - pos));
        const std::size_t eq = item.find('=');
        if (eq != std::string_view::npos && eventLower(eventTrim(item.substr(0, eq))) == key) {
            std::string_view v = eventTrim(item.substr(eq + 1));
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
                v = v.substr(1, v.size() - 2);
            }
            return std::string(v);
        }
        pos = end + 1;
    }
    return {};
}

} // namespace

std::optional<std::string> EventService::boundaryFromContentType(std::string_view contentType) {
    const std::size_t semi = contentType.find(';');
    if (eventLower(eventTrim(contentType.substr(0, semi))) != "multipart/form-data" || semi == std::string_view::npos) {
        return std::nullopt;
    }
    std::string boundary = eventParameter(contentType.substr(semi + 1), "boundary");
    if (boundary.empty()) {
        return std::nullopt;
    }
    return boundary;
}

std::optional<std::vector<MultipartPart>> EventService::parseMultipart(std::string_view body,
                                                                       std::string_view boundary) {
    const std::string delimiter = "--" + std::string(boundary);
    std::size_t pos = body.find(delimiter);
    if (pos == std::string_view::npos) {
        return std::nullopt;
    }
    std::vector<MultipartPart> parts;
    for (;;) {
        pos += delimiter.size();
        if (body.substr(pos, 2) == "--") {
            return parts; // the closing delimiter
        }
        if (body.substr(pos, 2) != "\r\n") {
            return std::nullopt;
        }
        pos += 2;
        const std::size_t headerEnd = body.find("\r\n\r\n", pos);
        if (headerEnd == std::string_view::npos) {
            return std::nullopt;
        }
        MultipartPart part;
        std::string_view headers = body.substr(pos, headerEnd - pos);
        std::size_t line = 0;
        while (line <= headers.size()) {
            std::size_t end = headers.find("\r\n", line);
            if (end == std::string_view::npos) {
                end = headers.size();
            }
            std::string_view text = headers.substr(line, end - line);
            const std::size_t colon = text.find(':');
            if (colon != std::string_view::npos) {
                std::string name(eventTrim(text.substr(0, colon)));
                std::string value(eventTrim(text.substr(colon + 1)));
                const std::string lower = eventLower(name);
                if (lower == "content-disposition") {
                    part.name = eventParameter(value, "name");
                    part.filename = eventParameter(value, "filename");
                } else if (lower == "content-type") {
                    part.contentType = value;
                }
                part.headers.emplace_back(std::move(name), std::move(value));
            }
            line = end + 2;
        }
        const std::size_t bodyStart = headerEnd + 4;
        const std::size_t next = body.find("\r\n" + delimiter, bodyStart);
        if (next == std::string_view::npos) {
            return std::nullopt;
        }
        part.body = std::string(body.substr(bodyStart, next - bodyStart));
        parts.push_back(std::move(part));
        pos = next + 2;
    }
}

std::optional<std::string> EventService::gunzip(std::string_view bytes) {
    z_stream stream{};
    if (inflateInit2(&stream, 31) != Z_OK) {
        return std::nullopt;
    }
    std::string out;
    char chunk[16384];
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - stream.avail_out);
    }
    inflateEnd(&stream);
    if (status != Z_STREAM_END) {
        return std::nullopt;
    }
    return out;
}

std::vector<EventRecord> EventService::splitLog(std::string_view log) {
    std::vector<EventRecord> records;
    std::size_t pos = 0;
    while (pos < log.size()) {
        std::size_t end = log.find('\n', pos);
        if (end == std::string_view::npos) {
            end = log.size();
        }
        std::string_view line = log.substr(pos, end - pos);
        pos = end + 1;
        EventRecord record;
        std::string* fields[] = {&record.time, &record.name, &record.length};
        std::size_t start = 0;
        for (std::string* field : fields) {
            const std::size_t tab = line.find('\t', start);
            if (tab == std::string_view::npos) {
                *field = std::string(line.substr(start));
                start = line.size() + 1;
                continue;
            }
            *field = std::string(line.substr(start, tab - start));
            start = tab + 1;
        }
        if (start <= line.size()) {
            record.json = std::string(line.substr(start));
        }
        record.lengthMatches = !record.length.empty() && record.length == std::to_string(record.json.size());
        records.push_back(std::move(record));
    }
    return records;
}

ReceivedEventUpload EventService::decode(const RecordedRequest& request) {
    ReceivedEventUpload upload;
    upload.headers = request.headers;
    auto boundary = boundaryFromContentType(request.header("content-type"));
    auto parts = boundary ? parseMultipart(request.body, *boundary) : std::nullopt;
    if (!parts || parts->size() != 1) {
        return upload;
    }
    const MultipartPart& part = parts->front();
    upload.partName = part.name;
    upload.partFilename = part.filename;
    upload.partContentType = part.contentType;
    auto log = gunzip(part.body);
    if (!log) {
        return upload;
    }
    upload.decoded = true;
    upload.records = splitLog(*log);
    upload.log = std::move(*log);
    return upload;
}

std::vector<ReceivedEventUpload> EventService::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void EventService::scriptNext(Reply reply) {
    std::lock_guard lock(mutex_);
    scripts_.push_back(std::move(reply));
}

Reply EventService::answer(const RecordedRequest& request) {
    ReceivedEventUpload upload = decode(request);
    std::lock_guard lock(mutex_);
    received_.push_back(std::move(upload));
    if (!scripts_.empty()) {
        Reply reply = std::move(scripts_.front());
        scripts_.pop_front();
        return reply;
    }
    return Reply::json(200, "{}");
}

std::shared_ptr<EventService> installEventRoutes(Server& server) {
    auto service = std::make_shared<EventService>();
    Route route;
    route.method = "POST";
    route.host = kEventsHost;
    route.path = kEventsPath;
    route.handler = [service](const RecordedRequest& request) { return service->answer(request); };
    server.route(std::move(route));
    return service;
}

} // namespace devserver
