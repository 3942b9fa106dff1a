// Who hears of a crash once it is recorded: the crash callback object, sent its message on the crashing
// thread after the process record is complete, and the context's delegate, told of a potentially
// submittable crash when the caller asks for it.

#include "crash/capture/VZRException.hpp"
#include "crash/capture/tests/CrashContextFixture.hpp"

#include "platform/runtime/Runtime.hpp"

#include <string>
#include <vector>

namespace {

namespace rt = plat::rt;

// What reached the listeners, in order, with the record's state at that moment.
struct CrashNoticeLog {
    std::vector<std::string> events;
    std::string recordPath;
};

CrashNoticeLog& crashNoticeLog() {
    static CrashNoticeLog log;
    return log;
}

class CrashNoticeListener : public rt::Object {
public:
    explicit CrashNoticeListener(rt::Class* cls) : rt::Object(cls) {}
};

// A listener that answers both messages, and one that answers neither.
rt::ObjectPtr makeCrashNoticeListener(bool responds) {
    static rt::Class* const answering = [] {
        rt::Class* c = rt::registerClass<CrashNoticeListener>("TestCrashNoticeListener");
        rt::addMethod(c, "deliverCrashDelegateCallback", [](CrashNoticeListener&) {
            // The record is whole by now: its last section is written before the callback.
            const std::string record = crashtest::readFile(crashNoticeLog().recordPath);
            crashNoticeLog().events.push_back(record.find("{\"storage\":") != std::string::npos ? "callback after record"
                                                                                                 : "callback early");
        });
        rt::addMethod(c, "potentiallySubmittableCrashOccurred",
                      [](CrashNoticeListener&) { crashNoticeLog().events.push_back("notice"); });
        return c;
    }();
    static rt::Class* const silent = rt::registerClass<CrashNoticeListener>("TestSilentCrashListener");
    return rt::make<CrashNoticeListener>(responds ? answering : silent);
}

class CrashNoticeTest : public crashtest::CrashContextTest {};

TEST_F(CrashNoticeTest, TheCallbackFollowsEachRecordAndTheNoticeOnlyWhenAsked) {
    crashNoticeLog() = {};
    crashNoticeLog().recordPath = path("exception.vzrrecord");
    VZRContextInitData config = crashtest::fixedConfig();
    config.crashCallback = makeCrashNoticeListener(true);
    config.delegate = makeCrashNoticeListener(true);
    ASSERT_TRUE(initialize(config));

    VZRExceptionRecord(VZRExceptionTypeCpp, "MyErr", "x", {}, true);
    EXPECT_EQ(crashNoticeLog().events, (std::vector<std::string>{"callback after record", "notice"}));
    crashNoticeLog().events.clear();
    VZRExceptionRecord(VZRExceptionTypeCpp, "MyErr", "x", {}, false);
    EXPECT_EQ(crashNoticeLog().events, (std::vector<std::string>{"callback after record"}));
    const std::string log = sdkLog();
    EXPECT_NE(log.find("] Performing syncrhonous crash callback - hold onto your butts\n"), std::string::npos) << log;

    // Reported exceptions are no crashes: neither listener hears of them.
    crashNoticeLog().events.clear();
    VZRExceptionRecord(VZRExceptionTypeCustom, "Err", "why", {}, true);
    plat::Virtual::runUntilIdle();
    EXPECT_TRUE(crashNoticeLog().events.empty());
}

TEST_F(CrashNoticeTest, ListenersThatAreAbsentOrDoNotAnswerAreLeftAlone) {
    crashNoticeLog() = {};
    crashNoticeLog().recordPath = path("exception.vzrrecord");
    VZRContextInitData config = crashtest::fixedConfig();
    config.delegate = makeCrashNoticeListener(false); // no crash callback at all
    ASSERT_TRUE(initialize(config));
    VZRExceptionRecord(VZRExceptionTypeCpp, "MyErr", "x", {}, true);
    EXPECT_TRUE(crashNoticeLog().events.empty());
    const std::string record = crashtest::readFile(path("exception.vzrrecord"));
    EXPECT_NE(record.find("{\"storage\":"), std::string::npos) << record;
    EXPECT_EQ(sdkLog().find("crash callback"), std::string::npos);
}

} // namespace
