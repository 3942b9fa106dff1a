#pragma once
// Gunzipping of request bodies and parts the services receive.

#include <optional>
#include <string>
#include <string_view>

namespace devserver {

// The whole gzip stream `bytes` inflated; none when it is not one complete stream (or bytes follow it), or
// when it would inflate past 256 MiB, so a small hostile body cannot exhaust the server's memory.
std::optional<std::string> gunzip(std::string_view bytes);

} // namespace devserver
