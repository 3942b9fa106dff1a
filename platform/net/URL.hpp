#pragma once
// A parsed URI reference with the device's strictness. The text is kept exactly as given;
// components are read from it on demand, so nothing is normalised behind the caller's back.

#include <compare>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace plat {

class URL {
public:
    // Accepts RFC 3986 URI references (relative ones too). Refuses the empty string, spaces,
    // controls, non-ASCII, the characters " < > \ ^ ` { | } and '%' without two hex digits.
    static std::optional<URL> parse(std::string_view text);
    // A file URL for a path; a relative path is taken from the current directory.
    static URL file(std::string_view path, bool isDirectory = false);

    const std::string& absoluteString() const { return text_; }
    const std::string& description() const { return text_; }

    std::optional<std::string> scheme() const;
    // Decoded host, without the brackets of an IP literal; none when there is no authority or it is empty.
    std::optional<std::string> host() const;
    std::optional<int> port() const;
    std::optional<std::string> user() const;
    std::optional<std::string> password() const;
    // Decoded path without a trailing slash (except the root), as the device reports it.
    std::string path() const;
    std::string percentEncodedPath() const;
    bool hasDirectoryPath() const;
    // Query and fragment as they stand in the text (still percent-encoded).
    std::optional<std::string> query() const;
    std::optional<std::string> fragment() const;
    // The text of the authority ("user:pw@host:port"), when the URL has one.
    std::optional<std::string> authority() const;
    bool hasAuthority() const { return authorityLen_ != npos; }

    bool isFileURL() const;
    // A URL with a scheme; relative references have none.
    bool isAbsolute() const { return schemeLen_ != npos; }

    std::string lastPathComponent() const;
    std::string pathExtension() const;
    URL appendingPathComponent(std::string_view component, bool isDirectory = false) const;
    URL deletingLastPathComponent() const;
    // This reference resolved against a base (RFC 3986 section 5.2); none when the result does not parse.
    std::optional<URL> resolved(const URL& base) const;

    friend bool operator==(const URL& a, const URL& b) { return a.text_ == b.text_; }
    friend auto operator<=>(const URL& a, const URL& b) { return a.text_ <=> b.text_; }

private:
    static constexpr std::size_t npos = std::string::npos;
    URL() = default;

    std::string_view piece(std::size_t pos, std::size_t len) const;
    std::string_view hostText() const;

    std::string text_;
    // Offsets into text_ of each component, npos when the component is absent.
    std::size_t schemeLen_ = npos;
    std::size_t authorityPos_ = npos, authorityLen_ = npos;
    std::size_t userInfoLen_ = npos; // within the authority, before '@'
    std::size_t hostPos_ = npos, hostLen_ = npos;
    std::size_t portPos_ = npos, portLen_ = npos;
    std::size_t pathPos_ = 0, pathLen_ = 0;
    std::size_t queryPos_ = npos, queryLen_ = npos;
    std::size_t fragmentPos_ = npos;
};

} // namespace plat

template <> struct std::hash<plat::URL> {
    std::size_t operator()(const plat::URL& u) const noexcept {
        return std::hash<std::string>{}(u.absoluteString());
    }
};
