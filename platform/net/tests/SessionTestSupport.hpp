#pragma once
// Shared fixture of the session integration tests: a devserver on loopback (HTTPS with a fresh test CA by
// default) reached through the connect-to map, a temporary app home, and a delegate that records every
// callback in order and answers as the test says.

#include "devserver/Server.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Base64.hpp"
#include "platform/net/SimNetwork.hpp"
#include "platform/net/URLSession.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace plat::test {

// Records callbacks as "name" or "name:detail"; implements exactly the selectors in `implemented`.
class RecordingDelegate : public URLSessionDelegate {
public:
    std::set<std::string, std::less<>> implemented;
    std::vector<std::string> events;
    std::optional<Error> completionError;
    bool completed = false;
    bool invalidated = false;
    Data body;
    int64_t sent = 0;
    int64_t written = 0;
    std::optional<URL> downloadedTo;
    std::string downloadedContents;

    // Answers; defaults follow the platform.
    std::function<std::optional<URLRequest>(const HTTPURLResponse&, URLRequest)> onRedirect;
    std::function<URLSessionAuthChallengeDisposition(const URLAuthenticationChallenge&)> onChallenge;
    std::function<std::optional<URLCredential>(const URLAuthenticationChallenge&)> credentialFor;
    std::function<std::shared_ptr<InputStream>()> onNeedStream;
    URLSessionResponseDisposition responseAnswer = URLSessionResponseDisposition::allow;

    void implement(std::initializer_list<std::string_view> selectors) {
        for (auto s : selectors)
            implemented.emplace(s);
    }
    bool respondsTo(std::string_view selector) const override { return implemented.count(selector) > 0; }

    void didBecomeInvalidWithError(URLSession&, const std::optional<Error>&) override {
        events.push_back("invalid");
        invalidated = true;
    }
    void didReceiveChallenge(URLSession&, const URLAuthenticationChallenge& c,
                             ChallengeCompletion done) override {
        events.push_back("sessionChallenge:" + c.protectionSpace.authenticationMethod);
        answer(c, std::move(done));
    }
    void taskDidReceiveChallenge(URLSession&, const TaskPtr&, const URLAuthenticationChallenge& c,
                                 ChallengeCompletion done) override {
        events.push_back("taskChallenge:" + c.protectionSpace.authenticationMethod);
        answer(c, std::move(done));
    }
    void willPerformHTTPRedirection(URLSession&, const TaskPtr&, const HTTPURLResponse& response,
                                    URLRequest next, RedirectCompletion done) override {
        events.push_back("redirect:" + std::to_string(response.statusCode()));
        done(onRedirect ? onRedirect(response, std::move(next)) : std::optional<URLRequest>(std::move(next)));
    }
    void needNewBodyStream(URLSession&, const TaskPtr&, BodyStreamCompletion done) override {
        events.push_back("needNewBodyStream");
        done(onNeedStream ? onNeedStream() : nullptr);
    }
    void didSendBodyData(URLSession&, const TaskPtr&, int64_t, int64_t total, int64_t) override {
        if (events.empty() || events.back() != "sent")
            events.push_back("sent");
        sent = total;
    }
    void didFinishCollectingMetrics(URLSession&, const TaskPtr&, const URLSessionTaskMetrics&) override {
        events.push_back("metrics");
    }
    void didCompleteWithError(URLSession&, const TaskPtr&, const std::optional<Error>& error) override {
        events.push_back(error ? "complete:" + std::to_string(error->code) : "complete");
        completionError = error;
        completed = true;
    }
    void didReceiveResponse(URLSession&, const TaskPtr&, const HTTPURLResponse& response,
                            ResponseCompletion done) override {
        events.push_back("response:" + std::to_string(response.statusCode()));
        done(responseAnswer);
    }
    void didReceiveData(URLSession&, const TaskPtr&, const Data& data) override {
        if (events.empty() || events.back() != "data")
            events.push_back("data");
        body.insert(body.end(), data.begin(), data.end());
    }
    void didFinishDownloadingToURL(URLSession&, const TaskPtr&, const URL& location) override {
        events.push_back("downloaded");
        downloadedTo = location;
        std::ifstream in(location.path(), std::ios::binary);
        downloadedContents.assign(std::istreambuf_iterator<char>(in), {});
    }
    void didWriteData(URLSession&, const TaskPtr&, int64_t, int64_t total, int64_t) override {
        if (events.empty() || events.back() != "write")
            events.push_back("write");
        written = total;
    }

    std::string bodyText() const { return std::string(body.begin(), body.end()); }

private:
    void answer(const URLAuthenticationChallenge& c, ChallengeCompletion done) {
        auto disposition =
            onChallenge ? onChallenge(c) : URLSessionAuthChallengeDisposition::performDefaultHandling;
        std::optional<URLCredential> credential;
        if (disposition == URLSessionAuthChallengeDisposition::useCredential) {
            if (credentialFor)
                credential = credentialFor(c);
            else if (c.protectionSpace.serverTrust)
                credential = URLCredential(c.protectionSpace.serverTrust);
        }
        done(disposition, credential);
    }
};

inline std::string md5Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    return hexLower(std::span<const uint8_t>(digest, length));
}

// The fields of a Digest authorization, quotes removed.
inline std::map<std::string, std::string> digestFields(const std::string& value) {
    std::map<std::string, std::string> fields;
    if (value.rfind("Digest ", 0) != 0)
        return fields;
    std::size_t at = 7;
    while (at < value.size()) {
        while (at < value.size() && (value[at] == ' ' || value[at] == ','))
            ++at;
        const std::size_t eq = value.find('=', at);
        if (eq == std::string::npos)
            break;
        const std::string name = value.substr(at, eq - at);
        std::string field;
        at = eq + 1;
        if (at < value.size() && value[at] == '"') {
            const std::size_t close = value.find('"', at + 1);
            field = value.substr(at + 1, close - at - 1);
            at = close == std::string::npos ? value.size() : close + 1;
        } else {
            const std::size_t end = value.find(',', at);
            field = value.substr(at, end == std::string::npos ? std::string::npos : end - at);
            at = end == std::string::npos ? value.size() : end;
        }
        fields[name] = field;
    }
    return fields;
}

// Checks the Digest answer in `header` (RFC 2617 without qop) to a challenge with `realm` and nonce "n0nce".
inline bool digestMatches(const devserver::RecordedRequest& r, const std::string& header,
                          const std::string& realm, const std::string& password) {
    auto f = digestFields(r.header(header));
    if (f["realm"] != realm || f["nonce"] != "n0nce")
        return false;
    const std::string ha1 = md5Hex(f["username"] + ":" + realm + ":" + password);
    const std::string ha2 = md5Hex(r.method + ":" + f["uri"]);
    return f["response"] == md5Hex(ha1 + ":n0nce:" + ha2);
}

inline std::string text(const std::optional<Data>& d) {
    return d ? std::string(d->begin(), d->end()) : "<none>";
}

class SessionFixture : public ::testing::Test {
protected:
    void startServer(devserver::Options options = {}) {
        ASSERT_TRUE(server.start(options)) << server.error();
        if (options.tls) {
            caPath = AppHome::tmp() + "/test-ca.pem";
            ASSERT_TRUE(server.writeCa(caPath));
            sim::Network::setCAFile(caPath);
        }
        sim::Network::setResolve(server.resolveEntry("portal.example.test") + "," +
                                 server.resolveEntry("www.example.test"));
        base = std::string(options.tls ? "https" : "http") + "://portal.example.test";
    }

    URL url(const std::string& path) const { return *URL::parse(base + path); }

    std::shared_ptr<URLSession>
    session(std::shared_ptr<URLSessionDelegate> delegate = nullptr,
            URLSessionConfiguration config = URLSessionConfiguration::ephemeral()) {
        auto s = URLSession::make(config, std::move(delegate), OperationQueue::main());
        sessions.push_back(s);
        return s;
    }

    // Lets I/O completions in until `done` holds; real time bounded so a hang fails instead of blocking.
    static bool waitFor(const std::function<bool()>& done, double seconds = 20) {
        return Virtual::runUntil(done, seconds);
    }

    struct Outcome {
        bool finished = false;
        std::optional<Data> data;
        std::shared_ptr<const HTTPURLResponse> response;
        std::optional<Error> error;
    };

    Outcome load(const std::shared_ptr<URLSession>& s, const URLRequest& request) {
        auto out = std::make_shared<Outcome>();
        s->dataTask(request, [out](auto data, auto response, auto error) {
             out->data = std::move(data);
             out->response = std::move(response);
             out->error = std::move(error);
             out->finished = true;
         })->resume();
        EXPECT_TRUE(waitFor([&] { return out->finished; }));
        return *out;
    }

    void TearDown() override {
        for (auto& s : sessions)
            s->invalidateAndCancel();
        Virtual::runUntil([] { return false; }, 0.05);
        server.stop();
    }

    TempAppHome home;
    devserver::Server server;
    std::string caPath;
    std::string base;
    std::vector<std::shared_ptr<URLSession>> sessions;
};

} // namespace plat::test
