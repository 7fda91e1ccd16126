#include "manifest.h"

#include "input_file.h"
#include "mkportable/bundle/library_bundle.h"
#include "pack_error.h"
#include "package_settings_text.h"
#include "platform_codes.h"

#include <limits>
#include <span>
#include <toml++/toml.h>

namespace mkportable {

namespace {

// Turns node positions into "FILE:LINE:COLUMN: " message prefixes.
class Reader {
public:
    explicit Reader(const std::filesystem::path &file) : file_(file) {}

    [[noreturn]] void fail(const toml::source_region &where, const std::string &message) const
    {
        throw PackError(file_.string() + ":" + std::to_string(where.begin.line) + ":" +
                        std::to_string(where.begin.column) + ": " + message);
    }

    // Refuses keys of `table` that are not in `known`: a misspelt key must
    // not silently fall back to a default.
    void checkKeys(const toml::table &table, std::span<const std::string_view> known, const std::string &context) const
    {
        for (const auto &[key, node] : table) {
            bool ok = false;
            std::string list;
            for (std::string_view k : known) {
                ok = ok || key.str() == k;
                list += (list.empty() ? "" : ", ") + std::string(k);
            }
            if (!ok)
                fail(key.source(), "unknown key '" + std::string(key.str()) + "'" + context + " (known: " + list + ")");
        }
    }

    std::string string(const toml::node &node, const std::string &what) const
    {
        if (const auto *v = node.as_string())
            return v->get();
        fail(node.source(), what + " must be a string");
    }

    bool boolean(const toml::node &node, const std::string &what) const
    {
        if (const auto *v = node.as_boolean())
            return v->get();
        fail(node.source(), what + " must be true or false");
    }

    // "FILE:LINE:COLUMN" of `node`.
    std::string origin(const toml::node &node) const
    {
        const toml::source_position &at = node.source().begin;
        return file_.string() + ":" + std::to_string(at.line) + ":" + std::to_string(at.column);
    }

    std::filesystem::path path(const toml::node &node, const std::string &what) const
    {
        const std::string text = string(node, what);
        if (text.empty())
            fail(node.source(), what + " is empty");
        return file_.parent_path() / text;
    }

    // A release: a whole number, or "any".
    std::int32_t release(const toml::node &node) const
    {
        const auto *s = node.as_string();
        if (s && parseRelease(s->get()) == PFM_ANY)
            return PFM_ANY;
        if (s || !node.as_integer())
            fail(node.source(), "release must be a whole number or \"any\"");
        return number(node, "release", std::numeric_limits<std::int32_t>::max());
    }

    std::int32_t number(const toml::node &node, const std::string &what, std::int32_t max) const
    {
        const auto *v = node.as_integer();
        if (v == nullptr)
            fail(node.source(), what + " must be a whole number");
        if (v->get() < 0 || v->get() > max)
            fail(node.source(),
                 what + " " + std::to_string(v->get()) + " is out of range (0 to " + std::to_string(max) + ")");
        return std::int32_t(v->get());
    }

    std::int32_t code(const toml::node &node, std::optional<std::int32_t> (*parse)(std::string_view),
                      const std::string &what, const std::string &choices) const
    {
        std::string text;
        if (const auto *s = node.as_string())
            text = s->get();
        else if (const auto *i = node.as_integer())
            text = std::to_string(i->get());
        else
            fail(node.source(), what + " must be a name or a code");
        if (auto parsed = parse(text))
            return *parsed;
        fail(node.source(), "unknown " + what + " '" + text + "' (expected " + choices + ")");
    }

private:
    std::filesystem::path file_;
};

CommandEntry readRecord(const Reader &r, const toml::table &table, std::size_t index)
{
    const std::string context = " in record " + std::to_string(index);
    r.checkKeys(table, RECORD_KEYS, context);
    CommandEntry entry;
    if (const toml::node *n = table.get("distribution"))
        entry.distribution = r.code(*n, parseDistribution, "distribution", distributionChoices());
    if (const toml::node *n = table.get("release"))
        entry.release = r.release(*n);
    if (const toml::node *n = table.get("architecture"))
        entry.architecture = r.code(*n, parseArchitecture, "architecture", architectureChoices());
    const toml::node *command = table.get("command");
    if (command == nullptr)
        r.fail(table.source(), "record " + std::to_string(index) + " has no command");
    entry.command = r.string(*command, "command");
    if (const toml::node *n = table.get("arguments"))
        entry.arguments = r.string(*n, "arguments");
    if (const toml::node *n = table.get("always_append"))
        entry.alwaysAppendArguments = r.boolean(*n, "always_append");
    try {
        validateCommand(entry, index);
    } catch (const PackError &e) {
        r.fail(command->source(), e.what());
    }
    return entry;
}

void readImage(const Reader &r, const toml::node &node, PackagePlan &plan)
{
    if (node.is_string()) {
        plan.images = {r.path(node, "image")};
        plan.imageOrigins = {r.origin(node)};
        return;
    }
    const toml::table *variants = node.as_table();
    if (variants == nullptr)
        r.fail(node.source(), "image must be a path, or a table of two paths, i386 and x86_64");
    constexpr std::string_view IMAGE_KEYS[] = {"i386", "x86_64"};
    r.checkKeys(*variants, IMAGE_KEYS, " in image");
    for (const char *arch : {"i386", "x86_64"}) {
        const toml::node *variant = variants->get(arch);
        if (variant == nullptr)
            r.fail(node.source(), std::string("a dual-image package needs both images, i386 and "
                                              "x86_64; ") +
                                      arch + " is missing");
        plan.images.push_back(r.path(*variant, std::string("image ") + arch));
        plan.imageOrigins.push_back(r.origin(*variant));
    }
}

// A list of strings, each passing `check` (which throws PackError naming
// `key`), appended to `out`; anything else fails with `notAList`.
void readTextList(const Reader &r, const toml::node &node, const std::string &notAList, const std::string &each,
                  void (*check)(const std::string &, const std::string &), const std::string &key,
                  std::vector<std::string> &out)
{
    const toml::array *list = node.as_array();
    if (list == nullptr)
        r.fail(node.source(), notAList);
    for (const toml::node &item : *list) {
        out.push_back(r.string(item, each));
        try {
            check(out.back(), key);
        } catch (const PackError &e) {
            r.fail(item.source(), e.what());
        }
    }
}

void readBundle(const Reader &r, const toml::node &node, PackagePlan &plan)
{
    const std::string notAList = "bundle must be \"all\" or a list of paths in the image";
    if (const auto *word = node.as_string()) {
        if (word->get() != "all")
            r.fail(node.source(), notAList);
        plan.bundleAll = true;
        return;
    }
    readTextList(r, node, notAList, "each bundle entry", checkBundlePath, "bundle", plan.bundle);
}

void readSettings(const Reader &r, const toml::table &root, PackageSettings &settings)
{
    auto read = [&](const std::vector<std::string_view> &keys, auto set) {
        for (std::string_view key : keys) {
            const toml::node *n = root.get(key);
            if (n == nullptr)
                continue;
            const std::string value = r.string(*n, std::string(key));
            try {
                set(settings, key, value);
            } catch (const PackError &e) {
                r.fail(n->source(), e.what());
            }
        }
    };
    read(settingWordKeys(), setSettingWord);
    read(settingTextKeys(), setSettingText);
    if (const toml::node *n = root.get("cache"))
        settings.cache = r.boolean(*n, "cache");
}

} // namespace

PackagePlan parseManifest(std::string_view text, const std::filesystem::path &file)
{
    const Reader r(file);
    toml::table root;
    try {
        root = toml::parse(text, file.string());
    } catch (const toml::parse_error &e) {
        r.fail(e.source(), std::string(e.description()));
    }
    r.checkKeys(root, MANIFEST_KEYS, "");

    PackagePlan plan;
    plan.manifest = file;
    if (const toml::node *n = root.get("output"))
        plan.output = r.path(*n, "output");
    if (const toml::node *n = root.get("strict"))
        plan.strictPlatformMatch = r.boolean(*n, "strict");
    if (const toml::node *n = root.get("launcher"))
        plan.launcher = r.path(*n, "launcher");
    if (const toml::node *n = root.get("unzip"))
        plan.unzip = r.path(*n, "unzip");
    if (const toml::node *n = root.get("sign"))
        plan.signingKey = r.path(*n, "sign");
    if (const toml::node *n = root.get("target")) {
        const std::optional<std::int32_t> target = parseTarget(r.string(*n, "target"));
        if (!target)
            r.fail(n->source(), "target must be x86_64, i386, arm64 or aarch64");
        plan.target = *target;
    }
    if (const toml::node *n = root.get("level"))
        plan.level = r.number(*n, "level", ZIP_LEVEL_MAX);
    readSettings(r, root, plan.settings);

    const toml::node *image = root.get("image");
    if (image == nullptr)
        r.fail(root.source(), "no image: set image to a directory or zip archive");
    readImage(r, *image, plan);
    if (const toml::node *n = root.get("bundle"))
        readBundle(r, *n, plan);
    if (const toml::node *n = root.get("exclude"))
        readTextList(r, *n, "exclude must be a list of name patterns", "each exclude pattern", checkExcludePattern,
                     "exclude", plan.exclude);
    if (const toml::node *n = root.get("external_links")) {
        if (r.string(*n, "external_links") != "copy")
            r.fail(n->source(), "external_links must be \"copy\", the only way to pack links "
                                "that miniunz would refuse");
        plan.copyExternalLinks = true;
    }

    const toml::node *records = root.get("record");
    if (records == nullptr)
        r.fail(root.source(), "no command record: add at least one [[record]] with a command");
    const toml::array *list = records->as_array();
    if (list == nullptr || !list->is_array_of_tables())
        r.fail(records->source(), "record must be an array of tables: write each as [[record]]");
    if (list->empty())
        r.fail(records->source(), "no command record: add at least one [[record]] with a command");
    for (std::size_t i = 0; i < list->size(); ++i)
        plan.commands.push_back(readRecord(r, *list->get(i)->as_table(), i));
    return plan;
}

PackagePlan readManifest(const std::filesystem::path &file)
{
    // Opened as an input file, so that a FIFO is refused, not waited on.
    const InputFile in = InputFile::open(file, "manifest");
    std::string text(in.size(), '\0');
    if (readUpTo(in.fd(), text.data(), text.size(), in.name()) != text.size())
        throw PackError(in.name() + " became shorter while it was read");
    return parseManifest(text, file);
}

} // namespace mkportable
