#pragma once
// The devserver's script: what a route matches, how much of a request body it
// keeps, and how it answers (a fixed reply or a callback that builds one).

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace devserver {

// How a request body is kept while it arrives. Count and Hash let a route take
// uploads of any size while holding only a fixed-size buffer.
enum class BodyCapture {
    Record, // keep the raw bytes in RecordedRequest::body
    Count,  // keep only the size
    Hash,   // keep the size and the SHA-256 (lower-case hex)
};

// One request as the server received it.
struct RecordedRequest {
    uint64_t seq = 0; // 1, 2, ... in the order the requests were fully received
    bool tls = false;
    uint64_t onConnection =
        0; // 1 for the first request of its connection, 2 for the next one kept alive, ...
    std::string method;
    std::string host;  // the Host header, lower-case, without a port
    std::string path;  // as sent, still percent-encoded
    std::string query; // the text after '?', as sent; empty without one
    std::vector<std::pair<std::string, std::string>> headers; // names lower-case
    BodyCapture capture = BodyCapture::Record;
    std::string body;       // the raw body (Record only)
    uint64_t bodySize = 0;  // always set
    std::string bodySha256; // Hash only

    // The first value of the header `name` (any case), or empty.
    std::string header(std::string_view name) const;
    bool hasHeader(std::string_view name) const;
};

// A scripted answer. Content-Length and Transfer-Encoding are the server's to set.
struct Reply {
    enum class Kind {
        Respond,  // status, headers, body
        Stall,    // status and headers, then `body`, then nothing until stallFor or stop, then close
        Drop,     // close the connection without answering
        Generate, // status, headers and generatedSize bytes of generatedByte(), produced as they are sent
    };
    Kind kind = Kind::Respond;
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::chrono::milliseconds delay{0}; // waited before anything is sent (cut short by stop)
    // Stall: the Content-Length announced (always more than `body`); 0 announces a chunked body.
    uint64_t declaredLength = 0;
    std::chrono::milliseconds stallFor{std::chrono::seconds(60)};
    uint64_t generatedSize = 0; // Generate
    bool chunked = false;       // Generate: send without a Content-Length

    static Reply text(int status, std::string body, std::string contentType = "text/plain; charset=utf-8");
    static Reply json(int status, std::string body);
    static Reply redirect(int status, std::string location);
    static Reply stalled(uint64_t declaredLength, std::string partialBody = {});
    static Reply dropped();
    static Reply generated(uint64_t size, bool chunked = false);

    Reply& withHeader(std::string name, std::string value);
    Reply& after(std::chrono::milliseconds wait);
};

// The byte at `offset` of every generated body, so clients can check what they got.
inline char generatedByte(uint64_t offset) {
    return static_cast<char>('a' + offset % 26);
}

using Handler = std::function<Reply(const RecordedRequest&)>;

enum class PathMatch { Exact, Prefix };

struct Route {
    std::string method; // empty: any method
    std::string path;
    PathMatch match = PathMatch::Exact;
    std::string host; // empty: any host; otherwise compared without case
    BodyCapture capture = BodyCapture::Record;
    Handler handler;

    bool matches(std::string_view requestMethod, std::string_view requestHost,
                 std::string_view requestPath) const;
};

} // namespace devserver
