#include "platform/foundation/StringEncoding.hpp"

#include <cerrno>
#include <iconv.h>
#include <memory>

#include "platform/foundation/String.hpp"

namespace plat::Encoding {

namespace {

struct Entry {
    StringEncoding encoding;
    const char* iconvName;
    const char* localized;
};

constexpr Entry kEntries[] = {
    {ASCIIStringEncoding, "ASCII", "Western (ASCII)"},
    {JapaneseEUCStringEncoding, "EUC-JP", "Japanese (EUC)"},
    {UTF8StringEncoding, "UTF-8", "Unicode (UTF-8)"},
    {ISOLatin1StringEncoding, "ISO-8859-1", "Western (ISO Latin 1)"},
    {ShiftJISStringEncoding, "CP932", "Japanese (Windows, DOS)"},
    {ISOLatin2StringEncoding, "ISO-8859-2", "Central European (ISO Latin 2)"},
    {UTF16StringEncoding, "UTF-16", "Unicode (UTF-16)"},
    {WindowsCP1251StringEncoding, "CP1251", "Cyrillic (Windows)"},
    {WindowsCP1252StringEncoding, "CP1252", "Western (Windows Latin 1)"},
    {ISO2022JPStringEncoding, "ISO-2022-JP", "Japanese (ISO 2022-JP)"},
    {MacOSRomanStringEncoding, "MACINTOSH", "Western (Mac OS Roman)"},
    {UTF16BigEndianStringEncoding, "UTF-16BE", "Unicode (UTF-16BE)"},
    {UTF16LittleEndianStringEncoding, "UTF-16LE", "Unicode (UTF-16LE)"},
    {UTF32StringEncoding, "UTF-32", "Unicode (UTF-32)"},
};

const Entry* entryFor(StringEncoding e) {
    for (const auto& entry : kEntries) {
        if (entry.encoding == e) {
            return &entry;
        }
    }
    return nullptr;
}

struct IconvCloser {
    void operator()(iconv_t cd) const { iconv_close(cd); }
};

// Converts all of `in`; none on an invalid or unrepresentable sequence.
std::optional<std::string> convert(const char* from, const char* to, std::string_view in) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser> owned(cd);
    std::string out;
    out.resize(in.size() * 4 + 16);
    char* inPtr = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    size_t used = 0;
    while (true) {
        char* outPtr = out.data() + used;
        size_t outLeft = out.size() - used;
        size_t r = inLeft > 0 ? iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft)
                              : iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
        used = static_cast<size_t>(outPtr - out.data());
        if (r != static_cast<size_t>(-1)) {
            if (inLeft == 0) {
                // Flush any shift state (ISO-2022-JP) once the input is consumed.
                outPtr = out.data() + used;
                outLeft = out.size() - used;
                if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
                    if (errno != E2BIG) {
                        return std::nullopt;
                    }
                    out.resize(out.size() * 2);
                    continue;
                }
                used = static_cast<size_t>(outPtr - out.data());
                out.resize(used);
                return out;
            }
            continue;
        }
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        return std::nullopt; // EILSEQ, EINVAL: invalid or truncated input
    }
}

} // namespace

StringEncoding encodingForIANAName(std::string_view name) {
    struct Alias {
        const char* name;
        StringEncoding encoding;
    };
    static constexpr Alias kAliases[] = {
        {"utf-8", UTF8StringEncoding},
        {"utf8", UTF8StringEncoding},
        {"us-ascii", ASCIIStringEncoding},
        {"ascii", ASCIIStringEncoding},
        {"iso-8859-1", ISOLatin1StringEncoding},
        {"latin1", ISOLatin1StringEncoding},
        {"iso_8859-1", ISOLatin1StringEncoding},
        {"iso-8859-2", ISOLatin2StringEncoding},
        {"latin2", ISOLatin2StringEncoding},
        {"shift_jis", ShiftJISStringEncoding},
        {"shift-jis", ShiftJISStringEncoding},
        {"sjis", ShiftJISStringEncoding},
        {"x-sjis", ShiftJISStringEncoding},
        {"euc-jp", JapaneseEUCStringEncoding},
        {"iso-2022-jp", ISO2022JPStringEncoding},
        {"windows-1251", WindowsCP1251StringEncoding},
        {"windows-1252", WindowsCP1252StringEncoding},
        {"macintosh", MacOSRomanStringEncoding},
        {"x-mac-roman", MacOSRomanStringEncoding},
        {"utf-16", UTF16StringEncoding},
        {"utf-16be", UTF16BigEndianStringEncoding},
        {"utf-16le", UTF16LittleEndianStringEncoding},
        {"utf-32", UTF32StringEncoding},
    };
    std::string n = String::lowercasedASCII(String::trimming(name, CharacterSet::whitespace()));
    if (n.size() >= 2 && n.front() == '"' && n.back() == '"') {
        n = n.substr(1, n.size() - 2);
    }
    for (const auto& a : kAliases) {
        if (n == a.name) {
            return a.encoding;
        }
    }
    return InvalidStringEncoding;
}

std::optional<std::string> decode(std::span<const uint8_t> bytes, StringEncoding encoding) {
    std::string_view in(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (encoding == UTF8StringEncoding) {
        if (in.starts_with("\xEF\xBB\xBF")) {
            in.remove_prefix(3);
        }
        return String::fromUTF8(in);
    }
    if (encoding == ASCIIStringEncoding) {
        for (unsigned char c : in) {
            if (c >= 0x80) {
                return std::nullopt;
            }
        }
        return std::string(in);
    }
    const Entry* entry = entryFor(encoding);
    if (!entry) {
        return std::nullopt;
    }
    const char* from = entry->iconvName;
    if (encoding == UTF16StringEncoding) {
        // A byte-order mark decides; without one the platform reads big-endian.
        if (in.starts_with("\xFF\xFE")) {
            from = "UTF-16LE";
            in.remove_prefix(2);
        } else {
            if (in.starts_with("\xFE\xFF")) {
                in.remove_prefix(2);
            }
            from = "UTF-16BE";
        }
    }
    auto out = convert(from, "UTF-8", in);
    if (out && out->starts_with("\xEF\xBB\xBF")) {
        out->erase(0, 3);
    }
    return out;
}

std::optional<Data> encode(std::string_view utf8, StringEncoding encoding) {
    if (!String::isValidUTF8(utf8)) {
        return std::nullopt;
    }
    if (encoding == UTF8StringEncoding) {
        return Data(utf8.begin(), utf8.end());
    }
    const Entry* entry = entryFor(encoding);
    if (!entry) {
        return std::nullopt;
    }
    std::string prefix;
    const char* to = entry->iconvName;
    if (encoding == UTF16StringEncoding) {
        // With a byte-order mark, in host (little-endian) order, as the platform writes it.
        prefix = "\xFF\xFE";
        to = "UTF-16LE";
    } else if (encoding == UTF32StringEncoding) {
        prefix = std::string("\xFF\xFE\x00\x00", 4);
        to = "UTF-32LE";
    }
    auto out = convert("UTF-8", to, utf8);
    if (!out) {
        return std::nullopt;
    }
    Data d(prefix.begin(), prefix.end());
    d.insert(d.end(), out->begin(), out->end());
    return d;
}

std::string localizedName(StringEncoding encoding) {
    const Entry* e = entryFor(encoding);
    return e ? e->localized : "";
}

} // namespace plat::Encoding
