// Media downloads from the media routes of devserver over HTTPS on real threads: the saved file's name and
// extension, and no file at all for a 404, a body cut short or a dropped connection.

#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "devserver/MediaRoutes.hpp"
#include "devserver/Server.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/net/SimNetwork.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace {

std::vector<std::string> mediaServerCachedFiles() {
    auto names = plat::FileManager::defaultManager().contentsOfDirectory(RadIrivozHelper::cachesDirectory());
    return names.ok() ? *names : std::vector<std::string>{};
}

TEST(MediaServerTest, SavedUnderARandomNameWithTheServedTypeOrNotAtAll) {
    plat::test::TempAppHome home;
    devserver::Server server;
    devserver::installMediaRoutes(server);
    ASSERT_TRUE(server.start()) << server.error();
    const std::string ca = plat::FileManager::defaultManager().temporaryDirectory() + "/media-ca.pem";
    ASSERT_TRUE(server.writeCa(ca));
    plat::sim::Network::setCAFile(ca);
    plat::sim::Network::setResolve(server.resolveEntry(devserver::kMediaHost));

    struct Case {
        const char* path;
        const char* extension; // empty: refused, no file
        const char* body;
    };
    const Case cases[] = {
        {"img.png", "png", "media:img.png"},
        {"photo?type=image/jpeg", "jpeg", "media:photo"},
        {"anim?type=&filename=a.gif", "gif", "media:anim"},
        {"missing/img.png", "", ""},
        {"cut/img.png", "", ""},
        {"drop/img.png", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto before = mediaServerCachedFiles();
        const auto name = RadIrivozHelper::downloadMediaAndSaveInBundle(std::string("https://www.example.test/media/") + c.path);
        if (!*c.extension) {
            EXPECT_FALSE(name);
            EXPECT_EQ(mediaServerCachedFiles(), before);
            continue;
        }
        ASSERT_TRUE(name);
        EXPECT_TRUE(std::regex_match(*name, std::regex(std::string("^[A-Za-z0-9]{10}\\.") + c.extension + "$"))) << *name;
        auto bytes = plat::FileManager::defaultManager().contentsAtPath(RadIrivozHelper::cachesDirectory() + "/" + *name);
        ASSERT_TRUE(bytes.ok());
        EXPECT_EQ(std::string(bytes->begin(), bytes->end()), c.body);
        auto listed = plat::UserDefaults::standardUserDefaults().array("CACHED_MEDIA").value_or(plat::Array{});
        ASSERT_FALSE(listed.empty());
        EXPECT_EQ(listed.back(), plat::Value(*name));
    }
    EXPECT_EQ(server.requestCount(), std::size(cases));
    server.stop();
}

} // namespace
