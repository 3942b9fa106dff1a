#include "app/Strings.hpp"
#include "deployment/Deployment.hpp"
#include "platform/net/URL.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <thread>

namespace {

TEST(StringsTest, PortalAddressesShareTheDeploymentRoot) {
    const std::string root(deployment::kPortalRoot);
    EXPECT_EQ(Strings::Endpoint::login, root + "/login?ignore_ntlm=1/");
    EXPECT_EQ(Strings::Endpoint::register_, root + "/api/radirivoz/register");
    ASSERT_EQ(Strings::BaseUrls::urls().size(), 1u);
    EXPECT_EQ(Strings::BaseUrls::urls()[0], root);
    ASSERT_EQ(Strings::ExternalLinks::links().size(), 1u);
    EXPECT_EQ(Strings::ExternalLinks::links()[0], deployment::kExternalSite);

    // The root is scheme and host only, so the joined texts have exactly the paths above.
    auto parsed = plat::URL::parse(root);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->scheme(), std::optional<std::string>("https"));
    EXPECT_EQ(parsed->path(), "");
    EXPECT_NE(root.back(), '/');
}

TEST(StringsTest, PortalAddressesAreValidURLsAndKeepTheirTrailingSlash) {
    auto login = plat::URL::parse(Strings::Endpoint::login);
    ASSERT_TRUE(login) << Strings::Endpoint::login;
    EXPECT_EQ(login->absoluteString(), Strings::Endpoint::login);
    EXPECT_EQ(login->path(), "/login");
    EXPECT_EQ(login->query(), std::optional<std::string>("ignore_ntlm=1/"));
    EXPECT_TRUE(Strings::Endpoint::login.ends_with("=1/"));

    auto registration = plat::URL::parse(Strings::Endpoint::register_);
    ASSERT_TRUE(registration);
    EXPECT_EQ(registration->path(), "/api/radirivoz/register");
    EXPECT_FALSE(registration->query());

    auto external = plat::URL::parse(Strings::ExternalLinks::links()[0]);
    ASSERT_TRUE(external);
    EXPECT_EQ(external->scheme(), std::optional<std::string>("https"));
    EXPECT_EQ(external->path(), "");
}

TEST(StringsTest, FixedTexts) {
    const std::pair<std::string_view, std::string_view> table[] = {
        {Strings::File::Name::config, "Config"},
        {Strings::File::Extension::json, "json"},
        {Strings::AlertAction::ok, "OK"},
        {Strings::AlertAction::cancel, "Cancel"},
        {Strings::BoolValue::trueValue, "true"},
        {Strings::Endpoint::device, "/intranet/rest/device/"},
        {Strings::DictionaryKey::phpSessionId, "PHPSESSID"},
        {Strings::DictionaryKey::baseUrl, "base_url"},
        {Strings::DictionaryKey::pushNotificationsEnabled, "push_notifications_enabled"},
        {Strings::DictionaryKey::baseUrlHomeHost, "base_url_home_host"},
        {Strings::Networking::contentType, "content-type"},
        {Strings::Networking::applicationJson, "application/json"},
        {Strings::Networking::deviceType, "device_type"},
        {Strings::Networking::ios, "ios"},
        {Strings::Networking::deviceToken, "device_token"},
        {Strings::Storyboard::main, "Main"},
        {Strings::ViewController::identifier, "ViewController"},
    };
    for (const auto& [value, expected] : table)
        EXPECT_EQ(value, expected);
}

TEST(StringsTest, PushAppIdIsALowerCaseUUID) {
    const std::string_view id = Strings::RadIrivoz::appId;
    EXPECT_EQ(id, deployment::kPushAppId);
    ASSERT_EQ(id.size(), 36u);
    for (size_t i = 0; i < id.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            EXPECT_EQ(id[i], '-') << i;
        } else {
            EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(id[i])) &&
                        !std::isupper(static_cast<unsigned char>(id[i])))
                << "position " << i << " of " << id;
        }
    }
}

TEST(StringsTest, AddressListsAreBuiltOnceAcrossThreads) {
    const std::vector<std::string>* seen[4] = {};
    {
        std::jthread a([&] { seen[0] = &Strings::ExternalLinks::links(); });
        std::jthread b([&] { seen[1] = &Strings::ExternalLinks::links(); });
        std::jthread c([&] { seen[2] = &Strings::BaseUrls::urls(); });
        std::jthread d([&] { seen[3] = &Strings::BaseUrls::urls(); });
    }
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(seen[2], seen[3]);
    EXPECT_EQ(seen[0], &Strings::ExternalLinks::links());
}

} // namespace
