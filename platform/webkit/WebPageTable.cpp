#include "platform/webkit/WebPageTable.hpp"

namespace plat::sim {

WebPage WebPage::html(std::string body, int status) {
    WebPage page;
    page.status = status;
    page.headers.set("Content-Type", "text/html; charset=utf-8");
    page.body = std::move(body);
    return page;
}

WebPage WebPage::redirect(std::string location, int status) {
    WebPage page;
    page.status = status;
    page.headers.set("Location", location);
    return page;
}

WebPage WebPage::failing(int64_t code, double delay) {
    WebPage page;
    page.error = code;
    page.delay = delay;
    return page;
}

WebPageTable& WebPageTable::shared() {
    static NeverDestroyed<WebPageTable> table;
    return *table;
}

void WebPageTable::enable() {
    std::lock_guard lock(mutex_);
    enabled_ = true;
}

void WebPageTable::disable() {
    std::lock_guard lock(mutex_);
    enabled_ = false;
}

bool WebPageTable::enabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
}

void WebPageTable::set(const std::string& url, WebPage page) {
    std::lock_guard lock(mutex_);
    pages_[url] = std::move(page);
}

std::optional<WebPage> WebPageTable::find(const std::string& url) const {
    const std::string key = url.substr(0, url.find('#'));
    std::lock_guard lock(mutex_);
    auto it = pages_.find(key);
    if (it == pages_.end()) {
        return std::nullopt;
    }
    return it->second;
}

void WebPageTable::clear() {
    std::lock_guard lock(mutex_);
    pages_.clear();
}

} // namespace plat::sim
