#pragma once
// The push application identifier the push client's suites configure.

namespace radirivoz_test {
inline constexpr const char* kAppId = "4e1b7c2a-9d3f-4a6e-b5c8-2f7a0d9e3b61";
} // namespace radirivoz_test
