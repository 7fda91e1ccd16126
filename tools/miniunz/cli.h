// The miniunz command line:  miniunz [-o] [-d DIR] ARCHIVE  (options may
// also follow the archive name).
#pragma once

#include "extract.h"

// Parses the arguments into `opts`. Returns -1 when extraction should go on,
// otherwise the exit status to end with: kExitUsage after printing the
// usage to stderr for a bad command line, kExitOk after -h.
int parseCommandLine(int argc, char **argv, ExtractOptions &opts);

// The whole program: parses the command line and unpacks the archive.
// Returns the exit status (see extract.h).
int miniunzMain(int argc, char **argv);
