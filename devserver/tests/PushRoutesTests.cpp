// The push service's routes over real TLS: the store behind them, tag merging, unknown ids, and scripted
// answers for the next request.

#include "devserver/DefaultRoutes.hpp"
#include "devserver/PushRoutes.hpp"
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

const std::string kApi = "https://push.example.test/api/v1/";
const std::string kApp = "4e1b7c2a-9d3f-4a6e-b5c8-2f7a0d9e3b61";

class PushRoutesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_DEFAULT); }

    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "push-routes-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        service_ = installPushRoutes(server_);
        ASSERT_TRUE(server_.start()) << server_.error();
        ASSERT_TRUE(server_.writeCa((dir_ / "ca.pem").string()));
    }
    void TearDown() override {
        server_.stop();
        std::filesystem::remove_all(dir_);
    }

    testing::Result call(const std::string& method, const std::string& path, std::string body = {},
                         long timeoutMs = 10000) {
        Client client({server_.resolveEntry(kPushHost)}, (dir_ / "ca.pem").string());
        Call c = Call::to(method, kApi + path).header("Content-Type: application/json").timeout(timeoutMs);
        if (!body.empty() || method == "POST" || method == "PUT") {
            c.send(std::move(body));
        }
        return client.perform(c);
    }
    std::string createPlayer() {
        auto created = call("POST", "players", json{{"app_id", kApp}, {"device_type", 0}}.dump());
        EXPECT_EQ(created.status, 200) << created.body;
        return json::parse(created.body).value("id", "");
    }
    json record(const std::string& id) { return json::parse(service_->player(id).value_or("null")); }

    std::filesystem::path dir_;
    Server server_;
    std::shared_ptr<PushService> service_;
};

TEST_F(PushRoutesTest, ParametersAnswerForAnyApp) {
    auto params = call("GET", "apps/" + kApp + "/ios_params.js");
    EXPECT_EQ(params.status, 200);
    auto body = json::parse(params.body);
    EXPECT_TRUE(body.contains("fba") && body.contains("require_email_auth") && body.contains("uses_provisional_auth"));
}

TEST_F(PushRoutesTest, APlayerIsCreatedUpdatedAndReadBackWithTagsMerged) {
    const std::string id = createPlayer();
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(service_->playerIds(), std::vector<std::string>{id});

    EXPECT_EQ(call("PUT", "players/" + id, json{{"app_id", kApp}, {"tags", {{"a", "1"}, {"b", "2"}}}}.dump()).status, 200);
    EXPECT_EQ(call("PUT", "players/" + id, json{{"app_id", kApp}, {"tags", {{"b", ""}, {"c", "3"}}}, {"net_type", 0}}.dump()).status, 200);
    EXPECT_EQ(record(id)["tags"], (json{{"a", "1"}, {"c", "3"}}));
    EXPECT_EQ(record(id)["net_type"], 0);

    auto tags = call("GET", "players/" + id + "?app_id=" + kApp);
    EXPECT_EQ(tags.status, 200);
    EXPECT_EQ(json::parse(tags.body), (json{{"tags", {{"a", "1"}, {"c", "3"}}}}));
    EXPECT_EQ(call("GET", "players/" + id).status, 400) << "app_id is required";

    EXPECT_EQ(call("POST", "players/" + id + "/on_session", json{{"app_id", kApp}}.dump()).status, 200);
    EXPECT_EQ(call("POST", "players/" + id + "/on_focus", json{{"app_id", kApp}, {"active_time", 12}}.dump()).status, 200);
    EXPECT_EQ(call("POST", "players/" + id + "/on_purchase",
                   json{{"app_id", kApp}, {"purchases", {{{"sku", "s1"}}}}}.dump()).status, 200);
    EXPECT_EQ(call("POST", "players/" + id + "/email_logout", json{{"app_id", kApp}}.dump()).status, 200);
    EXPECT_EQ(service_->playerEvents(id),
              (std::vector<std::string>{"create", "update", "update", "on_session", "on_focus", "on_purchase",
                                        "email_logout"}));
    EXPECT_EQ(record(id)["active_time"], 12.0);
    EXPECT_EQ(record(id)["purchases"], (json::array({{{"sku", "s1"}}})));
}

TEST_F(PushRoutesTest, UnknownIdsAndBadBodiesAreRefused) {
    const std::string id = createPlayer();
    const struct {
        const char* method;
        std::string path;
        std::string body;
        long status;
    } cases[] = {
        {"PUT", "players/nobody", json{{"app_id", kApp}}.dump(), 404},
        {"POST", "players/nobody/on_session", json{{"app_id", kApp}}.dump(), 404},
        {"GET", "players/nobody?app_id=" + kApp, "", 404},
        {"PUT", "notifications/nothing", json{{"app_id", kApp}, {"opened", true}}.dump(), 404},
        {"POST", "players", json{{"device_type", 0}}.dump(), 400},
        {"POST", "players", "not json", 400},
        {"PUT", "players/" + id, "[1]", 400},
        {"POST", "players/" + id + "/unknown", json{{"app_id", kApp}}.dump(), 404},
        {"GET", "elsewhere", "", 404},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(call(c.method, c.path, c.body).status, c.status) << c.method << " " << c.path;
    }
    EXPECT_EQ(service_->playerIds().size(), 1u);
}

TEST_F(PushRoutesTest, ANotificationIsPostedAndItsOpeningRecorded) {
    createPlayer();
    auto posted = call("POST", "notifications", json{{"app_id", kApp}, {"contents", {{"en", "hi"}}}}.dump());
    ASSERT_EQ(posted.status, 200);
    auto body = json::parse(posted.body);
    EXPECT_EQ(body["recipients"], 1);
    const std::string id = body["id"];
    EXPECT_EQ(call("PUT", "notifications/" + id, json{{"app_id", kApp}, {"opened", true}}.dump()).status, 200);
    EXPECT_EQ(json::parse(*service_->notification(id))["opened"], true);
}

TEST_F(PushRoutesTest, TheNextMatchingRequestGetsTheScriptedAnswerOnce) {
    service_->scriptNext("GET", "apps/", Reply::text(503, "<html>"));
    service_->scriptNext("POST", "players", Reply::json(200, ""));
    service_->scriptNext("", "notifications", Reply::dropped());

    auto params = call("GET", "apps/" + kApp + "/ios_params.js");
    EXPECT_EQ(params.status, 503);
    EXPECT_EQ(params.body, "<html>");
    EXPECT_EQ(call("GET", "apps/" + kApp + "/ios_params.js").status, 200) << "used once";
    auto empty = call("POST", "players", json{{"app_id", kApp}}.dump());
    EXPECT_EQ(empty.status, 200);
    EXPECT_EQ(empty.body, "");
    EXPECT_TRUE(service_->playerIds().empty()) << "a scripted answer stands in for the service";
    EXPECT_NE(call("POST", "notifications", "{}").code, CURLE_OK);

    service_->scriptNext("", "players", Reply::json(200, "{}").after(std::chrono::milliseconds(2000)));
    EXPECT_EQ(call("POST", "players", json{{"app_id", kApp}}.dump(), 300).code, CURLE_OPERATION_TIMEDOUT);
}

TEST_F(PushRoutesTest, TheDefaultRoutesServeThePushHost) {
    Server server;
    installDefaultRoutes(server);
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_TRUE(server.writeCa((dir_ / "ca2.pem").string()));
    Client client({server.resolveEntry(kPushHost)}, (dir_ / "ca2.pem").string());
    EXPECT_EQ(client.perform(Call::to("GET", kApi + "apps/" + kApp + "/ios_params.js")).status, 200);
    server.stop();
}

} // namespace
} // namespace devserver
