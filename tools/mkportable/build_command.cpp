#include "build_command.h"

#include "image_source.h"
#include "pack_error.h"
#include "package_writer.h"
#include "platform_codes.h"
#include "zip_timestamp.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

namespace mkportable {

namespace {

// A CLI11 option check that accepts what `parse` accepts.
CLI::Validator codeValidator(std::optional<std::int32_t> (*parse)(std::string_view),
                             const std::string &what, const std::string &choices)
{
    return CLI::Validator(
        [parse, what, choices](std::string &text) -> std::string {
            if (parse(text))
                return {};
            return "unknown " + what + " '" + text + "' (expected " + choices + ")";
        },
        "");
}

// Stores the parsed code of an option that passed codeValidator.
CLI::Option *addCodeOption(CLI::App *cmd, const std::string &flag, std::int32_t &target,
                           std::optional<std::int32_t> (*parse)(std::string_view),
                           const std::string &what, const std::string &choices)
{
    return cmd
        ->add_option_function<std::string>(
            flag, [&target, parse](const std::string &text) { target = *parse(text); },
            "Platform " + what + " the command is made for: " + choices + " (default: none, 0)")
        ->type_name("NAME|CODE")
        ->check(codeValidator(parse, what, choices));
}

void checkOutputDirectory(const std::filesystem::path &output)
{
    std::filesystem::path dir = output.parent_path();
    if (dir.empty())
        return;
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
        throwSystemError("output directory " + dir.string(), errno);
    if (!S_ISDIR(st.st_mode))
        throw PackError("output directory " + dir.string() + " is not a directory");
}

// Refuses an output inside the image directory: each build would zip the
// previous package into the new one.
void checkOutputOutsideImage(const std::filesystem::path &output,
                             const std::filesystem::path &image)
{
    std::error_code ec;
    if (!std::filesystem::is_directory(image, ec))
        return;
    const std::filesystem::path imageDir = std::filesystem::canonical(image, ec);
    if (ec)
        return; // prepareImage reports the image's own problem
    const std::filesystem::path outputDir =
        std::filesystem::weakly_canonical(std::filesystem::absolute(output).parent_path(), ec);
    if (ec)
        return;
    auto [inImage, inOutput] =
        std::mismatch(imageDir.begin(), imageDir.end(), outputDir.begin(), outputDir.end());
    if (inImage == imageDir.end())
        throw PackError("output " + output.string() + " lies inside the image directory " +
                        image.string() + "; the package would be zipped into its own image");
}

void printSummary(std::ostream &out, const BuildOptions &options, const PackageContents &contents,
                  std::optional<std::size_t> zippedEntries, const PackageLayout &layout)
{
    const CommandEntry &cmd = options.command;
    out << "mkportable: wrote " << options.output.string() << " (" << layout.fileSize
        << " bytes)\n"
        << "  launcher      " << contents.launcher.size() << " bytes  " << options.launcher.string()
        << "\n"
        << "  unzip         " << contents.unzip.size() << " bytes  " << options.unzip.string()
        << "\n"
        << "  image         " << contents.images[0].size() << " bytes  " << options.image.string();
    if (zippedEntries)
        out << " (" << *zippedEntries << " entries zipped)";
    out << "\n"
        << "  command       " << cmd.command << "\n";
    if (!cmd.arguments.empty())
        out << "  arguments     " << cmd.arguments
            << (cmd.alwaysAppendArguments ? " (always appended)" : " (when none are given)")
            << "\n";
    out << "  platform      distribution " << distributionName(cmd.distribution) << ", release "
        << cmd.release << ", architecture " << architectureName(cmd.architecture)
        << (options.strictPlatformMatch ? " (strict)" : "") << "\n";
}

} // namespace

CLI::App *addBuildCommand(CLI::App &app, BuildOptions &options,
                          const std::filesystem::path &programDir)
{
    CLI::App *cmd = app.add_subcommand("build", "Pack a tool into a self-extracting package");
    cmd->add_option("-o,--output", options.output, "Package file to write (replaced atomically)")
        ->type_name("FILE")
        ->required();
    cmd->add_option("--image", options.image,
                    "Directory to zip (reproducibly) or ready zip file to pack verbatim")
        ->type_name("DIR|ZIP")
        ->required();
    cmd->add_option("--command", options.command.command,
                    "Shell command the launcher runs in the unpacked image (at most " +
                        std::to_string(MAX_COMMAND_BYTES) + " bytes)")
        ->type_name("CMD")
        ->required();
    cmd->add_option("--arguments", options.command.arguments,
                    "Default arguments, appended when the user gives none (at most " +
                        std::to_string(MAX_ARGUMENTS_BYTES) + " bytes)")
        ->type_name("ARGS");
    cmd->add_flag("--always-append", options.command.alwaysAppendArguments,
                  "Append --arguments even when the user gives arguments");
    cmd->add_flag("--strict", options.strictPlatformMatch,
                  "Refuse to run on a platform that matches no command record");
    addCodeOption(cmd, "--distribution", options.command.distribution, parseDistribution,
                  "distribution", distributionChoices());
    cmd->add_option("--release", options.command.release,
                    "Platform release number the command is made for (default: 0)")
        ->type_name("N")
        ->check(CLI::NonNegativeNumber);
    addCodeOption(cmd, "--architecture", options.command.architecture, parseArchitecture,
                  "architecture", architectureChoices());

    options.launcher = programDir.empty() ? "launcher" : programDir / "launcher";
    options.unzip = programDir.empty() ? "miniunz" : programDir / "miniunz";
    cmd->add_option("--launcher", options.launcher,
                    "Launcher executable (default: 'launcher' beside mkportable)")
        ->type_name("PATH")
        ->capture_default_str();
    cmd->add_option("--unzip", options.unzip,
                    "Unzip utility executable (default: 'miniunz' beside mkportable)")
        ->type_name("PATH")
        ->capture_default_str();
    cmd->add_flag("-q,--quiet", options.quiet, "Print nothing on success");
    return cmd;
}

void runBuild(const BuildOptions &options, const char *sourceDateEpoch, std::ostream &out)
{
    // Cheap checks first, so that a typo fails before a big tree is zipped.
    validateCommand(options.command, 0);
    checkOutputDirectory(options.output);
    checkOutputOutsideImage(options.output, options.image);
    const std::uint32_t timestamp = imageTimestamp(sourceDateEpoch);

    PackageContents contents{
        .launcher = InputFile::open(options.launcher, "launcher"),
        .unzip = InputFile::open(options.unzip, "unzip utility"),
        .strictPlatformMatch = options.strictPlatformMatch,
        .commands = {options.command},
        .images = {},
    };
    PreparedImage image = prepareImage(options.image, options.output, timestamp);
    contents.images.push_back(std::move(image.zip));
    const PackageLayout layout = writePackage(contents, options.output);
    if (!options.quiet)
        printSummary(out, options, contents, image.zippedEntries, layout);
}

} // namespace mkportable
