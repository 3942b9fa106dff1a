#pragma once
// A tolerant scan of a page's HTML for what the console and evaluateJavaScript("document.title") need:
// the title, the links and the forms. It is no parser: it never fails, it finds what it can.

#include <string>
#include <string_view>
#include <vector>

namespace plat {

struct WebForm {
    std::string action;
    std::string method; // upper-case; "GET" when absent
    std::vector<std::string> fields;
};

struct WebPageInfo {
    std::string title;
    std::vector<std::string> links; // href values as written
    std::vector<WebForm> forms;
};

WebPageInfo scanPage(std::string_view html);

} // namespace plat
