#pragma once
// What keeps the network benchmarks honest: every response is checked (status and body length) on both
// sides, and both sides can show the header set they send, so that the runner compares them before it
// measures (`--print-headers=ours` or `=baseline`: one request to the echo route, its answer printed).

#include "devserver/Route.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

[[noreturn]] inline void failResponse(const char* side, long status, std::size_t bytes, std::size_t expected) {
    std::fprintf(stderr, "%s: wrong response: status %ld, %zu body bytes (expected 200 and %zu)\n", side,
                 status, bytes, expected);
    std::abort();
}

inline void checkResponse(const char* side, long status, std::size_t bytes, std::size_t expected) {
    if (status != 200 || bytes != expected) {
        failResponse(side, status, bytes, expected);
    }
}

// Counts a libcurl transfer's (decoded) body bytes.
struct CurlBodyCount {
    static std::size_t write(char*, std::size_t size, std::size_t count, void* user) {
        static_cast<CurlBodyCount*>(user)->bytes += size * count;
        return size * count;
    }
    void attach(CURL* easy) {
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlBodyCount::write);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    }
    std::size_t bytes = 0;
};

// Checks a finished libcurl transfer whose body went to `body`, and resets the count for the next one.
inline void checkCurl(CURL* easy, CURLcode code, CurlBodyCount& body, std::size_t expected) {
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (code != CURLE_OK) {
        std::fprintf(stderr, "libcurl: %s\n", curl_easy_strerror(code));
        failResponse("baseline", status, body.bytes, expected);
    }
    checkResponse("baseline", status, body.bytes, expected);
    body.bytes = 0;
}

// A route that answers with the request's header lines ("name: value", names lower-case), sorted, then an
// empty line and the body.
inline devserver::Handler echoHeaders() {
    return [](const devserver::RecordedRequest& request) {
        std::vector<std::string> lines;
        for (const auto& [name, value] : request.headers) {
            // Each process has servers of its own, on ports of their own.
            lines.push_back(name + ": " + (name == "host" ? value.substr(0, value.rfind(':')) : value));
        }
        std::sort(lines.begin(), lines.end());
        std::string text;
        for (const auto& line : lines) {
            text += line + "\n";
        }
        text += "\n" + request.body + "\n";
        return devserver::Reply::text(200, text, "application/octet-stream");
    };
}

// The side named by `--print-headers=SIDE`, or empty.
inline std::string headerProbeSide(int argc, char** argv) {
    constexpr std::string_view flag = "--print-headers=";
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument.starts_with(flag)) {
            return std::string(argument.substr(flag.size()));
        }
    }
    return {};
}

} // namespace bench
