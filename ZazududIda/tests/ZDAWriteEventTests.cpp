// Event log lines and the append: the exact bytes of a new and of an existing log, byte counts, failures of
// the disk part-way through a line (the log keeps whole lines only), and the file look-ups of the pipeline.

#include "ZazududIda/ZDAFileUtils.hpp"
#include "ZazududIda/ZDALogger.hpp"
#include "ZazududIda/ZDAWriteEventOperation.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Json.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>

namespace {

using plat::Dictionary;
using plat::Value;

// An event with a name and payload of the test's choosing.
class NamedTestEvent : public ZDAEvent {
public:
    NamedTestEvent(std::string name, Dictionary payload) : name_(std::move(name)), payload_(std::move(payload)) {}
    std::string name() const override { return name_; }
    Dictionary dictionaryRepresentation() const override { return payload_; }

private:
    std::string name_;
    Dictionary payload_;
};

// A write operation whose disk does what the test scripts, one step per write call; unscripted calls write.
class ScriptedWriteOperation : public ZDAWriteEventOperation {
public:
    using ZDAWriteEventOperation::ZDAWriteEventOperation;
    // >= 0: accept at most that many bytes (written for real); -1: fail with EIO; -2: claim one byte more.
    std::deque<long> steps;
    int calls = 0;

protected:
    ssize_t writeBytes(int fd, const void* bytes, size_t length) override {
        ++calls;
        if (steps.empty()) {
            return ::write(fd, bytes, length);
        }
        const long step = steps.front();
        steps.pop_front();
        if (step == -1) {
            errno = EIO;
            return -1;
        }
        if (step == -2) {
            return static_cast<ssize_t>(length + 1);
        }
        return ::write(fd, bytes, std::min(length, static_cast<size_t>(step)));
    }
};

std::string contents(const std::string& path) {
    auto bytes = plat::readData(path);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("<missing>");
}

class ZDAWriteEventTest : public ::testing::Test {
protected:
    plat::test::TempAppHome home_;
    std::string path_ = home_.root() + "/events.log";
    plat::URL url_ = plat::URL::file(path_);
    ZDAMetadata metadata_{ZDAMetadata::Fields{}};

    void SetUp() override { plat::Virtual::setWall(1.5); }

    std::string metadataJSON(uint64_t start) const {
        return *plat::JSONSerialization::string(Value(*metadata_.dictionaryRepresentationWithStartTime(start)));
    }
};

TEST_F(ZDAWriteEventTest, ANewLogStartsWithItsMetadataLine) {
    auto event = std::make_shared<ZDACustomEvent>("buy", std::nullopt);
    ZDAWriteEventOperation op(event, metadata_, url_);
    op.main();
    ASSERT_TRUE(op.success());
    const std::string j1 = metadataJSON(1);
    EXPECT_NE(j1.find("\"started_at\":1,"), std::string::npos) << j1;
    const std::string j2 = "{\"eventId\":\"" + event->identifier() + "\",\"custom_type\":\"buy\",\"custom_attributes\":{}}";
    EXPECT_EQ(contents(path_), "1500\tmetadata\t" + std::to_string(j1.size()) + "\t" + j1 + "\n" + "1500\tcustom\t" +
                                   std::to_string(j2.size()) + "\t" + j2 + "\n");
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(plat::FileManager::defaultManager().fileProtection(path_), plat::NSFileProtectionNone);

    plat::Virtual::setWall(2.0009);
    ZDAWriteEventOperation second(std::make_shared<NamedTestEvent>("unknown", Dictionary{}), metadata_, url_);
    second.main();
    ASSERT_TRUE(second.success());
    const std::string all = contents(path_);
    EXPECT_EQ(all.substr(all.rfind('\n', all.size() - 2) + 1), "2000\tunknown\t2\t{}\n")
        << "an existing log gets the event line only; milliseconds are truncated";
}

TEST_F(ZDAWriteEventTest, LengthsCountBytes) {
    const Dictionary payload{{"k", Value("\xC3\xA9t\xC3\xA9")}};
    const auto line = ZDAWriteEventOperation::logLineWithTimestamp(plat::Date(0.0019), "\xC3\xA9v\xC3\xA9nement", payload);
    ASSERT_TRUE(line);
    const std::string json = "{\"k\":\"\xC3\xA9t\xC3\xA9\"}";
    EXPECT_EQ(*line, "1\t\xC3\xA9v\xC3\xA9nement\t" + std::to_string(json.size()) + "\t" + json);
    EXPECT_EQ(json.size(), 13u);
    EXPECT_FALSE(ZDAWriteEventOperation::logLineWithTimestamp(plat::Date(1), "x", std::nullopt));
    EXPECT_FALSE(ZDAWriteEventOperation::logLineWithTimestamp(plat::Date(1), "x", Dictionary{{"d", Value(plat::Date(1))}}));
}

TEST_F(ZDAWriteEventTest, NothingIsWrittenForALineThatCannotBeMade) {
    // A payload that is no JSON, and a crash log whose metadata file could not be read.
    ZDAWriteEventOperation unserialisable(std::make_shared<NamedTestEvent>("x", Dictionary{{"d", Value(plat::Date(1))}}),
                                          metadata_, url_);
    unserialisable.main();
    EXPECT_FALSE(unserialisable.success());
    EXPECT_FALSE(unserialisable.formattedEvent());
    EXPECT_TRUE(unserialisable.formattedMetadata());
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExists(path_));

    ZDAWriteEventOperation crash(std::make_shared<ZDACrashEvent>(plat::Date(1), 1), ZDACrashMetadata(std::nullopt), url_);
    crash.main();
    EXPECT_FALSE(crash.success());
    EXPECT_FALSE(crash.formattedMetadata());
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExists(path_));

    ZDAWriteEventOperation emptyCrash(std::make_shared<ZDACrashEvent>(plat::Date(3.25), 2), ZDACrashMetadata(Dictionary{}),
                                      url_);
    emptyCrash.main();
    ASSERT_TRUE(emptyCrash.success());
    EXPECT_EQ(contents(path_).substr(0, 18), "3250\tmetadata\t2\t{}") << "logged at the crash's time";
}

TEST_F(ZDAWriteEventTest, ADirectoryAtTheLogPath) {
    ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(path_, true));
    ZDAWriteEventOperation op(std::make_shared<ZDACustomEvent>("x", std::nullopt), metadata_, url_);
    op.main();
    EXPECT_FALSE(op.success());
    bool isDirectory = false;
    EXPECT_TRUE(plat::FileManager::defaultManager().fileExists(path_, &isDirectory) && isDirectory);
}

TEST_F(ZDAWriteEventTest, WritesThatStopShortAreTriedAtMostThreeTimes) {
    ZDALogger::sharedLogger().setDebugMode(true);
    struct Case {
        const char* what;
        std::vector<long> steps; // for the event line of an existing log
        bool success;
        int calls;
        const char* line;
    } cases[] = {
        {"two partial writes then the rest", {5, 7}, true, 3, nullptr},
        {"three partial writes", {5, 7, 9}, false, 3, "Error: exited write loop without success\n"},
        {"nothing accepted", {0}, false, 1, "Error: exited write loop without success\n"},
        {"an error", {3, -1}, false, 2, "Failed to write: Input/output error\n"},
        {"more than asked", {-2}, false, 1, "Error: length doesn't make sense ("},
    };
    for (const auto& c : cases) {
        plat::sim::ConsoleCapture console;
        plat::sim::Console::clearCaptured();
        (void)plat::FileManager::defaultManager().removeItem(path_);
        ZDAWriteEventOperation first(std::make_shared<NamedTestEvent>("first", Dictionary{}), metadata_, url_);
        first.main();
        ASSERT_TRUE(first.success());
        const std::string before = contents(path_);

        ScriptedWriteOperation op(std::make_shared<NamedTestEvent>("second", Dictionary{{"k", Value("v")}}), metadata_,
                                  url_);
        op.steps.assign(c.steps.begin(), c.steps.end());
        op.main();
        EXPECT_EQ(op.success(), c.success) << c.what;
        EXPECT_EQ(op.calls, c.calls) << c.what;
        if (c.success) {
            EXPECT_EQ(contents(path_), before + "1500\tsecond\t9\t{\"k\":\"v\"}\n") << c.what;
        } else {
            EXPECT_EQ(contents(path_), before) << c.what << ": the partial line is cut back off";
            EXPECT_NE(console.nslog().find(std::string("[Zuvidir:WriteOperation] ") + c.line), std::string::npos)
                << c.what << ": " << console.nslog();
        }
    }
}

TEST_F(ZDAWriteEventTest, AFailedFirstWriteLeavesNoLogBehind) {
    ScriptedWriteOperation op(std::make_shared<NamedTestEvent>("e", Dictionary{}), metadata_, url_);
    op.steps = {0}; // the metadata line goes through, the event line does not
    op.steps.push_front(100000);
    op.main();
    EXPECT_FALSE(op.success());
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExists(path_))
        << "a log without its event would be reused without a metadata line being written again";

    ZDAWriteEventOperation retry(std::make_shared<NamedTestEvent>("e", Dictionary{}), metadata_, url_);
    retry.main();
    ASSERT_TRUE(retry.success());
    EXPECT_EQ(contents(path_).substr(0, 14), "1500\tmetadata\t");
}

TEST(ZDAFileUtilsTest, ListingsSizesAndDates) {
    plat::test::TempAppHome home;
    const std::string dir = home.root() + "/events";
    ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(dir + "/sub", true));
    for (const char* name : {"a.gz", "b.GZ", "c.log", "d"}) {
        ASSERT_TRUE(plat::writeData(dir + "/" + name, plat::Data(3, 'x')));
    }
    const plat::URL folder = plat::URL::file(dir, true);
    const auto all = ZDAFileUtils::allFilesInDirectory(folder);
    EXPECT_EQ(all.size(), 5u) << "subfolders are entries too";
    EXPECT_TRUE(all.count(plat::URL::file(dir + "/sub")));
    const auto gz = ZDAFileUtils::filesWithExtension("gz", folder);
    ASSERT_EQ(gz.size(), 1u);
    EXPECT_EQ(gz.begin()->lastPathComponent(), "a.gz");

    EXPECT_EQ(ZDAFileUtils::fileSizeAtURL(plat::URL::file(dir + "/c.log")), 3u);
    EXPECT_EQ(ZDAFileUtils::fileSizeAtURL(plat::URL::file(dir + "/missing")), 0u);
    const plat::Date fallback(42);
    EXPECT_EQ(ZDAFileUtils::fileCreatedDateAtURL(plat::URL::file(dir + "/missing"), fallback), fallback);
    const plat::Date created = ZDAFileUtils::fileCreatedDateAtURL(plat::URL::file(dir + "/c.log"), fallback);
    EXPECT_GT(created.timeIntervalSince1970(), 1.5e9) << "the file system's time of the new file";

    ZDALogger::sharedLogger().setDebugMode(true);
    plat::sim::ConsoleCapture console;
    EXPECT_TRUE(ZDAFileUtils::allFilesInDirectory(plat::URL::file(dir + "/nowhere")).empty());
    EXPECT_NE(console.nslog().find("[Zuvidir] Unable to read contents of file://"), std::string::npos) << console.nslog();
    const auto relative = ZDAFileUtils::allFilesInDirectory(*plat::URL::parse("https://e.test" + dir));
    EXPECT_EQ(relative.size(), 5u) << "its path is listed all the same";
    EXPECT_NE(console.nslog().find("is not a file URL, will attempt to enumerate files."), std::string::npos);
}

} // namespace
