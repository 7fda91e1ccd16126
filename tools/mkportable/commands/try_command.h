// The `try` subcommand: runs a package where nothing of the build machine
// can be seen, to find what it loads at run time that the package lacks
// (a library opened with dlopen by name, a helper program, a data file).
#ifndef MKPORTABLE_TRY_COMMAND_H
#define MKPORTABLE_TRY_COMMAND_H

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace mkportable {

struct TryOptions {
    std::filesystem::path package;
    std::vector<std::string> arguments;
};

CLI::App *addTryCommand(CLI::App &app, TryOptions &options);

// Where the static busybox that makes up the root is taken from.
inline constexpr const char *TRY_BUSYBOX = "/bin/busybox";
// Status of try itself when the root cannot be made.
inline constexpr int TRY_NO_NAMESPACES = 2;
inline constexpr int TRY_SETUP_FAILED = 125;

// Runs the package with `arguments` in a root that holds only a static
// busybox (in /bin, with a link for each of its commands), a tmpfs on /tmp,
// /dev/null and the package itself, in private user, mount and network
// namespaces of a child process (the caller's user is root inside, and no
// network but an idle loopback is there). The package runs as /<its file
// name>, in /tmp, with PATH=/bin, HOME=/tmp and the caller's
// QUARN_PORTABLE_* and VESK_PORTABLE_* variables. Returns the package's
// status (128 + the number of a signal that ended it); without user
// namespaces, says so on `err` and returns TRY_NO_NAMESPACES; when the root
// cannot be made for another reason, says why and returns TRY_SETUP_FAILED.
// Throws PackError when the package or busybox cannot be opened.
int runTry(const TryOptions &options, std::ostream &err);

} // namespace mkportable

#endif
