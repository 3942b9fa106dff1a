// The kit host's back ends over real TLS: the settings document for unknown, registered and changed apps,
// refused requests, and onboarding forms that are well formed, malformed or for an unknown app.

#include "devserver/DefaultRoutes.hpp"
#include "devserver/KitHostRoutes.hpp"
#include "devserver/Server.hpp"
#include "devserver/tests/CurlClient.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>

namespace devserver {
namespace {

using nlohmann::json;
using testing::Call;
using testing::Client;

const std::string kKitToken = std::string(40, 'a');
const std::string kKitKey = "key-1";

// A body as the kit host writes it: "MIME-Version" line, parts, closing boundary.
std::string kitForm(const std::vector<std::pair<std::string, std::string>>& parts, const std::string& boundary = "B") {
    std::string body = "MIME-Version: 1.0\r\n";
    for (const auto& [name, value] : parts)
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name +
                "\"\r\nContent-Type: text/plain\r\n\r\n" + value + "\r\n";
    return body + "--" + boundary + "--\r\n";
}

class KitHostRoutesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_DEFAULT); }

    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "kit-routes-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        installDefaultRoutes(server_);
        service_ = installKitHostRoutes(server_);
        ASSERT_TRUE(server_.start()) << server_.error();
        ASSERT_TRUE(server_.writeCa((dir_ / "ca.pem").string()));
    }
    void TearDown() override {
        server_.stop();
        std::filesystem::remove_all(dir_);
    }

    testing::Result call(const std::string& method, const std::string& host, const std::string& target,
                         std::optional<std::string> body = std::nullopt, std::vector<std::string> headers = {},
                         bool authorised = true) {
        Client client({server_.resolveEntry(host)}, (dir_ / "ca.pem").string());
        Call c = Call::to(method, "https://" + host + target).timeout(10000);
        if (authorised) {
            c.header("X-Vuzidorazav-API-Key: " + kKitKey);
            c.header("X-Vuzidorazav-Developer-Token: " + kKitToken);
        }
        for (auto& h : headers)
            c.header(std::move(h));
        if (body)
            c.send(std::move(*body));
        return client.perform(c);
    }
    testing::Result settings(const std::string& query) {
        return call("GET", kKitSettingsHost, std::string(kKitSettingsPathPrefix) + "com.example.app/settings?" + query);
    }
    testing::Result onboard(const std::string& method, const std::string& path, const std::string& body,
                            std::vector<std::string> headers = {"Content-Type: multipart/form-data; boundary=B"}) {
        return call(method, kKitApiHost, path, body, std::move(headers));
    }

    std::filesystem::path dir_;
    Server server_;
    std::shared_ptr<KitHostService> service_;
};

TEST_F(KitHostRoutesTest, TheSettingsSayNewUntilTheAppIsRegisteredThenWhetherItChanged) {
    const std::string query = "build_version=41&display_version=2.3&instance=abc&source=1";
    auto reply = settings(query);
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_NE(reply.headers.find("application/json"), std::string::npos);
    auto document = json::parse(reply.body);
    EXPECT_EQ(document["app"]["status"], "new");
    EXPECT_EQ(document["app"]["update_required"], false);
    EXPECT_EQ(document["settings_version"], json::parse(kitSettingsTemplate())["settings_version"])
        << "the template's other members are kept";

    service_->registerApp({kKitKey, "com.example.app", "abc", "41", "2.3"});
    struct Case {
        std::string query;
        bool updateRequired;
    };
    for (const auto& c : std::vector<Case>{{query, false},
                                           {"build_version=42&display_version=2.3&instance=abc&source=1", true},
                                           {"build_version=41&display_version=2.4&instance=abc&source=1", true},
                                           {"build_version=41&display_version=2.3&instance=abd&source=1", true},
                                           {"build_version=41&instance=abc", true}}) {
        document = json::parse(settings(c.query).body);
        EXPECT_EQ(document["app"]["status"], "activated") << c.query;
        EXPECT_EQ(document["app"]["update_required"], c.updateRequired) << c.query;
    }
    // Another key's app of the same identifier is another app.
    service_->registerApp({"other", "com.example.other", "abc", "41", "2.3"});
    EXPECT_EQ(json::parse(call("GET", kKitSettingsHost, std::string(kKitSettingsPathPrefix) + "com.example.other/settings")
                              .body)["app"]["status"],
              "new");
}

TEST_F(KitHostRoutesTest, RequestsWithoutKeyOrWithABadTokenAreRefused) {
    const std::string target = std::string(kKitSettingsPathPrefix) + "com.example.app/settings";
    EXPECT_EQ(call("GET", kKitSettingsHost, target, std::nullopt, {}, false).status, 401);
    for (const std::string& token : std::vector<std::string>{"", "abc", std::string(40, 'A'), std::string(39, 'a'), std::string(41, 'a'),
                                    std::string(39, 'a') + "g"}) {
        EXPECT_EQ(call("GET", kKitSettingsHost, target, std::nullopt,
                       {"X-Vuzidorazav-API-Key: k", "X-Vuzidorazav-Developer-Token: " + token}, false)
                      .status,
                  403)
            << token;
    }
    EXPECT_EQ(call("POST", kKitApiHost, kKitAppsPath, kitForm({{"app[identifier]", "x"}}), {}, false).status, 401);
    EXPECT_TRUE(service_->onboardings().empty());
}

TEST_F(KitHostRoutesTest, OnboardingCreatesUpdatesAndRefusesMalformedForms) {
    const std::string update = std::string(kKitAppsPath) + "/com.example.app";
    const auto good = kitForm({{"app[identifier]", "com.example.app"},
                               {"app[instance_identifier]", "abc"},
                               {"app[build_version]", "41"},
                               {"app[display_version]", "2.3"}});
    EXPECT_EQ(onboard("PUT", update, good).status, 404) << "no such app yet";
    EXPECT_EQ(onboard("POST", kKitAppsPath, good).status, 201);
    auto app = service_->app(kKitKey, "com.example.app");
    ASSERT_TRUE(app);
    EXPECT_EQ(app->buildVersion, "41");
    const auto changed = kitForm({{"app[identifier]", "com.example.app"},
                                  {"app[instance_identifier]", "abc"},
                                  {"app[build_version]", "42"},
                                  {"app[display_version]", "2.3"}});
    EXPECT_EQ(onboard("PUT", update, changed).status, 200);
    EXPECT_EQ(service_->app(kKitKey, "com.example.app")->buildVersion, "42");

    struct Malformed {
        std::string what;
        std::string body;
        std::vector<std::string> headers;
    };
    const std::string type = "Content-Type: multipart/form-data; boundary=B";
    const std::vector<Malformed> cases = {
        {"no multipart type", good, {"Content-Type: text/plain"}},
        {"no boundary", good, {"Content-Type: multipart/form-data"}},
        {"another boundary", good, {"Content-Type: multipart/form-data; boundary=C"}},
        {"no MIME-Version line", good.substr(std::string("MIME-Version: 1.0\r\n").size()), {type}},
        {"no closing boundary", good.substr(0, good.size() - 7), {type}},
        {"bytes after the end", good + "x", {type}},
        {"a part without a name",
         "MIME-Version: 1.0\r\n--B\r\nContent-Disposition: form-data\r\n\r\nx\r\n--B--\r\n", {type}},
        {"a header line without a colon",
         "MIME-Version: 1.0\r\n--B\r\nContent-Disposition: form-data; name=\"a\"\r\nbroken\r\n\r\nx\r\n--B--\r\n", {type}},
        {"no identifier", kitForm({{"app[name]", "x"}}), {type}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(onboard("POST", kKitAppsPath, c.body, c.headers).status, 400) << c.what;

    const auto seen = service_->onboardings();
    ASSERT_EQ(seen.size(), 3 + cases.size());
    EXPECT_EQ(seen[1].method, "POST");
    ASSERT_TRUE(seen[1].form);
    EXPECT_EQ(seen[1].form->parts.size(), 4u);
    EXPECT_EQ(seen[1].form->parts[2].name, "app[build_version]");
    EXPECT_EQ(seen[1].form->parts[2].body, "41");
    EXPECT_EQ(seen[1].form->parts[2].header("content-type"), "text/plain");
    for (size_t i = 3; i + 1 < seen.size(); ++i) {
        EXPECT_FALSE(seen[i].form) << cases[i - 3].what;
        EXPECT_FALSE(seen[i].problem.empty()) << cases[i - 3].what;
    }
    ASSERT_TRUE(seen.back().form) << "well formed, but it names no app";
    EXPECT_EQ(seen.back().problem, "no app[identifier]");
}

TEST_F(KitHostRoutesTest, AFileAndBinaryBytesSurviveTheParse) {
    const std::string bytes("\x89PNG\r\n\x1a\n\0\r\n--", 13);
    const std::string body = "MIME-Version: 1.0\r\n--B\r\nContent-Disposition: form-data; name=\"app[identifier]\"\r\n"
                             "Content-Type: text/plain\r\n\r\nx\r\n--B\r\nContent-Disposition: form-data; "
                             "name=\"app[icon][data]\"; filename=\"icon.png\"\r\nContent-Type: image/png\r\n"
                             "Content-Transfer-Encoding: binary\r\n\r\n" +
                             bytes + "\r\n--B--\r\n";
    ASSERT_EQ(onboard("POST", kKitAppsPath, body).status, 201);
    const auto seen = service_->onboardings();
    ASSERT_TRUE(seen[0].form);
    const FormPart* icon = seen[0].form->part("app[icon][data]");
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->body, bytes);
    EXPECT_EQ(icon->fileName, "icon.png");
    EXPECT_EQ(icon->header("Content-Transfer-Encoding"), "binary");
}

} // namespace
} // namespace devserver
