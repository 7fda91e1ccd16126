#include "cli.h"

#include "mkportable/bundle/program_dir.h"
#include "mkportable/commands/build_command.h"
#include "mkportable/commands/info_command.h"
#include "mkportable/commands/key_command.h"
#include "mkportable/commands/man_page.h"
#include "mkportable/commands/sign_command.h"
#include "mkportable/commands/try_command.h"
#include "mkportable/commands/verify_command.h"
#include "pack_error.h"
#include "temp_file.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <string_view>

namespace mkportable {

int runCli(int argc, const char *const *argv, std::ostream &out, std::ostream &err, bool errIsTerminal)
{
    CLI::App app{"Build, show and check self-extracting portable packages"};
    app.name("mkportable");
    app.set_version_flag("--version", "mkportable " PORTABLE_VERSION);
    app.require_subcommand(1);
    app.footer("Examples:\n"
               "  mkportable build tool.toml -o tool.run\n"
               "  mkportable info tool.run\n"
               "  mkportable verify tool.run\n"
               "  mkportable key generate release && mkportable sign tool.run --key release.key\n"
               "  mkportable try tool.run --help\n"
               "  mkportable man mkportable-build | man -l -\n"
               "Run 'mkportable SUBCOMMAND --help' for the options of each.\n");

    BuildOptions build;
    InfoOptions info;
    VerifyOptions verify;
    TryOptions tryOptions;
    CLI::App *buildCmd = addBuildCommand(app, build);
    CLI::App *infoCmd = addInfoCommand(app, info);
    CLI::App *verifyCmd = addVerifyCommand(app, verify);
    SignOptions sign;
    CLI::App *signCmd = addSignCommand(app, sign);
    KeyOptions key;
    CLI::App *keyGenerateCmd = addKeyCommand(app, key);
    CLI::App *tryCmd = addTryCommand(app, tryOptions);
    std::string manPage;
    CLI::App *manCmd = addManCommand(app, manPage);

    // What follows `try PACKAGE` is the package's, whatever it looks like
    // (--help included).
    int ownArguments = argc;
    if (argc > 3 && std::string_view(argv[1]) == "try" && argv[2][0] != '-') {
        ownArguments = 3;
        tryOptions.arguments.assign(argv + 3, argv + argc);
    }
    try {
        app.parse(ownArguments, argv);
    } catch (const CLI::ParseError &e) {
        // Help and version requests are successes; every other parse error
        // is a usage error, whatever CLI11's own code for it.
        int status = app.exit(e, out, err);
        return status == 0 ? EXIT_OK : EXIT_USAGE;
    }

    if (manCmd->parsed()) {
        if (printManPage(app, manPage, out))
            return EXIT_OK;
        err << "mkportable man: no page '" << manPage << "'\n";
        return EXIT_USAGE;
    }
    removeTempFileOnSignal();
    try {
        if (buildCmd->parsed()) {
            const PackagePlan plan = planFromOptions(build);
            BuildSettings settings;
            settings.sourceDateEpoch = std::getenv("SOURCE_DATE_EPOCH");
            settings.programDir = programDirectory();
            settings.quiet = build.quiet;
            settings.depfile = build.depfile;
            settings.signingKeyVariable = std::getenv("MKPORTABLE_SIGNING_KEY");
            settings.detached = build.detached;
            settings.progress = errIsTerminal ? &err : nullptr;
            runBuild(plan, settings, out, err);
        }
        if (infoCmd->parsed())
            return runInfo(info, out, err);
        if (verifyCmd->parsed())
            return runVerify(verify, out);
        if (signCmd->parsed())
            runSign(sign, out);
        if (keyGenerateCmd->parsed())
            runKeyGenerate(key, out);
        if (tryCmd->parsed())
            return runTry(tryOptions, err);
        return EXIT_OK;
    } catch (const UsageError &e) {
        err << "mkportable build: " << e.what() << "\nRun with --help for more information.\n";
        return EXIT_USAGE;
    } catch (const PackError &e) {
        err << "mkportable: " << e.what() << "\n";
    } catch (const std::exception &e) {
        err << "mkportable: unexpected failure: " << e.what() << "\n";
    }
    return EXIT_BAD_INPUT;
}

} // namespace mkportable
