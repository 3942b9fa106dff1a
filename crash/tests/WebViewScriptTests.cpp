// The scripts injected into web views, run under Node against a fake window and document: the error reaches
// the native side (an IFRAME load of a "vuzidorazav" URL, or a script message) and then the page's own
// handler, also when the page replaced its handler before the load event.

#include "crash/Vuzidorazav.hpp"

#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

// Loads the script (its path in argv[2]) into a fresh global that plays window, plays one scenario
// (argv[3]) and prints what the page and the native side saw, one line each.
constexpr const char* kWebViewHarness = R"js(
const fs = require('fs');
const vm = require('vm');
const script = fs.readFileSync(process.argv[2], 'utf8');
const scenario = process.argv[3];
const seen = [];
const root = {
  children: [],
  appendChild(node) { this.children.push(node); seen.push('append ' + node.tag + ' ' + node.attributes.src); },
  removeChild(node) { this.children.splice(this.children.indexOf(node), 1); seen.push('remove ' + node.tag); },
};
const document = {
  documentElement: root,
  createElement(tag) { return { tag, attributes: {}, setAttribute(name, value) { this.attributes[name] = value; } }; },
};
const window = { document };
window.window = window;
window.webkit = { messageHandlers: { vuzidorazav: { postMessage(body) { seen.push('message ' + JSON.stringify(body)); } } } };
const context = vm.createContext(window);
window.onerror = function (msg, url, line, column) { seen.push('page ' + [msg, url, line, column].join('|')); return true; };
window.onload = function () { seen.push('page onload'); };
const value = vm.runInContext(script, context);
seen.push('value ' + (typeof value === 'string' ? value : '-'));
if (scenario === 'replaced') {
  window.onerror = function (msg) { seen.push('replaced ' + msg); };
  window.onload();
  seen.push('chained ' + (window.onerror === window.vuzidorazavOnError));
  window.onerror('late', 'https://portal.example.test/a', 9, 4, null);
} else {
  window.onerror('a b', 'https://portal.example.test/p?q=1', 3, 0, null);
  window.onerror('c', 'u', 5, 7, null);
}
console.log(seen.join('\n'));
)js";

struct NodeRun {
    int status = -1;
    std::string output;
};

class WebViewScriptTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("node --version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "node is not installed (scripts/setup installs it)";
        std::ofstream(home.root() + "/harness.js") << kWebViewHarness;
    }
    NodeRun run(const std::string& script, const std::string& scenario) {
        const std::string path = home.root() + "/injected.js";
        std::ofstream(path) << script;
        NodeRun result;
        FILE* pipe = ::popen(("node " + home.root() + "/harness.js " + path + " " + scenario + " 2>&1").c_str(), "r");
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            result.output.append(buffer, n);
        result.status = ::pclose(pipe);
        return result;
    }
    plat::test::TempAppHome home;
};

TEST_F(WebViewScriptTest, TheOlderWebViewLoadsTheErrorThenCallsThePagesHandler) {
    const NodeRun result = run(Vuzidorazav::webViewScriptForUIWebView(), "errors");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output,
              "value loaded\n"
              "append IFRAME vuzidorazav://exception/uiwebkit?msg=a%20b&url=https%3A%2F%2Fportal.example.test%2Fp%3Fq%3D1&line=3\n"
              "remove IFRAME\n"
              "page a b|https://portal.example.test/p?q=1|3|0\n"
              "append IFRAME vuzidorazav://exception/uiwebkit?msg=c&url=u&line=5&column=7\n"
              "remove IFRAME\n"
              "page c|u|5|7\n");
}

TEST_F(WebViewScriptTest, ThePagesHandlerReplacedBeforeLoadIsChainedAgain) {
    const NodeRun result = run(Vuzidorazav::webViewScriptForUIWebView(), "replaced");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output,
              "value loaded\n"
              "page onload\n"
              "chained true\n"
              "append IFRAME vuzidorazav://exception/uiwebkit?msg=late&url=https%3A%2F%2Fportal.example.test%2Fa&line=9&column=4\n"
              "remove IFRAME\n"
              "replaced late\n");
}

TEST_F(WebViewScriptTest, TheNewerWebViewPostsTheErrorAsAMessage) {
    const NodeRun result = run(Vuzidorazav::webViewScriptForWKWebView(), "errors");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output,
              "value -\n"
              "message {\"msg\":\"a b\",\"url\":\"https://portal.example.test/p?q=1\",\"line\":3,\"column\":0}\n"
              "page a b|https://portal.example.test/p?q=1|3|0\n"
              "message {\"msg\":\"c\",\"url\":\"u\",\"line\":5,\"column\":7}\n"
              "page c|u|5|7\n");
}

} // namespace
