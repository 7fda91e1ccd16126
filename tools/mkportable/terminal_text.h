// Text from a package (entry names, commands) made safe for a terminal.
#ifndef MKPORTABLE_TERMINAL_TEXT_H
#define MKPORTABLE_TERMINAL_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

namespace mkportable {

// Length of the valid UTF-8 sequence at the start of `text` (1 to 4), or 0
// for a stray, cut-short or overlong sequence, a surrogate or a code point
// past U+10FFFF.
std::size_t utf8Length(std::string_view text);

// `text` with every byte that a terminal could take for a control as \xHH:
// C0 controls, DEL, the C1 controls U+0080 to U+009F, bytes that are no
// valid UTF-8, and the backslash itself, so that the escaping cannot be
// forged. Printable ASCII and valid UTF-8 pass unchanged.
std::string terminalText(std::string_view text);

} // namespace mkportable

#endif
