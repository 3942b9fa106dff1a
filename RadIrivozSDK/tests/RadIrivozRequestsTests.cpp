// The request catalogue: every factory's method, path and parameters, with optional keys left out and
// null keys sent as JSON null.

#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozRequests.hpp"
#include "platform/foundation/Json.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace {

using S = std::optional<std::string>;
const S kApp = std::string("app-1");
const S kUser = std::string("user-1");
const S kNone = std::nullopt;

struct FactoryCase {
    const char* name;
    std::function<std::shared_ptr<RadIrivozRequest>()> make;
    const char* className;
    int32_t method;
    const char* path;
    const char* parameters; // JSON; key order is part of the expectation
    bool disableLocalCaching = false;
};

void PrintTo(const FactoryCase& c, std::ostream* os) {
    *os << c.name;
}

class FactoryTest : public ::testing::TestWithParam<FactoryCase> {};

TEST_P(FactoryTest, FillsMethodPathAndParameters) {
    const FactoryCase& c = GetParam();
    auto request = c.make();
    EXPECT_EQ(request->className(), c.className);
    EXPECT_EQ(request->method(), c.method);
    EXPECT_EQ(request->path(), c.path);
    EXPECT_EQ(request->disableLocalCaching(), c.disableLocalCaching);
    ASSERT_TRUE(request->parameters());
    auto expected = plat::JSONSerialization::jsonObject(std::string_view(c.parameters));
    ASSERT_TRUE(expected.ok()) << c.parameters;
    EXPECT_EQ(plat::Value(*request->parameters()), *expected);
    EXPECT_EQ(request->parameters()->keys(), expected->asDictionary().keys()) << "order";
}

const plat::Array kPurchases{plat::Value(plat::Dictionary{{"sku", "s1"}})};

INSTANTIATE_TEST_SUITE_P(
    Catalogue, FactoryTest,
    ::testing::Values(
        FactoryCase{"GetTags", [] { return RIRequestGetTags::withUserId(kUser, kApp); }, "RIRequestGetTags",
                    HTTPMethodGET, "players/user-1", R"({"app_id":"app-1"})"},
        FactoryCase{"IosParams", [] { return RIRequestGetIosParams::withUserId(kNone, kApp); },
                    "RIRequestGetIosParams", HTTPMethodGET, "apps/app-1/ios_params.js", "{}", true},
        FactoryCase{"IosParamsWithPlayer", [] { return RIRequestGetIosParams::withUserId(kUser, kApp); },
                    "RIRequestGetIosParams", HTTPMethodGET, "apps/app-1/ios_params.js", R"({"player_id":"user-1"})",
                    true},
        FactoryCase{"SendTags",
                    [] {
                        return RIRequestSendTagsToServer::withUserId(kUser, kApp, plat::Dictionary{{"k", "v"}},
                                                                     plat::Value(0), std::string(""));
                    },
                    "RIRequestSendTagsToServer", HTTPMethodPUT, "players/user-1",
                    R"({"app_id":"app-1","tags":{"k":"v"},"net_type":0})"},
        FactoryCase{"SendTagsWithHash",
                    [] {
                        return RIRequestSendTagsToServer::withUserId(kUser, kApp, plat::Dictionary{}, plat::Value(1),
                                                                     std::string("h"));
                    },
                    "RIRequestSendTagsToServer", HTTPMethodPUT, "players/user-1",
                    R"({"app_id":"app-1","tags":{},"net_type":1,"email_auth_hash":"h"})"},
        FactoryCase{"PostNotificationOwnAppIdWins",
                    [] {
                        return RIRequestPostNotification::withAppId(kApp, plat::Dictionary{{"app_id", "mine"}});
                    },
                    "RIRequestPostNotification", HTTPMethodPOST, "notifications", R"({"app_id":"mine"})"},
        FactoryCase{"PostNotification",
                    [] {
                        return RIRequestPostNotification::withAppId(kApp, plat::Dictionary{{"contents", "hi"}});
                    },
                    "RIRequestPostNotification", HTTPMethodPOST, "notifications",
                    R"({"contents":"hi","app_id":"app-1"})"},
        FactoryCase{"DeviceTokenOnly",
                    [] {
                        return RIRequestUpdateDeviceToken::withUserId(kUser, kApp, std::string("tok"), plat::Value(),
                                                                      kNone, kNone, kNone);
                    },
                    "RIRequestUpdateDeviceToken", HTTPMethodPUT, "players/user-1",
                    R"({"app_id":"app-1","identifier":"tok"})"},
        FactoryCase{"DeviceTokenEverything",
                    [] {
                        return RIRequestUpdateDeviceToken::withUserId(kUser, kApp, std::string("tok"), plat::Value(7),
                                                                      std::string("parent"), std::string("h"),
                                                                      std::string("a@b.c"));
                    },
                    "RIRequestUpdateDeviceToken", HTTPMethodPUT, "players/user-1",
                    R"({"app_id":"app-1","email":"a@b.c","notification_types":7,"identifier":"tok",)"
                    R"("parent_player_id":"parent","email_auth_hash":"h"})"},
        FactoryCase{"CreateDeviceNullKeys",
                    [] {
                        return RIRequestCreateDevice::withAppId(kApp, plat::Value(11), std::string("a@b.c"), kNone,
                                                                kNone);
                    },
                    "RIRequestCreateDevice", HTTPMethodPOST, "players",
                    R"({"app_id":"app-1","device_type":11,"identifier":"a@b.c","email_auth_hash":null,)"
                    R"("device_player_id":null})"},
        FactoryCase{"LogoutEmail",
                    [] { return RIRequestLogoutEmail::withAppId(kApp, kNone, kUser, std::string("h")); },
                    "RIRequestLogoutEmail", HTTPMethodPOST, "players/user-1/email_logout",
                    R"({"parent_player_id":null,"email_auth_hash":"h","app_id":"app-1"})"},
        FactoryCase{"NotificationTypes",
                    [] { return RIRequestUpdateNotificationTypes::withUserId(kUser, kApp, plat::Value(-2)); },
                    "RIRequestUpdateNotificationTypes", HTTPMethodPUT, "players/user-1",
                    R"({"app_id":"app-1","notification_types":-2})"},
        FactoryCase{"PurchasesPush", [] { return RIRequestSendPurchases::withUserId(kUser, kApp, kPurchases); },
                    "RIRequestSendPurchases", HTTPMethodPOST, "players/user-1/on_purchase",
                    R"({"app_id":"app-1","purchases":[{"sku":"s1"}]})"},
        FactoryCase{"PurchasesEmail",
                    [] { return RIRequestSendPurchases::withUserId(kUser, kNone, kApp, kPurchases); },
                    "RIRequestSendPurchases", HTTPMethodPOST, "players/user-1/on_purchase",
                    R"({"app_id":"app-1","purchases":[{"sku":"s1"}],"email_auth_hash":null})"},
        FactoryCase{"Opened",
                    [] {
                        return RIRequestSubmitNotificationOpened::withUserId(kNone, kApp, false, std::string("m-1"));
                    },
                    "RIRequestSubmitNotificationOpened", HTTPMethodPUT, "notifications/m-1",
                    R"({"player_id":null,"app_id":"app-1","opened":false})"},
        FactoryCase{"RegisterNew",
                    [] { return RIRequestRegisterUser::withData(plat::Dictionary{{"app_id", "app-1"}}, kNone); },
                    "RIRequestRegisterUser", HTTPMethodPOST, "players", R"({"app_id":"app-1"})"},
        FactoryCase{"RegisterSession",
                    [] { return RIRequestRegisterUser::withData(plat::Dictionary{{"app_id", "app-1"}}, kUser); },
                    "RIRequestRegisterUser", HTTPMethodPOST, "players/user-1/on_session", R"({"app_id":"app-1"})"},
        FactoryCase{"HashedEmail",
                    [] { return RIRequestSyncHashedEmail::withUserId(kUser, kApp, "A@B.c", plat::Value(0)); },
                    "RIRequestSyncHashedEmail", HTTPMethodPUT, "players/user-1",
                    R"({"app_id":"app-1","em_m":"5d60d4e28066df254d5452f92c910092",)"
                    R"("em_s":"e2d6a40c8b4d3e6a2779ba1802ef29d13940a051","net_type":0})"},
        FactoryCase{"Location",
                    [] {
                        return RIRequestSendLocation::withUserId(kUser, kApp, os_last_location{{1.5, -2.25}, 3.0, 4.5},
                                                                 plat::Value(1), true, kNone);
                    },
                    "RIRequestSendLocation", HTTPMethodPUT, "players/user-1",
                    R"({"app_id":"app-1","lat":1.5,"long":-2.25,"loc_acc_vert":3.0,"loc_acc":4.5,"net_type":1,)"
                    R"("loc_bg":true})"},
        FactoryCase{"FocusBadge",
                    [] { return RIRequestOnFocus::withUserId(kUser, kApp, plat::Value(3), std::string("h")); },
                    "RIRequestOnFocus", HTTPMethodPUT, "players/user-1",
                    R"({"app_id":"app-1","badgeCount":3,"email_auth_hash":"h"})"},
        FactoryCase{"FocusTime",
                    [] {
                        return RIRequestOnFocus::withUserId(kUser, kApp, plat::Value("ping"), plat::Value(1),
                                                            plat::Value(42), plat::Value(0), kNone);
                    },
                    "RIRequestOnFocus", HTTPMethodPOST, "players/user-1/on_focus",
                    R"({"app_id":"app-1","state":"ping","type":1,"active_time":42,"net_type":0})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RadIrivozRequestsTest, HashedEmailSendsTheDigestsOfTheLowerCasedAddress) {
    auto request = RIRequestSyncHashedEmail::withUserId(kUser, kApp, "A@B.c", plat::Value(0));
    EXPECT_EQ(*request->parameters()->find("em_m"), plat::Value(RadIrivozHelper::hashUsingMD5("a@b.c")));
    EXPECT_EQ(*request->parameters()->find("em_s"), plat::Value(RadIrivozHelper::hashUsingSha1("a@b.c")));
    EXPECT_EQ(RadIrivozHelper::hashUsingMD5(""), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(RadIrivozRequestsTest, OnlyTheParametersRequestIsNeverRefusedForAMissingAppId) {
    EXPECT_FALSE(RIRequestGetIosParams::withUserId(kNone, kApp)->missingAppId());
    EXPECT_TRUE(RIRequestSubmitNotificationOpened::withUserId(kUser, kNone, true, std::string("m"))->missingAppId());
    EXPECT_TRUE(RIRequestGetTags::withUserId(kUser, std::string(""))->missingAppId());
    EXPECT_FALSE(RIRequestGetTags::withUserId(kUser, kApp)->missingAppId());
}

} // namespace
