#include "platform/foundation/Faults.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

#include <fnmatch.h>

#include <map>
#include <mutex>
#include <vector>

namespace plat::sim {
namespace {

struct Armed {
    std::string op;
    std::string matcher;
    int error;
    int remaining; // Faults::kAlways for unlimited
    std::optional<std::size_t> afterBytes;
};

struct Table {
    std::mutex mutex;
    std::vector<Armed> armed;
    std::map<std::string, int, std::less<>> fired;
};

Table& table() {
    static NeverDestroyed<Table> t; // checks may still run during exit
    return *t;
}

bool matches(const std::string& matcher, std::string_view subject) {
    if (matcher.empty() || matcher == "*")
        return true;
    if (matcher.find_first_of("*?[") != std::string::npos)
        return fnmatch(matcher.c_str(), std::string(subject).c_str(), 0) == 0;
    return subject.find(matcher) != std::string_view::npos;
}

void consume(Table& t, std::vector<Armed>::iterator it) {
    t.fired[it->op] += 1;
    if (it->remaining != Faults::kAlways && --it->remaining <= 0)
        t.armed.erase(it);
}

} // namespace

void Faults::fail(std::string op, std::string matcher, int error, int times) {
    if (times == 0)
        return;
    auto& t = table();
    std::lock_guard lock(t.mutex);
    t.armed.push_back({std::move(op), std::move(matcher), error, times, std::nullopt});
}

void Faults::failStreamWriteAfter(std::string matcher, std::size_t afterBytes, int error, int times) {
    if (times == 0)
        return;
    auto& t = table();
    std::lock_guard lock(t.mutex);
    t.armed.push_back({"stream.write", std::move(matcher), error, times, afterBytes});
}

void Faults::reset() {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    t.armed.clear();
    t.fired.clear();
}

std::optional<int> Faults::check(std::string_view op, std::string_view subject) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    for (auto it = t.armed.begin(); it != t.armed.end(); ++it) {
        if (it->op == op && !it->afterBytes && matches(it->matcher, subject)) {
            int error = it->error;
            consume(t, it);
            return error;
        }
    }
    return std::nullopt;
}

Faults::WriteAllowance Faults::checkWrite(std::string_view subject, std::size_t alreadyWritten,
                                          std::size_t len) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    for (auto it = t.armed.begin(); it != t.armed.end(); ++it) {
        if (it->op != "stream.write" || !matches(it->matcher, subject))
            continue;
        if (!it->afterBytes) {
            int error = it->error;
            consume(t, it);
            return {0, error};
        }
        std::size_t limit = *it->afterBytes;
        if (alreadyWritten + len <= limit)
            return {len, std::nullopt};
        if (alreadyWritten < limit)
            return {limit - alreadyWritten, std::nullopt}; // the short write; the next one fails
        int error = it->error;
        consume(t, it);
        return {0, error};
    }
    return {len, std::nullopt};
}

int Faults::firedCount(std::string_view op) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.fired.find(op);
    return it == t.fired.end() ? 0 : it->second;
}

} // namespace plat::sim
