// Text from outside the launcher (the environment, a file name, a link) as
// it may safely reach a terminal.
#ifndef LAUNCHER_TERMINAL_TEXT_H
#define LAUNCHER_TERMINAL_TEXT_H

#include <string>

// Bytes outside printable ASCII, and the backslash, as \xHH.
std::string terminalText(const std::string &text);

#endif
