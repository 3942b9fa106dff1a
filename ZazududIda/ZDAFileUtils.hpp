#pragma once
// Small file look-ups of the event pipeline: the entries of a folder, those with one extension, a file's
// size and creation date.

#include "platform/foundation/Date.hpp"
#include "platform/net/URL.hpp"

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

class ZDAFileUtils {
public:
    // Every entry of the folder (subfolders as entries, not entered); empty when it cannot be listed.
    static std::set<plat::URL> allFilesInDirectory(const plat::URL& directory);
    // Entries whose extension equals `extension` exactly, case included.
    static std::set<plat::URL> filesWithExtension(std::string_view extension, const plat::URL& directory);
    // 0 when the attributes cannot be read.
    static uint64_t fileSizeAtURL(const plat::URL& url);
    // The birth time where the file system keeps one, else the modification time; `fallback` when the
    // attributes cannot be read.
    static plat::Date fileCreatedDateAtURL(const plat::URL& url, plat::Date fallback);
    // The last path component without its extension ("A.log" -> "A"; a name without a dot stays whole).
    static std::string baseName(const plat::URL& url);
    // The same file name in the same folder with `extension` in place of its own.
    static plat::URL replacingExtension(const plat::URL& url, std::string_view extension);
};
