#include "verify_command.h"

#include "mkportable/package/command_program_check.h"
#include "mkportable/package/command_split_check.h"
#include "mkportable/package/package_digest.h"
#include "mkportable/package/package_probe.h"
#include "mkportable/package/package_settings_text.h"
#include "mkportable/package/package_signing.h"
#include "mkportable/support/terminal_text.h"

#include <CLI/CLI.hpp>

namespace mkportable {

CLI::App *addVerifyCommand(CLI::App &app, VerifyOptions &options)
{
    CLI::App *cmd = app.add_subcommand("verify", "Check that a package is sound");
    cmd->footer("Example:\n  mkportable verify tool.run && scp tool.run host:\n"
                "Exit status 0 only when every check holds.\n");
    cmd->add_option("package", options.package, "Package file")->type_name("PACKAGE")->required();
    cmd->add_option("--key", options.keys,
                    "Minisign public key; the package must carry a valid signature by one of those given "
                    "(repeatable)")
        ->type_name("NAME.pub");
    return cmd;
}

int runVerify(const VerifyOptions &options, std::ostream &out)
{
    std::vector<PublicKey> keys;
    for (const std::filesystem::path &key : options.keys)
        keys.push_back(readPublicKey(key));
    ProbedPackage pkg = probePackage(options.package, true);
    const std::string name = terminalText(options.package.string());
    std::string digest;
    if (pkg.layoutSound) {
        for (std::size_t i = 0; i < pkg.records.size(); ++i)
            if (std::string split = commandSplitProblem(pkg.records[i]); !split.empty())
                pkg.problems.push_back("command record " + std::to_string(i) + ": " + split);
        std::vector<CommandEntry> commands;
        for (const CommandRecord &record : pkg.records)
            commands.push_back({.distribution = record.distribution,
                                .release = record.release,
                                .architecture = record.architecture,
                                .command = record.command,
                                .arguments = {},
                                .alwaysAppendArguments = false});
        for (std::size_t i = 0; i < pkg.images.size(); ++i)
            for (const std::string &problem :
                 commandProgramProblems(commands, zipImageFiles(pkg.images[i].entries), i, pkg.images.size()))
                pkg.problems.push_back(problem + " (" + pkg.images[i].label + ")");
        digest = checkPackageDigest(options.package, pkg.fileSize, pkg.problems);
        if (const std::string signer = checkPackageSignature(options.package, pkg.fileSize, keys, pkg.problems);
            !signer.empty())
            digest += ", " + signer;
    }
    for (const std::string &note : pkg.notes)
        out << name << ": note: " << terminalText(note) << "\n";
    for (const std::string &problem : pkg.problems)
        out << name << ": " << terminalText(problem) << "\n";
    if (!pkg.problems.empty()) {
        out << name << ": FAILED, " << pkg.problems.size() << " problem" << (pkg.problems.size() == 1 ? "" : "s")
            << "\n";
        return 1;
    }
    out << name << ": OK, " << pkg.records.size() << " command record" << (pkg.records.size() == 1 ? "" : "s") << ", "
        << pkg.images.size() << " image" << (pkg.images.size() == 1 ? "" : "s") << ", " << pkg.entriesChecked << " entr"
        << (pkg.entriesChecked == 1 ? "y" : "ies") << " checked, " << digest << "\n";
    if (const std::optional<PackageSettings> settings = storedSettings(options.package, pkg.fileSize)) {
        out << name << ": settings:";
        const char *separator = " ";
        for (const auto &[key, value] : describeSettings(*settings)) {
            if (value.empty())
                continue;
            out << separator << key << " " << terminalText(value);
            separator = ", ";
        }
        out << "\n";
    }
    return 0;
}

} // namespace mkportable
