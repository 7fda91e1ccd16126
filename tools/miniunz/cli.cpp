#include "cli.h"

#include "diag.h"

#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] = "usage: miniunz [-o] [-d DIR] ARCHIVE\n"
                      "       miniunz -t ARCHIVE\n"
                      "Unpacks every entry of the zip file ARCHIVE into the current directory.\n"
                      "  -o      replace existing files instead of failing those entries\n"
                      "  -d DIR  unpack into DIR, creating it and its missing parents\n"
                      "  -t      only test: read and check every entry, write nothing\n"
                      "Options may also follow ARCHIVE. Exit status: 0 when every entry was\n"
                      "unpacked and verified, 1 on any failure, 2 for a bad command line.\n";

int usage(const char *why)
{
    if (why)
        complain("%s", why);
    fputs(kUsage, stderr);
    return kExitUsage;
}

} // namespace

int parseCommandLine(int argc, char **argv, ExtractOptions &opts)
{
    bool haveArchive = false, haveDir = false, optionsEnded = false;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (optionsEnded || arg[0] != '-' || arg[1] == '\0') {
            if (haveArchive)
                return usage("more than one archive named");
            opts.archive = arg;
            haveArchive = true;
        } else if (strcmp(arg, "--") == 0) {
            optionsEnded = true;
        } else if (strcmp(arg, "-o") == 0) {
            opts.overwrite = true;
        } else if (strcmp(arg, "-t") == 0) {
            opts.testOnly = true;
        } else if (strcmp(arg, "-d") == 0) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                return usage("-d needs a directory");
            if (haveDir)
                return usage("-d given more than once");
            opts.targetDir = argv[++i];
            haveDir = true;
        } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            fputs(kUsage, stderr);
            return kExitOk;
        } else {
            complain("unknown option '%s'", printableName(arg).c_str());
            return usage(nullptr);
        }
    }
    if (!haveArchive || opts.archive.empty())
        return usage("no archive named");
    return -1;
}

int miniunzMain(int argc, char **argv)
{
    ExtractOptions opts;
    int status = parseCommandLine(argc, argv, opts);
    if (status >= 0)
        return status;
    return extractArchive(opts);
}
