// Parsing console lines: what each command takes, comments, and the errors that stop a script before it runs.

#include <gtest/gtest.h>

#include "app/console/ConsoleCommand.hpp"

#include <string>
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
        {"push [1,2]", "'push' needs a JSON object"},
        {"push {\"a\":", "'push' needs a JSON object"},
        {"tap {\"a\":1} one two", "'tap' takes one action"},
        {"tap nothing", "'tap' needs"},
        {"reachability", "'reachability' takes on or off"},
        {"reachability maybe", "'reachability' takes on or off"},
        {"wait", "'wait' takes a number"},
        {"wait -1", "'wait' takes a number"},
        {"wait 1s", "'wait' takes a number"},
        {"wait nan", "'wait' takes a number"},
        {"wait inf", "'wait' takes a number"},
    };
    for (const auto& c : cases) {
        auto parsed = parseCommand(c.line);
        EXPECT_FALSE(parsed.command) << c.line;
        ASSERT_TRUE(parsed.error) << c.line;
        EXPECT_NE(parsed.error->find(c.message), std::string::npos) << c.line << " -> " << *parsed.error;
    }
}

} // namespace
} // namespace console
