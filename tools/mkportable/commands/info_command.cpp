#include "info_command.h"

#include "mkportable/bundle/library_bundle.h"
#include "mkportable/package/package_digest.h"
#include "mkportable/package/package_settings_text.h"
#include "mkportable/package/package_signing.h"
#include "mkportable/package/platform_codes.h"
#include "mkportable/support/json_writer.h"
#include "mkportable/support/terminal_text.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <sys/stat.h>

namespace mkportable {

namespace {

std::string recordText(const CommandRecord &rec)
{
    return platformText(rec.distribution, rec.release, rec.architecture) + ": " + rec.command;
}

std::string argumentsNote(const CommandRecord &rec)
{
    return rec.alwaysAppendArguments ? "always appended" : "only when the user gives none";
}

std::string column(std::uint64_t number, int width)
{
    char text[32];
    std::snprintf(text, sizeof text, "%*llu", width, static_cast<unsigned long long>(number));
    return text;
}

std::string entryMode(const ImageEntry &entry)
{
    return entry.hasUnixMode ? modeText(entry.mode) : "(no mode) ";
}

const char *entryType(const ImageEntry &entry)
{
    if (entry.hasUnixMode && S_ISLNK(entry.mode))
        return "symlink";
    if (!entry.name.empty() && entry.name.back() == '/')
        return "directory";
    return "file";
}

BundleListing bundleOf(const ImageVariant &image)
{
    std::vector<std::string> names;
    for (const ImageEntry &entry : image.entries)
        names.push_back(entry.name);
    return listBundle(names);
}

std::string joined(const std::vector<std::string> &items)
{
    std::string text;
    for (const std::string &item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

void printSettingsText(const std::optional<PackageSettings> &settings, std::ostream &out)
{
    if (!settings) {
        out << "Settings:\n  none (guard machine, progress stdout, working directory image, signals record)\n";
        return;
    }
    out << "Settings:\n";
    for (const auto &[key, value] : describeSettings(*settings)) {
        if (value.empty())
            continue;
        char label[24];
        std::snprintf(label, sizeof label, "%-18s", key.c_str());
        out << "  " << label << terminalText(value) << "\n";
    }
}

Json settingsJson(const std::optional<PackageSettings> &settings)
{
    if (!settings)
        return nullptr;
    Json object = Json::object();
    for (const auto &[key, value] : describeSettings(*settings))
        object[key] = key == "cache" ? Json(settings->cache) : Json(value);
    return object;
}

void printBundleText(const BundleListing &bundle, std::ostream &out)
{
    if (bundle.programs.empty())
        return;
    out << "  bundled programs: " << terminalText(joined(bundle.programs)) << "\n"
        << "  started through:  " << terminalText(joined(bundle.loaders)) << "\n"
        << "  with libraries:   " << terminalText(joined(bundle.libraries)) << "\n";
}

// Only for an image with bundled programs, so that other images read as before.
void addBundleJson(const BundleListing &bundle, Json &image)
{
    if (bundle.programs.empty())
        return;
    image["bundled"] = {{"programs", bundle.programs}, {"loaders", bundle.loaders}, {"libraries", bundle.libraries}};
}

} // namespace

CLI::App *addInfoCommand(CLI::App &app, InfoOptions &options)
{
    CLI::App *cmd = app.add_subcommand("info", "Show what a package holds");
    cmd->footer("Examples:\n  mkportable info tool.run\n  mkportable info --json tool.run\n");
    cmd->add_option("package", options.package, "Package file")->type_name("PACKAGE")->required();
    cmd->add_flag("--json", options.json, "Print the same as JSON");
    return cmd;
}

void printInfoText(const ProbedPackage &pkg, const DigestInfo &digest, std::ostream &out)
{
    const PackageDirectory &dir = pkg.directory;
    out << "Package " << terminalText(pkg.path.string()) << ", " << pkg.fileSize << " bytes\n"
        << "Directory:\n";
    for (int i = 0; i < PKG_ELEMENT_COUNT; ++i) {
        char name[24];
        std::snprintf(name, sizeof name, "%-16s", elementName(i));
        out << "  element " << i << "  " << name << column(dir.elementSize[i], 10) << " bytes at " << pkg.offset[i];
        if (i == PKG_LAUNCHER)
            out << "  (" << describe(pkg.launcher) << ")";
        if (i == PKG_UNZIP)
            out << "  (" << describe(pkg.unzip) << ")";
        out << "\n";
    }
    if (pkg.images.size() == 2)
        out << "  image variants: Intel 32-bit " << dir.imageSize[0] << " bytes, Intel 64-bit " << dir.imageSize[1]
            << " bytes\n";
    else
        out << "  image variants: none, one image for every machine\n";

    const GlobalInfo &info = pkg.globalInfo;
    out << "Global info:\n  " << info.commandCount << " command record" << (info.commandCount == 1 ? "" : "s") << ", "
        << (info.strictPlatformMatch ? "strict platform match (a machine that matches no record "
                                       "is refused)"
                                     : "lenient platform match (on a mismatch: warning, 5-second "
                                       "pause, record 0)")
        << "\n";

    out << "Digest:\n  " << digest.digest.text << "\n";
    if (!digest.signer.empty())
        out << "  signed by " << digest.signer << "\n";
    printSettingsText(storedSettings(pkg.path, pkg.fileSize), out);

    out << "Command records:\n";
    for (std::size_t i = 0; i < pkg.records.size(); ++i) {
        const CommandRecord &rec = pkg.records[i];
        out << "  " << i << "  " << terminalText(recordText(rec)) << "\n";
        if (rec.arguments[0] != '\0')
            out << "     arguments: " << terminalText(rec.arguments) << " (" << argumentsNote(rec) << ")\n";
    }

    for (const ImageVariant &image : pkg.images) {
        std::string title = image.label;
        title[0] = char(std::toupper(static_cast<unsigned char>(title[0])));
        out << title << ", " << image.entries.size() << " entr" << (image.entries.size() == 1 ? "y" : "ies") << ":\n";
        for (const ImageEntry &entry : image.entries)
            out << "  " << column(entry.size, 10) << "  " << dosTimeText(entry.dosDateTime) << "  " << entryMode(entry)
                << "  " << terminalText(entry.name) << "\n";
        printBundleText(bundleOf(image), out);
    }

    if (!pkg.problems.empty()) {
        out << "Problems:\n";
        for (const std::string &problem : pkg.problems)
            out << "  " << terminalText(problem) << "\n";
    }
}

void printInfoJson(const ProbedPackage &pkg, const DigestInfo &digest, std::ostream &out)
{
    Json elements = Json::array();
    for (int i = 0; i < PKG_ELEMENT_COUNT; ++i) {
        Json element = {
            {"index", i}, {"name", elementName(i)}, {"offset", pkg.offset[i]}, {"size", pkg.directory.elementSize[i]}};
        if (i == PKG_LAUNCHER || i == PKG_UNZIP)
            element["program"] = describe(i == PKG_LAUNCHER ? pkg.launcher : pkg.unzip);
        elements.push_back(std::move(element));
    }

    Json records = Json::array();
    for (const CommandRecord &rec : pkg.records)
        records.push_back({{"distribution", rec.distribution},
                           {"distributionName", distributionLabel(rec.distribution)},
                           {"release", rec.release},
                           {"architecture", rec.architecture},
                           {"architectureName", architectureLabel(rec.architecture)},
                           {"command", std::string(rec.command)},
                           {"arguments", std::string(rec.arguments)},
                           {"alwaysAppendArguments", rec.alwaysAppendArguments != 0},
                           {"text", recordText(rec)}});

    Json images = Json::array();
    for (const ImageVariant &image : pkg.images) {
        Json entries = Json::array();
        for (const ImageEntry &entry : image.entries) {
            char octal[16] = "";
            if (entry.hasUnixMode)
                std::snprintf(octal, sizeof octal, "%04o", unsigned(entry.mode & 07777));
            entries.push_back({{"name", entry.name},
                               {"type", entryType(entry)},
                               {"size", entry.size},
                               {"compressedSize", entry.compressedSize},
                               {"mode", std::string(octal)},
                               {"time", dosTimeText(entry.dosDateTime)}});
        }
        Json variant = {
            {"variant", image.key}, {"offset", image.offset}, {"size", image.size}, {"entries", std::move(entries)}};
        addBundleJson(bundleOf(image), variant);
        images.push_back(std::move(variant));
    }

    // null without a digest; a damaged record has neither algorithm nor
    // value, and the problems say why.
    Json digestJson = nullptr;
    if (digest.digest.text != "none")
        digestJson = {{"algorithm", digest.digest.hex.empty() ? Json() : Json("sha256")},
                      {"hex", digest.digest.hex.empty() ? Json() : Json(digest.digest.hex)}};
    writeJson({{"format", INFO_JSON_FORMAT},
               {"package", pkg.path.string()},
               {"size", pkg.fileSize},
               {"elements", std::move(elements)},
               {"imageSize", {pkg.directory.imageSize[0], pkg.directory.imageSize[1]}},
               {"commandCount", pkg.globalInfo.commandCount},
               {"strictPlatformMatch", pkg.globalInfo.strictPlatformMatch != 0},
               {"digest", std::move(digestJson)},
               {"signedBy", digest.signer.empty() ? Json() : Json(digest.signer)},
               {"settings", settingsJson(storedSettings(pkg.path, pkg.fileSize))},
               {"records", std::move(records)},
               {"images", std::move(images)},
               {"problems", pkg.problems}},
              out);
}

int runInfo(const InfoOptions &options, std::ostream &out, std::ostream &err)
{
    ProbedPackage pkg = probePackage(options.package, false);
    if (!pkg.layoutSound) {
        err << "mkportable: " << terminalText(options.package.string()) << ": " << terminalText(pkg.problems.front())
            << "\n";
        return 1;
    }
    DigestInfo digest;
    digest.digest = describePackageDigest(pkg.path, pkg.fileSize, pkg.problems);
    digest.signer = describePackageSignature(pkg.path, pkg.fileSize, pkg.problems);
    if (options.json)
        printInfoJson(pkg, digest, out);
    else
        printInfoText(pkg, digest, out);
    return 0;
}

} // namespace mkportable
