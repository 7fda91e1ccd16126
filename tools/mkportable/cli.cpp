#include "cli.h"

#include "build_command.h"
#include "pack_error.h"
#include "program_dir.h"
#include "temp_file.h"

#include <CLI/CLI.hpp>
#include <cstdlib>

namespace mkportable {

int runCli(int argc, const char *const *argv, std::ostream &out, std::ostream &err)
{
    CLI::App app{"mkportable: packs a tool into a self-extracting portable package"};
    app.name("mkportable");
    app.require_subcommand(1);

    BuildOptions build;
    CLI::App *buildCmd = addBuildCommand(app, build, programDirectory());

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // Help and version requests are successes; every other parse error
        // is a usage error, whatever CLI11's own code for it.
        int status = app.exit(e, out, err);
        return status == 0 ? EXIT_OK : EXIT_USAGE;
    }

    removeTempFileOnSignal();
    try {
        if (buildCmd->parsed())
            runBuild(build, std::getenv("SOURCE_DATE_EPOCH"), out);
        return EXIT_OK;
    } catch (const PackError &e) {
        err << "mkportable: " << e.what() << "\n";
    } catch (const std::exception &e) {
        err << "mkportable: unexpected failure: " << e.what() << "\n";
    }
    return EXIT_BAD_INPUT;
}

} // namespace mkportable
