// The mkportable command line.
#ifndef MKPORTABLE_CLI_H
#define MKPORTABLE_CLI_H

#include <ostream>

namespace mkportable {

// Exit statuses of mkportable.
constexpr int EXIT_OK = 0;
constexpr int EXIT_BAD_INPUT = 1; // the inputs cannot make a package, or verify found a problem
constexpr int EXIT_USAGE = 2;     // the command line itself is wrong

// Parses the arguments, runs the chosen subcommand (build, info, verify,
// sign, key generate, try, man) and returns the exit status. Normal output goes to `out`, messages to
// `err`; --help prints to `out` and returns EXIT_OK. `errIsTerminal` allows
// the progress bar on `err`. Installs removeTempFileOnSignal (temp_file.h).
int runCli(int argc, const char *const *argv, std::ostream &out, std::ostream &err, bool errIsTerminal);

} // namespace mkportable

#endif
