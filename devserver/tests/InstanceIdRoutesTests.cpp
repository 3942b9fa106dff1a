// The instance-ID back end over real TLS: check-in of new and known devices, refused requests, and the
// register form's fetches and three kinds of deletion.

#include "devserver/DefaultRoutes.hpp"
#include "devserver/InstanceIdRoutes.hpp"
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

class InstanceIdRoutesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_DEFAULT); }

    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "iid-routes-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        installDefaultRoutes(server_);
        // The default install's store is not handed out; a second install on top takes precedence.
        service_ = installInstanceIdRoutes(server_);
        ASSERT_TRUE(server_.start()) << server_.error();
        ASSERT_TRUE(server_.writeCa((dir_ / "ca.pem").string()));
    }
    void TearDown() override {
        server_.stop();
        std::filesystem::remove_all(dir_);
    }

    testing::Result post(const std::string& path, std::string body, std::vector<std::string> headers = {}) {
        Client client({server_.resolveEntry(kInstanceIdHost)}, (dir_ / "ca.pem").string());
        Call c = Call::to("POST", std::string("https://") + kInstanceIdHost + path).timeout(10000);
        for (auto& h : headers) {
            c.header(std::move(h));
        }
        c.send(std::move(body));
        return client.perform(c);
    }
    json checkin(int64_t id = 0, int64_t secret = 0) {
        auto reply = post(
            "/checkin",
            json{{"checkin", json::object()}, {"version", 2}, {"id", id}, {"security_token", secret}}.dump(),
            {"Content-Type: application/json"});
        EXPECT_EQ(reply.status, 200) << reply.body;
        return json::parse(reply.body, nullptr, false);
    }
    testing::Result form(const json& device, const std::string& body,
                         const std::string& app = "com.example.app") {
        return post("/iid/register", body,
                    {"Authorization: AidLogin " + std::to_string(device["android_id"].get<int64_t>()) + ":" +
                         std::to_string(device["security_token"].get<int64_t>()),
                     "app: " + app});
    }

    std::filesystem::path dir_;
    Server server_;
    std::shared_ptr<InstanceIdService> service_;
};

TEST_F(InstanceIdRoutesTest, ANewDeviceGetsLargeCredentialsAndAKnownOneTheSameAgain) {
    const json first = checkin();
    ASSERT_TRUE(first["android_id"].is_number_integer());
    EXPECT_GT(first["android_id"].get<int64_t>(), int64_t{1} << 53);
    EXPECT_GT(first["security_token"].get<int64_t>(), int64_t{1} << 53);
    EXPECT_FALSE(first["digest"].get<std::string>().empty());
    EXPECT_EQ(first["setting"].size(), 3u);

    const json again = checkin(first["android_id"].get<int64_t>(), first["security_token"].get<int64_t>());
    EXPECT_EQ(again["android_id"], first["android_id"]);
    EXPECT_EQ(again["security_token"], first["security_token"]);
    EXPECT_EQ(again["digest"], first["digest"]);
    const json wrongSecret = checkin(first["android_id"].get<int64_t>(), 1);
    EXPECT_NE(wrongSecret["android_id"], first["android_id"]);
    EXPECT_EQ(service_->devices().size(), 2u);
    EXPECT_EQ(service_->device(first["android_id"].get<int64_t>())->checkins, 2);

    for (const char* bad : {"not json", "[]", R"({"checkin":{},"version":3})", R"({"version":2})"}) {
        const auto reply = post("/checkin", bad);
        EXPECT_EQ(reply.status, 400) << bad;
        EXPECT_TRUE(json::parse(reply.body, nullptr, false).contains("error")) << bad;
    }
}

TEST_F(InstanceIdRoutesTest, RegisterRefusesStrangersAndIncompleteFetches) {
    const json device = checkin();
    json stranger = device;
    stranger["security_token"] = 7;
    EXPECT_EQ(form(stranger, "sender=s&X-subtype=s&appid=i&app=com.example.app").body,
              "Error=AUTHENTICATION_FAILED");
    EXPECT_EQ(form(stranger, "sender=s&X-subtype=s&appid=i&app=com.example.app").status, 401);
    for (const char* body :
         {"X-subtype=s&appid=i&app=com.example.app", "sender=s&appid=i&app=com.example.app",
          "sender=s&X-subtype=s&app=com.example.app", "sender=s&X-subtype=s&appid=i&app=other"}) {
        const auto reply = form(device, body);
        EXPECT_EQ(reply.status, 400) << body;
        EXPECT_EQ(reply.body, "Error=INVALID_PARAMETERS") << body;
    }
    EXPECT_TRUE(service_->registrations().empty());
}

TEST_F(InstanceIdRoutesTest, FetchesAreStableAndDeletesRemoveOneAnIdentityOrTheDevice) {
    const json device = checkin();
    const std::string base = "app=com.example.app&X-subtype=";
    auto fetch = [&](const std::string& sender, const std::string& scope, const std::string& appid,
                     const std::string& extra = "") {
        auto reply = form(device, base + sender + "&sender=" + sender + "&X-scope=" + scope +
                                      "&appid=" + appid + extra);
        EXPECT_EQ(reply.body.rfind("token=", 0), 0u) << reply.body;
        return reply.body;
    };
    const std::string a = fetch("s1", "*", "idA");
    EXPECT_EQ(fetch("s1", "*", "idA"), a);
    EXPECT_NE(fetch("s1", "*", "idA", "&apns_token=s_0aff"), a);
    fetch("s2", "*", "idA");
    fetch("s1", "*", "idB");
    EXPECT_EQ(service_->registrations().size(), 4u);

    EXPECT_EQ(form(device, "delete=true&sender=s2&X-scope=*&appid=idA").body, "deleted=idA");
    EXPECT_EQ(service_->registrations().size(), 3u);
    EXPECT_EQ(form(device, "delete=true&iid-operation=delete&appid=idA").body, "deleted=idA");
    ASSERT_EQ(service_->registrations().size(), 1u);
    EXPECT_EQ(service_->registrations()[0].identity, "idB");
    EXPECT_EQ(form(device, "delete=true").body,
              "deleted=" + std::to_string(device["android_id"].get<int64_t>()));
    EXPECT_TRUE(service_->registrations().empty());
}

} // namespace
} // namespace devserver
