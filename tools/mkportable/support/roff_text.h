// Text for the manual pages, as roff prints it.
#ifndef MKPORTABLE_ROFF_TEXT_H
#define MKPORTABLE_ROFF_TEXT_H

#include <string>

namespace mkportable {

// `text` with backslashes and hyphens escaped and a line-leading dot or
// quote made literal, so that roff prints it as written.
std::string roff(const std::string &text);

// `text` in bold (roff), for names the reader types.
std::string roffBold(const std::string &text);

} // namespace mkportable

#endif
