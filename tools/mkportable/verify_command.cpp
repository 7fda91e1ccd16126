#include "verify_command.h"

#include "package_probe.h"

#include <CLI/CLI.hpp>

namespace mkportable {

CLI::App *addVerifyCommand(CLI::App &app, VerifyOptions &options)
{
    CLI::App *cmd = app.add_subcommand("verify", "Check that a package is sound");
    cmd->footer("Example:\n  mkportable verify tool.run && scp tool.run host:\n"
                "Exit status 0 only when every check holds.\n");
    cmd->add_option("package", options.package, "Package file")->type_name("PACKAGE")->required();
    return cmd;
}

int runVerify(const VerifyOptions &options, std::ostream &out)
{
    const ProbedPackage pkg = probePackage(options.package, true);
    const std::string name = options.package.string();
    for (const std::string &problem : pkg.problems)
        out << name << ": " << problem << "\n";
    if (!pkg.problems.empty()) {
        out << name << ": FAILED, " << pkg.problems.size() << " problem"
            << (pkg.problems.size() == 1 ? "" : "s") << "\n";
        return 1;
    }
    out << name << ": OK, " << pkg.records.size() << " command record"
        << (pkg.records.size() == 1 ? "" : "s") << ", " << pkg.images.size() << " image"
        << (pkg.images.size() == 1 ? "" : "s") << ", " << pkg.entriesChecked << " entr"
        << (pkg.entriesChecked == 1 ? "y" : "ies") << " checked\n";
    return 0;
}

} // namespace mkportable
