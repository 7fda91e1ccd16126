// Text from a package (entry names, commands) made safe for a terminal.
#ifndef MKPORTABLE_TERMINAL_TEXT_H
#define MKPORTABLE_TERMINAL_TEXT_H

#include <string>
#include <string_view>

namespace mkportable {

// `text` with every byte that a terminal could take for a control as \xHH:
// C0 controls, DEL, the C1 controls U+0080 to U+009F, bytes that are no
// valid UTF-8, and the backslash itself, so that the escaping cannot be
// forged. Printable ASCII and valid UTF-8 pass unchanged.
std::string terminalText(std::string_view text);

} // namespace mkportable

#endif
