// portable-package(1): how to run a package, printed from the launcher's
// own definitions of what a package answers to (help_definitions.h) and the
// table of platform codes, so that --portable-help and the page agree.
#ifndef MKPORTABLE_PACKAGE_MAN_PAGE_H
#define MKPORTABLE_PACKAGE_MAN_PAGE_H

#include <ostream>

namespace mkportable {

// Writes the roff source of portable-package(1) to `out`.
void printPackageManPage(std::ostream &out);

} // namespace mkportable

#endif
