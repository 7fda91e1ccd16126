#include "terminal_text.h"

#include <cstdio>

namespace mkportable {

namespace {

// Length of the valid UTF-8 sequence at the start of `text` (1 to 4), or 0
// for a stray, cut-short or overlong sequence, a surrogate or a code point
// past U+10FFFF.
std::size_t utf8Length(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = lead < 0x80                   ? 1
                         : lead >= 0xc2 && lead < 0xe0 ? 2
                         : lead >= 0xe0 && lead < 0xf0 ? 3
                         : lead >= 0xf0 && lead < 0xf5 ? 4
                                                       : 0;
    if (length == 0 || length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(i) & 0xc0) != 0x80)
            return 0;
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((lead == 0xe0 && byte(1) < 0xa0) || (lead == 0xed && byte(1) >= 0xa0) || (lead == 0xf0 && byte(1) < 0x90) ||
        (lead == 0xf4 && byte(1) >= 0x90))
        return 0;
    return length;
}

} // namespace

std::string terminalText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const auto lead = static_cast<unsigned char>(text[0]);
        std::size_t length = utf8Length(text);
        // U+0080 to U+009F are C2 80 to C2 9F: C1 controls, CSI among them.
        const bool c1 = lead == 0xc2 && length == 2 && static_cast<unsigned char>(text[1]) < 0xa0;
        const bool safe = length > 1 ? !c1 : lead >= 0x20 && lead < 0x7f && lead != '\\';
        if (safe) {
            out.append(text.substr(0, length));
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", lead);
            out += hex;
            length = 1;
        }
        text.remove_prefix(length);
    }
    return out;
}

} // namespace mkportable
