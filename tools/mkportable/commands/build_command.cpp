#include "build_command.h"

#include "mkportable/bundle/library_bundle.h"
#include "mkportable/bundle/program_dir.h"
#include "mkportable/bundle/program_kind.h"
#include "mkportable/image/image_source.h"
#include "mkportable/package/command_program_check.h"
#include "mkportable/package/command_split_check.h"
#include "mkportable/package/manifest.h"
#include "mkportable/package/package_writer.h"
#include "mkportable/package/platform_codes.h"
#include "mkportable/support/depfile.h"
#include "mkportable/support/detached_signature.h"
#include "mkportable/support/progress_bar.h"
#include "mkportable/support/terminal_text.h"
#include "pack_error.h"
#include "zip_timestamp.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <elf.h>
#include <limits>
#include <sys/stat.h>

namespace mkportable {

namespace {

const char *const BUILD_EXAMPLES = R"(Examples:
  Pack from a manifest (see mkportable-manifest(5)):
    mkportable build tool.toml
    mkportable build tool.toml -o dist/tool.run
  Pack a directory with one record, for SuSE 11 on Intel 64-bit machines:
    mkportable build -o tool.run --image build/tool --command ./run.sh \
        --distribution suse --release 11 --architecture x86_64
  A package for 64-bit ARM machines (it carries the ARM launcher):
    mkportable build -o tool-arm64.run --image build-arm64/tool --command ./run.sh \
        --distribution debian --architecture arm64
  A dual-image package (the 32-bit launcher picks the image for the machine):
    mkportable build -o tool.run --image-i386 out32/tool --image-x86_64 out64/tool \
        --command ./run.sh --distribution redhat --release 5 --architecture i386
)";

// A CLI11 option check that accepts what `parse` accepts.
CLI::Validator codeValidator(std::optional<std::int32_t> (*parse)(std::string_view), const std::string &what,
                             const std::string &choices)
{
    return CLI::Validator(
        [parse, what, choices](std::string &text) -> std::string {
            if (parse(text))
                return {};
            return "unknown " + what + " '" + text + "' (expected " + choices + ")";
        },
        "");
}

// Whole numbers that a record's release field holds, refused in words:
// CLI11's own range check would print its bounds as floating-point numbers.
CLI::Validator releaseValidator()
{
    return CLI::Validator(
        [](std::string &text) -> std::string {
            if (parseRelease(text))
                return {};
            return "release must be 0 to " + std::to_string(std::numeric_limits<std::int32_t>::max()) +
                   " or any, not '" + text + "'";
        },
        "");
}

// Stores the parsed code of an option that passed codeValidator.
CLI::Option *addCodeOption(CLI::App *cmd, const std::string &flag, std::int32_t &target,
                           std::optional<std::int32_t> (*parse)(std::string_view), const std::string &what,
                           const std::string &choices)
{
    return cmd
        ->add_option_function<std::string>(
            flag, [&target, parse](const std::string &text) { target = *parse(text); },
            "Platform " + what + " the command is made for: " + choices + " (default: any)")
        ->type_name("NAME|CODE")
        ->check(codeValidator(parse, what, choices));
}

// The options that set the package settings: each stores (key, value), and
// planFromOptions applies them, so that a bad value is refused with the same
// words as in a manifest.
void addSettingOptions(CLI::App *cmd, BuildOptions &options)
{
    struct Flag {
        const char *flag;
        const char *key;
        const char *type;
        const char *help;
    };
    const Flag FLAGS[] = {
        {"--guard", "guard", "machine|package|none",
         "Which launches of the package exclude each other: all packages on the machine, this package's, "
         "or none (default: none)"},
        {"--progress", "progress", "stdout|stderr|none",
         "Where the launcher's progress lines go (default: stderr, so the tool's output is its own)"},
        {"--signals", "signals", "record|forward",
         "What a SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1 or SIGUSR2 sent to the launcher does while the tool "
         "runs: only recorded, or passed to the tool (default: forward)"},
        {"--working-directory", "working_directory", "image|caller",
         "Where the tool starts: in its unpacked tree, or in the caller's directory so that relative file "
         "arguments work (default: image)"},
        {"--name", "name", "TEXT", "The package's name, at most 31 bytes"},
        {"--package-version", "version", "TEXT", "The package's version, at most 15 bytes"},
        {"--summary", "summary", "TEXT", "One line on what the package does, at most 63 bytes"},
    };
    for (const Flag &f : FLAGS)
        options.recordOptions.push_back(cmd->add_option_function<std::string>(
                                               f.flag,
                                               [&options, key = std::string(f.key)](const std::string &value) {
                                                   options.settings.emplace_back(key, value);
                                               },
                                               f.help)
                                            ->type_name(f.type));
    options.recordOptions.push_back(cmd->add_flag_callback(
        "--cache", [&options] { options.settings.emplace_back("cache", "true"); },
        "Unpack the package once per user into a cache and start it from there after that; only for a tool "
        "that never writes into its own tree"));
}

void checkOutputDirectory(const std::filesystem::path &output)
{
    std::filesystem::path dir = output.parent_path();
    if (dir.empty())
        return;
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        if (errno == ENOENT)
            throw PackError("the output directory " + dir.string() + " does not exist; create it first (mkdir -p " +
                            dir.string() + ")");
        throwSystemError("cannot examine the output directory " + dir.string(), errno);
    }
    if (!S_ISDIR(st.st_mode))
        throw PackError("output directory " + dir.string() + " is not a directory");
}

// Refuses an output inside an image directory: each build would zip the
// previous package into the new one.
void checkOutputOutsideImage(const std::filesystem::path &output, const std::filesystem::path &image)
{
    std::error_code ec;
    if (!std::filesystem::is_directory(image, ec))
        return;
    const std::filesystem::path imageDir = std::filesystem::canonical(image, ec);
    if (ec)
        return; // prepareImage reports the image's own problem
    const std::filesystem::path outputDir = std::filesystem::weakly_canonical(
        std::filesystem::absolute(output).parent_path(), ec);
    if (ec)
        return;
    auto [inImage, inOutput] = std::mismatch(imageDir.begin(), imageDir.end(), outputDir.begin(), outputDir.end());
    if (inImage == imageDir.end())
        throw PackError("output " + output.string() + " lies inside the image directory " + image.string() +
                        "; the package would be zipped into its own image");
}

// Every image must be there before the first one is zipped. `origin` is
// where a manifest names it, or empty.
void checkImageExists(const std::filesystem::path &image, const std::string &origin)
{
    struct stat st;
    if (stat(image.c_str(), &st) == 0)
        return;
    const int error = errno;
    std::string what = (origin.empty() ? "" : origin + ": ") + "the image " + image.string();
    std::error_code ec;
    if (image.is_relative())
        what += " (resolved to " + std::filesystem::absolute(image, ec).lexically_normal().string() + ")";
    if (error == ENOENT)
        throw PackError(what + " does not exist" +
                        (origin.empty() ? ""
                                        : "; relative paths in a manifest are taken from "
                                          "its folder"));
    throwSystemError("cannot examine " + what, error);
}

// The words for image `index` of `count`.
std::string imageRole(std::size_t index, std::size_t count)
{
    if (count == 1)
        return "image";
    return index == 0 ? "image i386" : "image x86_64";
}

// A launcher or unzip utility that cannot run on the machines the package
// is made for: a 64-bit program where 32-bit machines must run it, an Intel
// program in an ARM package or an ARM one in an Intel package.
void warnIfForeign(const InputFile &program, std::int32_t machine, std::ostream &err)
{
    const ProgramKind kind = programKind(program.fd(), 0);
    if (!kind.elf)
        return;
    if (machine == PFM_ARCH_INTEL32 && kind.bits == 64)
        err << "mkportable: warning: the " << program.name() << " is a 64-bit program (" << describe(kind)
            << "); the package is made for 32-bit machines too, where it cannot run\n";
    else if ((machine == PFM_ARCH_ARM64) != (kind.machine == EM_AARCH64))
        err << "mkportable: warning: the " << program.name() << " is a program for " << describe(kind)
            << "; the package is made for " << architectureLabel(machine) << " machines, where it cannot run\n";
}

std::string padded(const std::string &text, std::size_t width)
{
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// What was packed, for the summary.
struct Packed {
    std::filesystem::path launcher;
    std::filesystem::path unzip;
    std::vector<std::optional<std::size_t>> zippedEntries; // per image; none for a ready zip
    std::vector<std::size_t> excluded;                     // per image: names the exclude patterns left out
};

void printSummary(std::ostream &out, const PackagePlan &plan, const PackageContents &contents, const Packed &packed,
                  const PackageLayout &layout)
{
    out << "mkportable: wrote " << plan.output.string() << " (" << layout.fileSize << " bytes)\n"
        << "  " << padded("launcher", 14) << contents.launcher.size() << " bytes  " << packed.launcher.string() << " ("
        << describe(programKind(contents.launcher.fd(), 0)) << ")\n"
        << "  " << padded("unzip", 14) << contents.unzip.size() << " bytes  " << packed.unzip.string() << " ("
        << describe(programKind(contents.unzip.fd(), 0)) << ")\n";
    const std::size_t count = contents.images.size();
    for (std::size_t i = 0; i < count; ++i) {
        out << "  " << padded(imageRole(i, count), 14) << contents.images[i].size() << " bytes  "
            << plan.images[i].string();
        if (packed.zippedEntries[i])
            out << " (" << *packed.zippedEntries[i] << " entries zipped"
                << (plan.exclude.empty() ? "" : ", " + std::to_string(packed.excluded[i]) + " excluded") << ")";
        out << "\n";
    }
    for (std::size_t i = 0; i < plan.commands.size(); ++i) {
        const CommandEntry &cmd = plan.commands[i];
        out << "  " << padded("record " + std::to_string(i), 14)
            << platformText(cmd.distribution, cmd.release, cmd.architecture) << ": " << cmd.command << "\n";
        if (!cmd.arguments.empty())
            out << "  " << padded("", 14) << "arguments " << cmd.arguments
                << (cmd.alwaysAppendArguments ? " (always appended)" : " (only when the user gives none)") << "\n";
    }
    out << "  " << padded("platform match", 14) << (plan.strictPlatformMatch ? "strict" : "lenient") << "\n";
    for (const auto &[key, value] : describeSettings(plan.settings))
        if (!value.empty())
            out << "  " << padded(key, 14) << terminalText(value) << "\n";
    if (contents.signingKey != nullptr)
        out << "  " << padded("signed by", 14) << keyIdString(contents.signingKey->publicKey.keyId) << "\n";
}

} // namespace

CLI::App *addBuildCommand(CLI::App &app, BuildOptions &options)
{
    CLI::App *cmd = app.add_subcommand("build", "Pack a tool into a self-extracting package");
    cmd->footer(BUILD_EXAMPLES);
    cmd->add_option("manifest", options.manifest,
                    "TOML manifest that describes the package; it replaces the record and image "
                    "options")
        ->type_name("MANIFEST");
    cmd->add_option("-o,--output", options.output,
                    "Package file to write (replaced atomically); overrides the manifest's")
        ->type_name("FILE");
    std::vector<const CLI::Option *> &recordOptions = options.recordOptions;
    recordOptions.push_back(
        cmd->add_option("--image", options.image, "Directory to zip (reproducibly) or ready zip file to pack verbatim")
            ->type_name("DIR|ZIP"));
    recordOptions.push_back(
        cmd->add_option("--image-i386", options.image32, "Image for Intel 32-bit machines, in a dual-image package")
            ->type_name("DIR|ZIP"));
    recordOptions.push_back(
        cmd->add_option("--image-x86_64", options.image64, "Image for Intel 64-bit machines, in a dual-image package")
            ->type_name("DIR|ZIP"));
    recordOptions.push_back(cmd->add_option("--command", options.command.command,
                                            "Shell command the launcher runs in the unpacked image (at most " +
                                                std::to_string(MAX_COMMAND_BYTES) + " bytes)")
                                ->type_name("CMD"));
    recordOptions.push_back(cmd->add_option("--arguments", options.command.arguments,
                                            "Default arguments, appended when the user gives none (at most " +
                                                std::to_string(MAX_ARGUMENTS_BYTES) + " bytes)")
                                ->type_name("ARGS"));
    recordOptions.push_back(cmd->add_flag("--always-append", options.command.alwaysAppendArguments,
                                          "Append --arguments even when the user gives arguments"));
    recordOptions.push_back(
        cmd->add_flag("--strict", options.strictPlatformMatch, "Refuse to run on a platform that matches no record"));
    recordOptions.push_back(addCodeOption(cmd, "--distribution", options.command.distribution, parseDistribution,
                                          "distribution", distributionChoices()));
    recordOptions.push_back(
        cmd->add_option_function<std::string>(
               "--release", [&options](const std::string &text) { options.command.release = *parseRelease(text); },
               "Platform release number the command is made for, or any (default: any)")
            ->type_name("N|any")
            ->check(releaseValidator()));
    recordOptions.push_back(addCodeOption(cmd, "--architecture", options.command.architecture, parseArchitecture,
                                          "architecture", architectureChoices()));

    recordOptions.push_back(cmd->add_option("--bundle", options.bundle,
                                            "Program in the image to bundle with its shared libraries, the dynamic "
                                            "loader and the C library, so that it runs where they are missing; a "
                                            "shared object (a plugin) gets its libraries; 'all' bundles every ELF "
                                            "file of the image (repeatable)")
                                ->type_name("PATH|all"));
    recordOptions.push_back(cmd->add_option("--exclude", options.exclude,
                                            "Leave out of a directory image every name that matches the fnmatch "
                                            "PATTERN, and all below a matching folder (repeatable)")
                                ->type_name("PATTERN"));
    cmd->add_option("--depfile", options.depfile,
                    "Also write a Makefile-style list of every file the package was made from "
                    "(for add_custom_command(DEPFILE))")
        ->type_name("FILE");
    cmd->add_option("--launcher", options.launcher,
                    "Launcher executable (default: the one for the package's machines, "
                    "installed or built beside mkportable; the 32-bit one for a dual-image "
                    "package or one with an i386 record)")
        ->type_name("PATH");
    cmd->add_option_function<std::string>(
           "--target", [&options](const std::string &text) { options.target = *parseTarget(text); },
           "Processor family of a package whose records are for any architecture: x86_64, i386, or arm64 "
           "(aarch64) for an ARM package with the ARM launcher; overrides the manifest's (default: x86_64)")
        ->type_name("ARCH")
        ->check(CLI::Validator(
            [](std::string &text) -> std::string {
                return parseTarget(text) ? ""
                                         : "unknown target '" + text + "' (expected x86_64, i386, arm64 or aarch64)";
            },
            ""));
    cmd->add_option("--unzip", options.unzip, "Unzip utility executable (default: miniunz, chosen like the launcher)")
        ->type_name("PATH");
    cmd->add_option("--level", options.level,
                    "Compression of an image zipped from a directory: 0 stores, 1 to " + std::to_string(ZIP_LEVEL_MAX) +
                        " deflate, higher is smaller and slower "
                        "(default: the manifest's, else " +
                        std::to_string(ZIP_LEVEL_DEFAULT) + ")")
        ->type_name("N")
        ->check(CLI::Range(ZIP_LEVEL_STORED, ZIP_LEVEL_MAX));
    cmd->add_flag("--copy-external-links", options.copyExternalLinks,
                  "Pack the file or directory that an absolute link, or one that leads out "
                  "of the image, points to, instead of refusing the link");
    cmd->add_option("--sign", options.signingKey,
                    "Sign the package with this minisign secret key (default: the manifest's sign, else "
                    "$MKPORTABLE_SIGNING_KEY; see 'mkportable key generate')")
        ->type_name("NAME.key");
    cmd->add_flag("--detached", options.detached,
                  "Also write PACKAGE.minisig, which 'minisign -V -p NAME.pub -m PACKAGE' checks");
    cmd->add_flag("-q,--quiet", options.quiet, "Print no summary and no progress bar");
    addSettingOptions(cmd, options);
    return cmd;
}

PackagePlan planFromOptions(const BuildOptions &options)
{
    PackagePlan plan;
    if (!options.manifest.empty()) {
        for (const CLI::Option *option : options.recordOptions)
            if (option->count() > 0)
                throw UsageError(option->get_name() + " cannot be used with a manifest, which "
                                                      "describes the records and images itself");
        plan = readManifest(options.manifest);
    } else {
        if (!options.image.empty() && (!options.image32.empty() || !options.image64.empty()))
            throw UsageError("--image cannot be used with --image-i386 and --image-x86_64: give "
                             "one image, or the two of a dual-image package");
        if (options.command.command.empty())
            throw UsageError("--command is required (or name a manifest)");
        if (!options.image.empty())
            plan.images = {options.image};
        else if (!options.image32.empty() && !options.image64.empty())
            plan.images = {options.image32, options.image64};
        else if (!options.image32.empty() || !options.image64.empty())
            throw UsageError("--image-i386 and --image-x86_64 go together: a dual-image package "
                             "needs both images");
        else
            throw UsageError("--image is required (or name a manifest)");
        plan.commands = {options.command};
        plan.strictPlatformMatch = options.strictPlatformMatch;
        for (const std::string &program : options.bundle) {
            if (program == "all") {
                plan.bundleAll = true;
                continue;
            }
            checkBundlePath(program, "--bundle");
            plan.bundle.push_back(program);
        }
        for (const std::string &pattern : options.exclude)
            checkExcludePattern(pattern, "--exclude");
        plan.exclude = options.exclude;
        for (const auto &[key, value] : options.settings) {
            const auto &words = settingWordKeys();
            if (key == "cache")
                plan.settings.cache = true;
            else if (std::find(words.begin(), words.end(), key) != words.end())
                setSettingWord(plan.settings, key, value);
            else
                setSettingText(plan.settings, key, value);
        }
    }
    if (!options.output.empty())
        plan.output = options.output;
    if (plan.output.empty())
        throw UsageError(options.manifest.empty() ? "--output is required"
                                                  : "--output is required: the manifest names no output");
    if (!options.launcher.empty())
        plan.launcher = options.launcher;
    if (!options.unzip.empty())
        plan.unzip = options.unzip;
    if (options.target)
        plan.target = *options.target;
    if (options.level)
        plan.level = *options.level;
    if (options.copyExternalLinks)
        plan.copyExternalLinks = true;
    if (!options.signingKey.empty())
        plan.signingKey = options.signingKey;
    return plan;
}

void runBuild(const PackagePlan &plan, const BuildSettings &settings, std::ostream &out, std::ostream &err)
{
    // Cheap checks first, so that a typo fails before a big tree is zipped.
    checkRecords(plan, err);
    checkCommandSplits(plan.commands);
    warnAboutPipelines(plan.commands, err);
    checkSettings(plan.settings, plan.commands);
    warnAboutSettings(plan.settings, err);
    if (plan.images.empty() || plan.images.size() > 2)
        throw PackError("a package holds one image or two image variants, not " + std::to_string(plan.images.size()));
    checkOutputDirectory(plan.output);
    for (std::size_t i = 0; i < plan.images.size(); ++i) {
        checkImageExists(plan.images[i], i < plan.imageOrigins.size() ? plan.imageOrigins[i] : std::string());
        checkOutputOutsideImage(plan.output, plan.images[i]);
    }
    const std::uint32_t timestamp = imageTimestamp(settings.sourceDateEpoch);
    std::filesystem::path keyFile = plan.signingKey;
    if (keyFile.empty() && settings.signingKeyVariable != nullptr && *settings.signingKeyVariable != '\0')
        keyFile = settings.signingKeyVariable;
    if (settings.detached && keyFile.empty())
        throw UsageError("--detached signs the package file: give the key with --sign, the manifest's sign or "
                         "MKPORTABLE_SIGNING_KEY");
    const std::optional<SigningKey> key = keyFile.empty() ? std::nullopt
                                                          : std::optional<SigningKey>(readSigningKey(keyFile));

    const std::int32_t machine = packageMachine(plan);
    const std::string arch = programArchitecture(machine);
    Packed packed;
    packed.launcher = plan.launcher.empty() ? findProgram(settings.programDir, "launcher", arch, "--launcher")
                                            : plan.launcher;
    packed.unzip = plan.unzip.empty() ? findProgram(settings.programDir, "miniunz", arch, "--unzip") : plan.unzip;
    PackageContents contents{
        .launcher = InputFile::open(packed.launcher, "launcher"),
        .unzip = InputFile::open(packed.unzip, "unzip utility"),
        .strictPlatformMatch = plan.strictPlatformMatch,
        .commands = plan.commands,
        .images = {},
        .settings = plan.settings,
        .signingKey = key ? &*key : nullptr,
    };
    warnIfForeign(contents.launcher, machine, err);
    warnIfForeign(contents.unzip, machine, err);
    std::vector<std::filesystem::path> inputs{packed.launcher, packed.unzip};
    if (!plan.manifest.empty())
        inputs.insert(inputs.begin(), plan.manifest);

    for (std::size_t i = 0; i < plan.images.size(); ++i) {
        ProgressBar bar(settings.quiet ? nullptr : settings.progress, "zipping " + imageRole(i, plan.images.size()));
        ZipSettings zipping;
        zipping.level = plan.level;
        zipping.progress = [&bar](std::uint64_t done, std::uint64_t total) { bar.update(done, total); };
        // The records' programs are checked before a directory is zipped.
        const auto checkPrograms = [&](const std::vector<ImageFile> &files) {
            const std::vector<std::string> problems = commandProgramProblems(plan.commands, files, i,
                                                                             plan.images.size(), machine);
            if (!problems.empty())
                throw PackError(problems.front() + " (" + imageRole(i, plan.images.size()) + " " +
                                plan.images[i].string() + ")");
        };
        const ImageRules rules{
            plan.bundle, plan.bundleAll, plan.exclude, checkPrograms, {plan.copyExternalLinks, &err, {}}};
        PreparedImage image = prepareImage(plan.images[i], plan.output, timestamp, zipping, rules);
        inputs.insert(inputs.end(), image.inputs.begin(), image.inputs.end());
        contents.images.push_back(std::move(image.zip));
        packed.zippedEntries.push_back(image.zippedEntries);
        packed.excluded.push_back(image.excluded);
    }
    // A name that the depfile cannot hold fails the build before the package
    // is written.
    const std::string depfile = settings.depfile.empty() ? std::string() : depfileText(plan.output, inputs);
    const std::optional<FileHash> before = hashBeforeReplacing(plan.output);
    const PackageLayout layout = writePackage(contents, plan.output);
    if (!settings.depfile.empty())
        writeDepfile(settings.depfile, depfile);
    if (!settings.quiet)
        printSummary(out, plan, contents, packed, layout);
    settleDetachedSignature(plan.output, settings.detached ? &*key : nullptr, before, settings.quiet, out);
}

} // namespace mkportable
