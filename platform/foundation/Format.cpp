#include "platform/foundation/Format.hpp"

#include <cstdio>
#include <stdexcept>

namespace plat {

namespace {

[[noreturn]] void fault(std::string_view fmt, const std::string& what) {
    throw std::logic_error("format \"" + std::string(fmt) + "\": " + what);
}

std::string printfOne(const std::string& cfmt, auto value) {
    char small[128];
    int n = std::snprintf(small, sizeof small, cfmt.c_str(), value);
    if (n < 0) {
        return {};
    }
    if (static_cast<size_t>(n) < sizeof small) {
        return std::string(small, static_cast<size_t>(n));
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), cfmt.c_str(), value);
    big.resize(static_cast<size_t>(n));
    return big;
}

// Width and precision for text, counted in bytes as the C library counts them.
std::string padText(std::string text, bool leftAlign, int width, int precision) {
    if (precision >= 0 && static_cast<size_t>(precision) < text.size()) {
        text.resize(static_cast<size_t>(precision));
    }
    if (width > 0 && static_cast<size_t>(width) > text.size()) {
        std::string pad(static_cast<size_t>(width) - text.size(), ' ');
        text = leftAlign ? text + pad : pad + text;
    }
    return text;
}

} // namespace

std::string formatArgs(std::string_view fmt, std::span<const FormatArg> args) {
    std::string out;
    size_t next = 0;
    auto take = [&](const char* what) -> const FormatArg& {
        if (next >= args.size()) {
            fault(fmt, std::string("missing argument for ") + what);
        }
        return args[next++];
    };
    auto takeInt = [&]() -> int {
        const FormatArg& a = take("'*'");
        if (a.type() == FormatArg::Type::Signed) {
            return static_cast<int>(a.i());
        }
        if (a.type() == FormatArg::Type::Unsigned) {
            return static_cast<int>(a.u());
        }
        fault(fmt, "'*' needs an integer argument");
    };

    for (size_t i = 0; i < fmt.size();) {
        char c = fmt[i];
        if (c != '%') {
            size_t end = fmt.find('%', i);
            if (end == std::string_view::npos) {
                end = fmt.size();
            }
            out.append(fmt.substr(i, end - i));
            i = end;
            continue;
        }
        size_t start = i++;
        std::string flags;
        while (i < fmt.size() &&
               (fmt[i] == '-' || fmt[i] == '+' || fmt[i] == ' ' || fmt[i] == '0' || fmt[i] == '#')) {
            flags += fmt[i++];
        }
        int width = -1;
        if (i < fmt.size() && fmt[i] == '*') {
            width = takeInt();
            if (width < 0) {
                flags += '-';
                width = -width;
            }
            ++i;
        } else {
            while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
                width = (width < 0 ? 0 : width) * 10 + (fmt[i++] - '0');
                if (width > 100000) {
                    fault(fmt, "width too large");
                }
            }
        }
        int precision = -1;
        if (i < fmt.size() && fmt[i] == '.') {
            ++i;
            precision = 0;
            if (i < fmt.size() && fmt[i] == '*') {
                precision = takeInt();
                ++i;
            } else {
                while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
                    precision = precision * 10 + (fmt[i++] - '0');
                    if (precision > 100000) {
                        fault(fmt, "precision too large");
                    }
                }
            }
        }
        int longs = 0;
        bool sizeT = false;
        while (i < fmt.size() && (fmt[i] == 'l' || fmt[i] == 'z' || fmt[i] == 'h' || fmt[i] == 'q' ||
                                  fmt[i] == 't' || fmt[i] == 'j')) {
            if (fmt[i] == 'l' || fmt[i] == 'q' || fmt[i] == 'j' || fmt[i] == 't') {
                longs += fmt[i] == 'q' ? 2 : 1;
            } else if (fmt[i] == 'z') {
                sizeT = true;
            }
            ++i;
        }
        if (i >= fmt.size()) {
            fault(fmt, "incomplete conversion at the end");
        }
        char conv = fmt[i++];
        std::string cfmt = "%" + flags;
        if (width >= 0) {
            cfmt += std::to_string(width);
        }
        if (precision >= 0) {
            cfmt += "." + std::to_string(precision);
        }
        const bool left = flags.find('-') != std::string::npos;
        switch (conv) {
        case '%':
            out += '%';
            break;
        case 'd':
        case 'i': {
            const FormatArg& a = take("%d");
            int64_t v;
            if (a.type() == FormatArg::Type::Signed || a.type() == FormatArg::Type::Char) {
                v = a.i();
            } else if (a.type() == FormatArg::Type::Unsigned) {
                v = static_cast<int64_t>(a.u());
            } else {
                fault(fmt, "conversion " + std::string(fmt.substr(start, i - start)) + " needs an integer");
            }
            out += printfOne(cfmt + "lld", static_cast<long long>(v));
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            const FormatArg& a = take("%u");
            uint64_t v;
            if (a.type() == FormatArg::Type::Unsigned) {
                v = a.u();
            } else if (a.type() == FormatArg::Type::Signed || a.type() == FormatArg::Type::Char) {
                // A negative value shows as its bit pattern at the width the conversion names.
                v = (longs > 0 || sizeT) ? static_cast<uint64_t>(a.i())
                                         : static_cast<uint64_t>(static_cast<uint32_t>(a.i()));
            } else {
                fault(fmt, "conversion " + std::string(fmt.substr(start, i - start)) + " needs an integer");
            }
            out += printfOne(cfmt + "ll" + conv, static_cast<unsigned long long>(v));
            break;
        }
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            const FormatArg& a = take("%f");
            if (a.type() != FormatArg::Type::Double) {
                fault(fmt, "conversion " + std::string(fmt.substr(start, i - start)) +
                               " needs a floating-point value");
            }
            out += printfOne(cfmt + conv, a.d());
            break;
        }
        case 'c': {
            const FormatArg& a = take("%c");
            if (a.type() != FormatArg::Type::Char && a.type() != FormatArg::Type::Signed &&
                a.type() != FormatArg::Type::Unsigned) {
                fault(fmt, "conversion %c needs a character");
            }
            int ch = a.type() == FormatArg::Type::Unsigned ? static_cast<int>(a.u() & 0xFF)
                                                           : static_cast<int>(a.i() & 0xFF);
            out += padText(std::string(1, static_cast<char>(ch)), left, width, -1);
            break;
        }
        case 's': {
            const FormatArg& a = take("%s");
            if (a.type() == FormatArg::Type::Null) {
                out += padText("(null)", left, width, precision);
            } else if (a.type() == FormatArg::Type::String) {
                out += padText(a.s(), left, width, precision);
            } else {
                fault(fmt, "conversion %s needs a C string");
            }
            break;
        }
        case '@': {
            const FormatArg& a = take("%@");
            if (a.type() == FormatArg::Type::Null) {
                out += padText("(null)", left, width, precision);
            } else if (a.type() == FormatArg::Type::String || a.type() == FormatArg::Type::Described) {
                out += padText(a.s(), left, width, precision);
            } else {
                fault(fmt, "conversion %@ needs an object");
            }
            break;
        }
        case 'p': {
            const FormatArg& a = take("%p");
            if (a.type() == FormatArg::Type::Null) {
                out += padText("0x0", left, width, -1);
            } else if (a.type() == FormatArg::Type::Pointer) {
                out += padText(printfOne("0x%llx", static_cast<unsigned long long>(a.p())), left, width, -1);
            } else {
                fault(fmt, "conversion %p needs a pointer");
            }
            break;
        }
        default:
            fault(fmt, std::string("unknown conversion '") + conv + "'");
        }
    }
    if (next != args.size()) {
        fault(fmt, std::to_string(args.size() - next) + " argument(s) left over");
    }
    return out;
}

} // namespace plat
