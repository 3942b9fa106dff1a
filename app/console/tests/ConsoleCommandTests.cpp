// Parsing console lines: what each command takes, comments, and the errors that stop a script before it runs.

#include <gtest/gtest.h>

#include "app/console/ConsoleCommand.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace console {
namespace {

TEST(ConsoleCommand, BlankLinesAndCommentsAreNothing) {
    for (const char* line : {"", "   ", "# a comment", "   # indented comment", "\t\r"}) {
        auto parsed = parseCommand(line);
        EXPECT_FALSE(parsed.command) << line;
        EXPECT_FALSE(parsed.error) << line;
    }
}

TEST(ConsoleCommand, ArgumentsOfEachKind) {
    struct Case {
        const char* line;
        CommandKind kind;
        std::string target;
    };
    const Case cases[] = {
        {"click https://portal.example.test/help", CommandKind::click, "https://portal.example.test/help"},
        // A '#' inside a word is part of it: URLs keep their fragments.
        {"go https://portal.example.test/a#top  # then a comment", CommandKind::go,
         "https://portal.example.test/a#top"},
        {"  back  ", CommandKind::back, ""},
        {"refresh", CommandKind::refresh, ""},
        {"reload-button", CommandKind::reloadButton, ""},
        {"alert Hello,   world", CommandKind::alert, "Hello,   world"},
        {"alert", CommandKind::alert, ""},
        {"confirm Leave the page?", CommandKind::confirm, "Leave the page?"},
        {"answer Cancel", CommandKind::answer, "Cancel"},
        {"window-open /intranet/news", CommandKind::windowOpen, "/intranet/news"},
        {"window-close", CommandKind::windowClose, ""},
        {"background", CommandKind::background, ""},
        {"foreground", CommandKind::foreground, ""},
        {"state", CommandKind::state, ""},
        {"crash segv", CommandKind::crash, "segv"},
        {"crash exception", CommandKind::crash, "exception"},
        {"quit", CommandKind::quit, ""},
    };
    for (const auto& c : cases) {
        auto parsed = parseCommand(c.line);
        ASSERT_TRUE(parsed.command) << c.line << ": " << parsed.error.value_or("");
        EXPECT_EQ(parsed.command->kind, c.kind) << c.line;
        EXPECT_EQ(parsed.command->target, c.target) << c.line;
    }
}

TEST(ConsoleCommand, KeepsTheCommandAsWrittenWithoutItsComment) {
    auto parsed = parseCommand("  reachability   off  # the lift ");
    ASSERT_TRUE(parsed.command);
    EXPECT_EQ(parsed.command->text, "reachability   off");
}

TEST(ConsoleCommand, SubmitFieldsArePercentDecodedInOrder) {
    auto parsed = parseCommand("submit /login?ignore_ntlm=1/ user=Ada%20Lovelace password=p%3Dq%zz empty=");
    ASSERT_TRUE(parsed.command);
    EXPECT_EQ(parsed.command->target, "/login?ignore_ntlm=1/");
    using Fields = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(parsed.command->fields,
              (Fields{{"user", "Ada Lovelace"}, {"password", "p=q%zz"}, {"empty", ""}}));
}

TEST(ConsoleCommand, LinkTypeDefaultsToNoneAndDashMeansEmpty) {
    auto plain = parseCommand("link https://portal.example.test/x");
    ASSERT_TRUE(plain.command);
    EXPECT_FALSE(plain.command->activityType);
    auto empty = parseCommand("link https://portal.example.test/x -");
    ASSERT_TRUE(empty.command);
    EXPECT_EQ(empty.command->activityType, std::optional<std::string>(""));
    auto other = parseCommand("link https://portal.example.test/x com.example.handoff");
    ASSERT_TRUE(other.command);
    EXPECT_EQ(other.command->activityType, std::optional<std::string>("com.example.handoff"));
}

TEST(ConsoleCommand, PushAndTapCarryTheirPayload) {
    auto push =
        parseCommand(R"(push {"aps":{"alert":"Hi there"},"custom":{"a":{"targetUrl":"https://x.test/"}}})");
    ASSERT_TRUE(push.command) << push.error.value_or("");
    EXPECT_EQ(push.command->payload["aps"]["alert"].stringValue(), "Hi there");

    // The action follows the JSON object, which may hold spaces and braces inside strings.
    auto tap = parseCommand(R"(tap {"aps":{"alert":"a } b"}} reply)");
    ASSERT_TRUE(tap.command) << tap.error.value_or("");
    EXPECT_EQ(tap.command->payload["aps"]["alert"].stringValue(), "a } b");
    EXPECT_EQ(tap.command->action, std::optional<std::string>("reply"));

    auto plainTap = parseCommand(R"(tap {"aps":{}})");
    ASSERT_TRUE(plainTap.command);
    EXPECT_FALSE(plainTap.command->action);
}

TEST(ConsoleCommand, ReachabilityAndWait) {
    auto off = parseCommand("reachability off");
    ASSERT_TRUE(off.command);
    EXPECT_FALSE(off.command->reachable);
    auto on = parseCommand("reachability on");
    ASSERT_TRUE(on.command);
    EXPECT_TRUE(on.command->reachable);
    auto wait = parseCommand("wait 0.25");
    ASSERT_TRUE(wait.command);
    EXPECT_DOUBLE_EQ(wait.command->seconds, 0.25);
}

TEST(ConsoleCommand, BadLinesNameTheProblem) {
    struct Case {
        const char* line;
        const char* message; // a part of the error
    };
    const Case cases[] = {
        {"clik https://x.test/", "unknown command 'clik'"},
        {"CLICK https://x.test/", "unknown command 'CLICK'"},
        {"click", "'click' takes one URL"},
        {"click a b", "'click' takes one URL"},
        {"back now", "'back' takes no arguments"},
        {"quit please", "'quit' takes no arguments"},
        {"answer", "'answer' needs a button title"},
        {"submit", "'submit' needs a URL"},
        {"submit /login user", "name=value, not 'user'"},
        {"submit /login =x", "name=value, not '=x'"},
        {"link", "'link' takes a URL"},
        {"link a b c", "'link' takes a URL"},
        {"push", "'push' needs"},
        {"tap {\"a\":1} one two", "'tap' takes one action"},
        {"tap", "'tap' needs"},
        {"reachability", "'reachability' takes on or off"},
        {"reachability maybe", "'reachability' takes on or off"},
        {"crash", "'crash' takes segv, abort, exception or trap"},
        {"crash bus", "'crash' takes segv, abort, exception or trap"},
        {"crash segv abort", "'crash' takes segv, abort, exception or trap"},
        {"wait", "'wait' takes a number"},
        {"wait -1", "'wait' takes a number"},
        {"wait 1s", "'wait' takes a number"},
        {"wait nan", "'wait' takes a number"},
        {"wait inf", "'wait' takes a number"},
        {"wait 1e9", "from 0 to a year"},
        {"wait 31536000.5", "from 0 to a year"},
    };
    for (const auto& c : cases) {
        auto parsed = parseCommand(c.line);
        EXPECT_FALSE(parsed.command) << c.line;
        ASSERT_TRUE(parsed.error) << c.line;
        EXPECT_NE(parsed.error->find(c.message), std::string::npos) << c.line << " -> " << *parsed.error;
    }
}

// A payload that is no JSON object is no reason to stop a script: the line parses, and says why when played.
TEST(ConsoleCommand, PayloadsThatAreNoObjectAreKeptWithTheParsersReason) {
    struct Case {
        const char* line;
        const char* problem; // a part of it
        std::optional<std::string> action;
    };
    const Case cases[] = {
        {"push {\"a\":", "(NSCocoaErrorDomain 3840; ", std::nullopt},
        {"push [1,2]", "the JSON is no object: [1,2]", std::nullopt},
        {"tap nothing", "does not parse", std::nullopt},
        {"tap {\"a\": [1} open", "does not parse", std::nullopt},
        {"tap [1] open", "the JSON is no object: [1]", "open"},
    };
    for (const auto& c : cases) {
        auto parsed = parseCommand(c.line);
        ASSERT_TRUE(parsed.command) << c.line << " -> " << parsed.error.value_or("");
        ASSERT_TRUE(parsed.command->payloadProblem) << c.line;
        EXPECT_NE(parsed.command->payloadProblem->find(c.problem), std::string::npos)
            << c.line << " -> " << *parsed.command->payloadProblem;
        EXPECT_EQ(parsed.command->action, c.action) << c.line;
    }
    EXPECT_EQ(parseCommand("wait 31536000").command->seconds, kLongestWaitSeconds);
}

TEST(ConsoleCommand, PrintableEscapesControlsAndBytesThatAreNoUTF8) {
    const std::pair<std::string, std::string> cases[] = {
        {"click https://x.test/", "click https://x.test/"},
        {"caf\xc3\xa9 \xe2\x80\x9cq\xe2\x80\x9d", "caf\xc3\xa9 \xe2\x80\x9cq\xe2\x80\x9d"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"\t\r\n\x1b[31m\x7f", "\\t\\r\\n\\x1b[31m\\x7f"},
        {"bad \xff\xc3 end \xc3", "bad \\xff\\xc3 end \\xc3"},
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"}, // a lone surrogate is no UTF-8
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(printable(in), out);
    }
    EXPECT_EQ(*parseCommand("fly\x1b away").error, "unknown command 'fly\\x1b'");
}

} // namespace
} // namespace console
