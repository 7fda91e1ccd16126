// The manual pages of mkportable, made from the same option definitions as
// --help, so that the two never disagree.
#ifndef MKPORTABLE_MAN_PAGE_H
#define MKPORTABLE_MAN_PAGE_H

#include <ostream>
#include <string>

namespace CLI {
class App;
}

namespace mkportable {

// Registers the `man PAGE` subcommand on `app`; parsing fills `page`.
CLI::App *addManCommand(CLI::App &app, std::string &page);

// Writes the roff source of the page `page` ("mkportable",
// "mkportable-SUBCOMMAND" for each subcommand of `app`, or "portable-package")
// to `out`. Returns
// false, writing nothing, for an unknown page.
bool printManPage(const CLI::App &app, const std::string &page, std::ostream &out);

} // namespace mkportable

#endif
