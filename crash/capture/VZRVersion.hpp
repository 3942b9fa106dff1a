#pragma once
// The crash reporter's version, as its kit class reports it and its metadata records it.

inline constexpr const char* kVZRDisplayVersion = "3.11.0";
inline constexpr const char* kVZRBuildVersion = "133";
inline constexpr const char* kVZRGenerator = "Vuzidorazav iOS SDK/3.11.0";
