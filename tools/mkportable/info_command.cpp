#include "info_command.h"

#include "json_writer.h"
#include "package_digest.h"
#include "terminal_text.h"
#include "library_bundle.h"
#include "platform_codes.h"

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

void printBundleText(const BundleListing &bundle, std::ostream &out)
{
    if (bundle.programs.empty())
        return;
    out << "  bundled programs: " << joined(bundle.programs) << "\n"
        << "  started through:  " << joined(bundle.loaders) << "\n"
        << "  with libraries:   " << joined(bundle.libraries) << "\n";
}

// Only for an image with bundled programs, so that other images read as before.
void printBundleJson(const BundleListing &bundle, JsonWriter &json)
{
    if (bundle.programs.empty())
        return;
    json.key("bundled");
    json.beginObject();
    for (const auto &[key, list] : {std::pair{"programs", &bundle.programs},
                                    std::pair{"loaders", &bundle.loaders},
                                    std::pair{"libraries", &bundle.libraries}}) {
        json.key(key);
        json.beginArray();
        for (const std::string &item : *list)
            json.value(item);
        json.endArray();
    }
    json.endObject();
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

void printInfoText(const ProbedPackage &pkg, const std::string &digest, std::ostream &out)
{
    const PackageDirectory &dir = pkg.directory;
    out << "Package " << pkg.path.string() << ", " << pkg.fileSize << " bytes\n"
        << "Directory:\n";
    for (int i = 0; i < PKG_ELEMENT_COUNT; ++i) {
        char name[24];
        std::snprintf(name, sizeof name, "%-16s", elementName(i));
        out << "  element " << i << "  " << name << column(dir.elementSize[i], 10)
            << " bytes at " << pkg.offset[i];
        if (i == PKG_LAUNCHER)
            out << "  (" << describe(pkg.launcher) << ")";
        if (i == PKG_UNZIP)
            out << "  (" << describe(pkg.unzip) << ")";
        out << "\n";
    }
    if (pkg.images.size() == 2)
        out << "  image variants: Intel 32-bit " << dir.imageSize[0] << " bytes, Intel 64-bit "
            << dir.imageSize[1] << " bytes\n";
    else
        out << "  image variants: none, one image for every machine\n";

    const GlobalInfo &info = pkg.globalInfo;
    out << "Global info:\n  " << info.commandCount << " command record"
        << (info.commandCount == 1 ? "" : "s") << ", "
        << (info.strictPlatformMatch ? "strict platform match (a machine that matches no record "
                                       "is refused)"
                                     : "lenient platform match (on a mismatch: warning, 5-second "
                                       "pause, record 0)")
        << "\n";

    out << "Digest:\n  " << digest << "\n";

    out << "Command records:\n";
    for (std::size_t i = 0; i < pkg.records.size(); ++i) {
        const CommandRecord &rec = pkg.records[i];
        out << "  " << i << "  " << terminalText(recordText(rec)) << "\n";
        if (rec.arguments[0] != '\0')
            out << "     arguments: " << terminalText(rec.arguments) << " (" << argumentsNote(rec)
                << ")\n";
    }

    for (const ImageVariant &image : pkg.images) {
        std::string title = image.label;
        title[0] = char(std::toupper(static_cast<unsigned char>(title[0])));
        out << title << ", " << image.entries.size() << " entr"
            << (image.entries.size() == 1 ? "y" : "ies") << ":\n";
        for (const ImageEntry &entry : image.entries)
            out << "  " << column(entry.size, 10) << "  " << dosTimeText(entry.dosDateTime)
                << "  " << entryMode(entry) << "  " << terminalText(entry.name) << "\n";
        printBundleText(bundleOf(image), out);
    }

    if (!pkg.problems.empty()) {
        out << "Problems:\n";
        for (const std::string &problem : pkg.problems)
            out << "  " << terminalText(problem) << "\n";
    }
}

void printInfoJson(const ProbedPackage &pkg, const std::string &digest, std::ostream &out)
{
    JsonWriter json(out);
    json.beginObject();
    json.key("package");
    json.value(pkg.path.string());
    json.key("size");
    json.value(std::int64_t(pkg.fileSize));

    json.key("elements");
    json.beginArray();
    for (int i = 0; i < PKG_ELEMENT_COUNT; ++i) {
        json.beginObject();
        json.key("index");
        json.value(std::int64_t(i));
        json.key("name");
        json.value(elementName(i));
        json.key("offset");
        json.value(std::int64_t(pkg.offset[i]));
        json.key("size");
        json.value(std::int64_t(pkg.directory.elementSize[i]));
        if (i == PKG_LAUNCHER || i == PKG_UNZIP) {
            json.key("program");
            json.value(describe(i == PKG_LAUNCHER ? pkg.launcher : pkg.unzip));
        }
        json.endObject();
    }
    json.endArray();
    json.key("imageSize");
    json.beginArray();
    json.value(std::int64_t(pkg.directory.imageSize[0]));
    json.value(std::int64_t(pkg.directory.imageSize[1]));
    json.endArray();

    json.key("commandCount");
    json.value(std::int64_t(pkg.globalInfo.commandCount));
    json.key("strictPlatformMatch");
    json.value(pkg.globalInfo.strictPlatformMatch != 0);

    json.key("digest");
    json.value(digest);

    json.key("records");
    json.beginArray();
    for (const CommandRecord &rec : pkg.records) {
        json.beginObject();
        json.key("distribution");
        json.value(std::int64_t(rec.distribution));
        json.key("distributionName");
        json.value(distributionLabel(rec.distribution));
        json.key("release");
        json.value(std::int64_t(rec.release));
        json.key("architecture");
        json.value(std::int64_t(rec.architecture));
        json.key("architectureName");
        json.value(architectureLabel(rec.architecture));
        json.key("command");
        json.value(rec.command);
        json.key("arguments");
        json.value(rec.arguments);
        json.key("alwaysAppendArguments");
        json.value(rec.alwaysAppendArguments != 0);
        json.key("text");
        json.value(recordText(rec));
        json.endObject();
    }
    json.endArray();

    json.key("images");
    json.beginArray();
    for (const ImageVariant &image : pkg.images) {
        json.beginObject();
        json.key("variant");
        json.value(image.key);
        json.key("offset");
        json.value(std::int64_t(image.offset));
        json.key("size");
        json.value(std::int64_t(image.size));
        json.key("entries");
        json.beginArray();
        for (const ImageEntry &entry : image.entries) {
            json.beginObject();
            json.key("name");
            json.value(entry.name);
            json.key("type");
            json.value(entryType(entry));
            json.key("size");
            json.value(std::int64_t(entry.size));
            json.key("compressedSize");
            json.value(std::int64_t(entry.compressedSize));
            json.key("mode");
            if (entry.hasUnixMode) {
                char octal[16];
                std::snprintf(octal, sizeof octal, "%04o", unsigned(entry.mode & 07777));
                json.value(octal);
            } else {
                json.value("");
            }
            json.key("time");
            json.value(dosTimeText(entry.dosDateTime));
            json.endObject();
        }
        json.endArray();
        printBundleJson(bundleOf(image), json);
        json.endObject();
    }
    json.endArray();

    json.key("problems");
    json.beginArray();
    for (const std::string &problem : pkg.problems)
        json.value(problem);
    json.endArray();
    json.endObject();
}

int runInfo(const InfoOptions &options, std::ostream &out, std::ostream &err)
{
    ProbedPackage pkg = probePackage(options.package, false);
    if (!pkg.layoutSound) {
        err << "mkportable: " << options.package.string() << ": " << pkg.problems.front()
            << "\n";
        return 1;
    }
    const std::string digest = describePackageDigest(pkg.path, pkg.fileSize, pkg.problems);
    if (options.json)
        printInfoJson(pkg, digest, out);
    else
        printInfoText(pkg, digest, out);
    return 0;
}

} // namespace mkportable
