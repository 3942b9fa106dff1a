// The notifications the push client shows itself: button categories, requests, media attachments on the
// scripted network, and the service extension with the badge count shared through the app group.

#include "RadIrivozSDK/Source/RINotificationPayload.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozNotificationServiceExtensionHandler.hpp"
#include "RadIrivozSDK/Source/RadIrivozSeams.hpp"
#include "RadIrivozSDK/tests/PushDeviceSupport.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/PreferenceStore.hpp"
#include "platform/foundation/String.hpp"
#include "platform/net/URL.hpp"
#include "platform/usernotifications/UNNotificationContent.hpp"
#include "platform/usernotifications/UNNotificationTrigger.hpp"
#include "platform/usernotifications/UNUserNotificationCenter.hpp"

#include <filesystem>
#include <limits>
#include <regex>
#include <set>

namespace {

using namespace push::test;
using plat::Virtual;

const std::string kMediaRoot = "https://www.example.test/media/";

std::shared_ptr<const RINotificationPayload> mediaPayload(const std::string& json) {
    auto value = plat::JSONSerialization::jsonObject(json);
    EXPECT_TRUE(value.ok() && value->isDictionary()) << json;
    return RINotificationPayload::parseWithApns(value.ok() && value->isDictionary() ? value->asDictionary()
                                                                                   : plat::Dictionary{});
}

std::vector<std::string> actionIds(const std::vector<plat::UNNotificationAction>& actions) {
    std::vector<std::string> ids;
    for (const auto& action : actions) {
        ids.push_back(action.identifier);
    }
    return ids;
}

std::vector<std::string> legacyActionIds(const std::vector<plat::UIMutableUserNotificationAction>& actions) {
    std::vector<std::string> ids;
    for (const auto& action : actions) {
        ids.push_back(action.identifier);
    }
    return ids;
}

class LocalNotificationTest : public PushDeviceTest {
protected:
    void launch(const std::string& os, plat::Dictionary info = {}) {
        boot(os, std::move(info), {{"logo.png", "png"}, {"chime.long.mp3", "mp3"}});
        // Another suite of this program may have stood in for the request step.
        RadIrivozSeams::setAddNotificationRequest({});
        RadIrivozSeams::setPrepareUILocalNotification({});
        RadIrivozSeams::setExtensionEntries({}, {});
        Virtual::runUntilIdle();
    }

    static std::vector<plat::UNNotificationCategory> registeredCategories() {
        std::vector<plat::UNNotificationCategory> out;
        plat::UNUserNotificationCenter::currentNotificationCenter()->getNotificationCategoriesWithCompletionHandler(
            [&out](std::vector<plat::UNNotificationCategory> categories) { out = std::move(categories); });
        Virtual::runUntilIdle();
        return out;
    }

    // Files a download task wrote that nobody took: what a refused or moved download must not leave.
    static std::vector<std::string> leftDownloadFiles() {
        std::vector<std::string> out;
        std::error_code error;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(plat::AppHome::tmp(), error)) {
            if (entry.is_regular_file() &&
                entry.path().filename().string().rfind("URLSessionDownload_", 0) == 0) {
                out.push_back(entry.path().string());
            }
        }
        return out;
    }

    static std::set<std::string> cachedFiles() {
        auto listed = plat::FileManager::defaultManager().contentsOfDirectory(RadIrivozHelper::cachesDirectory());
        std::set<std::string> out;
        if (listed.ok()) {
            for (const auto& name : *listed) {
                // Only media: the platform keeps its own caches there too.
                if (name.find('.') != std::string::npos || name.size() == 10) {
                    out.insert(name);
                }
            }
        }
        return out;
    }

    std::vector<std::string> mediaRequests() const {
        std::vector<std::string> out;
        for (const auto& request : net->requests()) {
            if (request.url.rfind(kMediaRoot, 0) == 0) {
                out.push_back(request.url);
            }
        }
        return out;
    }
};

TEST_F(LocalNotificationTest, ButtonsMakeTheDynamicCategoryAndKeepTheAppsOwn) {
    launch("12.1");
    auto center = plat::UNUserNotificationCenter::currentNotificationCenter();
    center->setNotificationCategories({{"app.reply", {{"r", "Reply", 0, std::nullopt}}, {}, 0},
                                       {"__dynamic__", {{"old", "Old", 0, std::nullopt}}, {}, 0}});
    Virtual::runUntilIdle();
    struct Case {
        const char* buttons;
        std::vector<std::string> ids;
    };
    const Case cases[] = {
        // Two buttons are shown second first, so the first one sits where it is seen first.
        {R"([{"n":"A","i":"a"},{"n":"B","i":"b"}])", {"b", "a"}},
        {R"([{"n":"A","i":"a"},{"n":"B","i":"b"},{"n":"C","i":"c"}])", {"a", "b", "c"}},
        {R"([{"n":"A","i":"a"}])", {"a"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buttons);
        auto payload = mediaPayload(std::string(R"({"aps":{"alert":"x"},"custom":{"i":"b-1"},"buttons":)") +
                                    c.buttons + "}");
        auto content = plat::UNMutableNotificationContent::make();
        RadIrivozHelper::addActionButtons(*payload, *content);
        EXPECT_EQ(content->categoryIdentifier(), "__dynamic__");
        auto categories = registeredCategories();
        ASSERT_EQ(categories.size(), 2u);
        EXPECT_EQ(categories[0].identifier, "app.reply");
        EXPECT_EQ(categories[1].identifier, "__dynamic__");
        EXPECT_EQ(actionIds(categories[1].actions), c.ids);
        EXPECT_EQ(categories[1].options, 1u) << "custom dismiss action";
        for (const auto& action : categories[1].actions) {
            EXPECT_EQ(action.options, 4u) << "foreground";
        }
    }

    // No buttons: the content and the registered categories stay as they are.
    auto content = plat::UNMutableNotificationContent::make();
    RadIrivozHelper::addActionButtons(*mediaPayload(R"({"aps":{"alert":"x"},"custom":{"i":"b-2"}})"), *content);
    EXPECT_EQ(content->categoryIdentifier(), "");
    EXPECT_EQ(actionIds(registeredCategories()[1].actions), std::vector<std::string>{"a"});
}

TEST_F(LocalNotificationTest, BelowOS10TheLocalNotificationCarriesTheCategoryAndThePayload) {
    launch("9.3");
    auto application = plat::UIApplication::sharedApplication();
    application->registerUserNotificationSettings(plat::UIUserNotificationSettings::settingsForTypes(
        7, {plat::UIMutableUserNotificationCategory{"app.own", {}},
            plat::UIMutableUserNotificationCategory{"__dynamic__", {}}}));
    Virtual::runUntilIdle();
    struct Case {
        const char* buttons;
        std::vector<std::string> defaults;
        std::vector<std::string> minimal;
    };
    const Case cases[] = {
        {R"([{"n":"A","i":"a"},{"n":"B","i":"b"}])", {"a", "b"}, {"b", "a"}},
        {R"([{"n":"A","i":"a"},{"n":"B","i":"b"},{"n":"C","i":"c"}])", {"a", "b", "c"}, {"b", "a"}},
        {R"([{"n":"A","i":"a"}])", {"a"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buttons);
        auto local = RadIrivozSeams::prepareUILocalNotification(mediaPayload(
            std::string(R"({"aps":{"alert":{"title":"T","body":"B"},"badge":3},"custom":{"i":"l-1"},"buttons":)") +
            c.buttons + "}"));
        ASSERT_TRUE(local);
        EXPECT_EQ(local->category, "__dynamic__");
        EXPECT_EQ(local->alertTitle, "T");
        EXPECT_EQ(local->alertBody, "B");
        EXPECT_EQ(local->applicationIconBadgeNumber, 3);
        EXPECT_EQ(local->soundName, plat::UILocalNotificationDefaultSoundName);
        EXPECT_EQ(local->userInfo["custom"]["i"], plat::Value("l-1"));
        Virtual::runUntilIdle();
        const auto settings = application->currentUserNotificationSettings();
        EXPECT_EQ(settings.types, 7u);
        ASSERT_EQ(settings.categories.size(), 2u) << "the older dynamic category is replaced";
        EXPECT_EQ(settings.categories[0].identifier, "app.own");
        const auto& dynamic = settings.categories[1];
        EXPECT_EQ(legacyActionIds(dynamic.actionsForContext(plat::UIUserNotificationActionContext::defaultContext)),
                  c.defaults);
        EXPECT_EQ(legacyActionIds(dynamic.actionsForContext(plat::UIUserNotificationActionContext::minimal)),
                  c.minimal);
    }
}

TEST_F(LocalNotificationTest, MediaIsSavedUnderARandomNameWithTheRightExtensionOrNotAtAll) {
    launch("12.1");
    auto replyWith = [](int status, const char* contentType, std::string body) {
        plat::ScriptedReply reply;
        reply.status = status;
        if (*contentType) {
            reply.headers.push_back({"Content-Type", contentType});
        }
        reply.chunks = {std::move(body)};
        return reply;
    };
    struct Case {
        std::string path;
        plat::ScriptedReply reply;
        const char* extension; // empty: nothing saved
        bool fetched;
    };
    plat::ScriptedReply dropped = plat::ScriptedReply::error(plat::WireFailure::connectionLost);
    plat::ScriptedReply slow = replyWith(200, "image/png", "late");
    slow.after(60);
    const Case cases[] = {
        {"img.png", replyWith(200, "image/png", "png-bytes"), "png", true},
        {"photo", replyWith(200, "image/jpeg", "jpeg-bytes"), "jpeg", true},
        {"anim?filename=a.gif", replyWith(200, "", "gif-bytes"), "gif", true},
        {"pic.webp", replyWith(200, "image/webp", "x"), "", false},
        {"picture", replyWith(200, "image/webp", "x"), "", true},
        {"nothing-known?filename=a.txt", replyWith(200, "", "x"), "", true},
        {"missing.png", replyWith(404, "text/html", "not here"), "", true},
        {"dropped.png", dropped, "", true},
        {"slow.png", slow, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        net->clearRequests();
        const std::string url = kMediaRoot + c.path;
        net->route("GET", url, c.reply);
        const auto before = cachedFiles();
        const auto listedBefore = defaults().array("CACHED_MEDIA").value_or(plat::Array{});
        const auto name = RadIrivozHelper::downloadMediaAndSaveInBundle(url);
        EXPECT_EQ(mediaRequests().size(), c.fetched ? 1u : 0u);
        Virtual::runUntilIdle();
        EXPECT_EQ(leftDownloadFiles(), std::vector<std::string>{});
        const auto listed = defaults().array("CACHED_MEDIA").value_or(plat::Array{});
        if (!*c.extension) {
            EXPECT_FALSE(name) << *name;
            EXPECT_EQ(cachedFiles(), before) << "a refused download leaves no file";
            EXPECT_EQ(listed.size(), listedBefore.size());
            continue;
        }
        ASSERT_TRUE(name);
        EXPECT_TRUE(std::regex_match(*name, std::regex(std::string("^[A-Za-z0-9]{10}\\.") + c.extension + "$")))
            << *name;
        ASSERT_EQ(listed.size(), listedBefore.size() + 1);
        EXPECT_EQ(listed.back(), plat::Value(*name));
        EXPECT_FALSE(plat::PreferenceStore::standardDomain()->hasPendingChanges())
            << "the list is written out";
        auto bytes = plat::FileManager::defaultManager().contentsAtPath(RadIrivozHelper::cachesDirectory() + "/" + *name);
        ASSERT_TRUE(bytes.ok());
        EXPECT_EQ(std::string(bytes->begin(), bytes->end()), c.reply.chunks.front());
    }
}

TEST_F(LocalNotificationTest, AttachmentsComeFromTheWebOrFromInsideTheBundleOnly) {
    launch("12.1");
    net->route("GET", kMediaRoot + "img.png", plat::ScriptedReply::text(200, "png", "image/png"));
    auto payload = mediaPayload(R"({"aps":{"alert":"x"},"custom":{"i":"a-1"},"att":{
        "web":" https://www.example.test/media/img.png ",
        "logo":"logo.png",
        "chime":"chime.long.mp3",
        "absent":"absent.png",
        "noext":"logo",
        "up":"../Portal.app/logo.png",
        "slash":"sub/logo.png",
        "back":"sub\\logo.png",
        "gone":"https://www.example.test/media/gone.png"}})");
    auto content = plat::UNMutableNotificationContent::make();
    RadIrivozHelper::addAttachments(*payload, *content);
    std::set<std::string> ids;
    for (const auto& attachment : content->attachments()) {
        ids.insert(attachment->identifier());
    }
    EXPECT_EQ(ids, (std::set<std::string>{"web", "logo", "chime"}));
    for (const auto& attachment : content->attachments()) {
        if (attachment->identifier() == "chime") {
            EXPECT_TRUE(plat::String::hasSuffix(attachment->url().path(), "/chime.long.mp3"));
        }
    }
}

TEST_F(LocalNotificationTest, ABackgroundPushWithButtonsAndMediaSchedulesOneRequest) {
    launch("12.1");
    plat::sim::Notifications::setAuthorizationStatus(plat::UNAuthorizationStatus::authorized, 7);
    net->route("GET", kMediaRoot + "img.png", plat::ScriptedReply::text(200, "png", "image/png"));
    std::vector<plat::UIBackgroundFetchResult> results;
    auto handler = [&results](plat::UIBackgroundFetchResult result) { results.push_back(result); };
    const auto userInfo = plat::JSONSerialization::jsonObject(
        R"({"aps":{"content-available":1},"os_data":{"i":"s-1","buttons":{"m":"Hello","o":[{"n":"A","i":"a"},{"n":"B","i":"b"}],
            "at":{"img":"https://www.example.test/media/img.png"}}}})");
    ASSERT_TRUE(userInfo.ok());
    EXPECT_TRUE(RadIrivoz::remoteSilentNotification(plat::UIApplication::sharedApplication(),
                                                    userInfo->asDictionary(), handler));
    Virtual::runUntilIdle();
    EXPECT_EQ(results, std::vector<plat::UIBackgroundFetchResult>{plat::UIBackgroundFetchResult::newData});
    const auto requests = plat::sim::Notifications::addedRequests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = *requests.front();
    EXPECT_TRUE(std::regex_match(request.identifier(), std::regex("^[A-Za-z0-9]{16}$")));
    auto trigger = std::dynamic_pointer_cast<plat::UNTimeIntervalNotificationTrigger>(request.trigger());
    ASSERT_TRUE(trigger);
    EXPECT_DOUBLE_EQ(trigger->timeInterval(), 0.25);
    EXPECT_FALSE(trigger->repeats());
    const auto& content = *request.content();
    EXPECT_EQ(content.body(), "Hello");
    EXPECT_EQ(content.categoryIdentifier(), "__dynamic__");
    EXPECT_TRUE(content.sound() && content.sound()->isDefault());
    EXPECT_FALSE(content.badge()) << "a badge of 0 is left unset";
    ASSERT_EQ(content.attachments().size(), 1u);
    EXPECT_EQ(content.attachments().front()->identifier(), "img");
}

TEST_F(LocalNotificationTest, TheExtensionKeepsTheBadgeInStepWithinBounds) {
    launch("12.1");
    constexpr int64_t top = std::numeric_limits<int32_t>::max();
    struct Case {
        int64_t stored;
        const char* custom;     // the "custom" dictionary of the push
        std::optional<int64_t> apsBadge;
        std::optional<int64_t> contentBadge; // none: left as the push carried it
        int64_t storedAfter;
    };
    const Case cases[] = {
        {3, R"({"i":"x","badge_inc":2})", std::nullopt, 5, 5},
        {1, R"({"i":"x","badge_inc":-4})", std::nullopt, 0, 0},
        {0, R"({"i":"x"})", 7, 7, 7},
        {4, R"({"i":"x","badge_inc":1})", 9, 5, 5},
        {top - 1, R"({"i":"x","badge_inc":10})", std::nullopt, top, top},
        {top, R"({"i":"x","badge_inc":-9223372036854775807})", std::nullopt, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.custom);
        RadIrivozExtensionBadgeHandler::updateCachedBadgeValue(c.stored);
        plat::Dictionary aps{{"alert", plat::Value("x")}};
        if (c.apsBadge) {
            aps.set("badge", plat::Value(*c.apsBadge));
        }
        auto custom = plat::JSONSerialization::jsonObject(std::string(c.custom));
        ASSERT_TRUE(custom.ok());
        auto notification = plat::sim::Notifications::makeRemoteNotification(
            plat::Value(plat::Dictionary{{"aps", plat::Value(aps)}, {"custom", *custom}}));
        auto content = RadIrivoz::didReceiveNotificationExtensionRequest(notification->request(), nullptr);
        ASSERT_TRUE(content);
        EXPECT_EQ(content->badge(), c.contentBadge);
        EXPECT_EQ(RadIrivozExtensionBadgeHandler::currentCachedBadgeValue(), c.storedAfter);
    }

    // The app's own badge goes to the group, where the extension adds to it.
    plat::UIApplication::sharedApplication()->setApplicationIconBadgeNumber(4);
    EXPECT_EQ(plat::UserDefaults(RadIrivozExtensionBadgeHandler::appGroupName()).integer("radirivozBadgeCount"), 4);
}

TEST_F(LocalNotificationTest, TheExtensionKeepsTheSendersCategoryAndOnExpiryOnlyAddsButtons) {
    launch("12.1");
    net->route("GET", kMediaRoot + "img.png", plat::ScriptedReply::text(200, "png", "image/png"));
    const char* const push =
        R"({"aps":{"alert":"x","category":"%s"},"custom":{"i":"e-1","badge_inc":3},"buttons":[{"n":"A","i":"a"}],"att":{"img":"https://www.example.test/media/img.png"}})";
    auto request = [&](const char* category) {
        std::string json(push);
        json.replace(json.find("%s"), 2, category);
        return plat::sim::Notifications::makeRemoteNotification(
                   plat::Value(plat::JSONSerialization::jsonObject(json)->asDictionary()))
            ->request();
    };
    RadIrivozExtensionBadgeHandler::updateCachedBadgeValue(0);

    auto own = RadIrivoz::didReceiveNotificationExtensionRequest(request("app.reply"), nullptr);
    EXPECT_EQ(own->categoryIdentifier(), "app.reply");
    EXPECT_EQ(own->attachments().size(), 1u);
    EXPECT_EQ(RadIrivozExtensionBadgeHandler::currentCachedBadgeValue(), 3);

    net->clearRequests();
    auto late = RadIrivoz::serviceExtensionTimeWillExpireRequest(request(""), nullptr);
    EXPECT_EQ(late->categoryIdentifier(), "__dynamic__");
    EXPECT_TRUE(late->attachments().empty());
    EXPECT_FALSE(late->badge());
    EXPECT_TRUE(mediaRequests().empty()) << "no download once time is up";
    EXPECT_EQ(RadIrivozExtensionBadgeHandler::currentCachedBadgeValue(), 3);
}

TEST_F(LocalNotificationTest, TheAppGroupNameIsTrimmedAndTheSameInTheAppAndItsExtension) {
    launch("12.1");
    EXPECT_EQ(RadIrivozExtensionBadgeHandler::appGroupName(), "group.test.example.portal.radirivoz");

    const std::string app = plat::Bundle::main()->bundlePath();
    plat::test::FixtureBundle extension(app + "/PlugIns/Service.appex",
                                        {{"CFBundleIdentifier", plat::Value("test.example.portal.service")}});
    plat::Bundle::setMain(extension.path());
    EXPECT_EQ(RadIrivozExtensionBadgeHandler::primaryBundleIdentifier(), "test.example.portal");
    EXPECT_EQ(RadIrivozExtensionBadgeHandler::appGroupName(), "group.test.example.portal.radirivoz");

    plat::test::FixtureBundle configured(app + "/PlugIns/Named.appex",
                                         {{"CFBundleIdentifier", plat::Value("test.example.portal.named")},
                                          {"RadIrivoz_app_groups_key", plat::Value(" group.x \n")}});
    plat::Bundle::setMain(configured.path());
    EXPECT_EQ(RadIrivozExtensionBadgeHandler::appGroupName(), "group.x");
    plat::Bundle::setMain(app);
}

TEST(RadIrivozMediaText, VersionsExtensionsAndQueryParameters) {
    EXPECT_EQ(one_getSemanticVersion("020809"), "2.8.9");
    EXPECT_EQ(one_getSemanticVersion("101112"), "10.11.12");
    EXPECT_EQ(one_getSemanticVersion("000001"), "0.0.1");
    EXPECT_EQ(one_substringAfter("a=b=c", "="), "b=c");
    EXPECT_EQ(one_substringAfter("abc", "="), "abc");
    struct Case {
        const char* text;
        std::optional<std::string> extension;
    };
    const Case names[] = {{"a.gif", "gif"}, {"a.b.M4V", std::nullopt}, {"a.webp", std::nullopt},
                          {"gif", std::nullopt}, {"x.tar.m4a", "m4a"}};
    for (const Case& c : names) {
        EXPECT_EQ(supportedFileExtension(c.text), c.extension) << c.text;
    }
    const Case mimes[] = {{"image/jpeg", "jpeg"}, {"image/jpg", "jpg"}, {"sound/m4a", "m4a"},
                          {"IMAGE/PNG", std::nullopt}, {"image/webp", std::nullopt}};
    for (const Case& c : mimes) {
        EXPECT_EQ(fileExtensionForMimeType(c.text), c.extension) << c.text;
    }
    const auto url = plat::URL::parse("https://www.example.test/m?FileName=a.png&filename=b.gif&filename=c.png");
    ASSERT_TRUE(url);
    EXPECT_EQ(valueFromQueryParameter(*url, "filename"), "b.gif");
    EXPECT_EQ(valueFromQueryParameter(*url, "FILENAME"), std::nullopt);
    EXPECT_EQ(valueFromQueryParameter(*plat::URL::parse("https://www.example.test/m?FileName=a"), "filename"),
              std::nullopt);
}

} // namespace
