// The package manifest: a TOML file that describes a package.
//
//   output = "dist/tool.run"        # optional; -o wins
//   strict = false                  # optional
//   launcher = "..."                # optional; default: the one beside mkportable
//   unzip = "..."                   # optional; likewise
//   level = 6                       # optional; 0 (stored) to 12; --level wins
//   image = "tool"                  # a directory to zip, or a ready zip archive
//   # or, for a dual-image package:
//   # image = { i386 = "tool-32", x86_64 = "tool-64" }
//   bundle = ["bin/tool"]           # optional; programs to bundle with their libraries
//   external_links = "copy"         # optional; pack what refused links point to
//   sign = "keys/release.key"       # optional; the secret key that signs it; --sign wins
//
//   [[record]]                      # one or more, in the order the launcher scans them
//   distribution = "suse"           # name, code or "any"; default any
//   release = 11                    # number or "any"; default any
//   architecture = "x86_64"         # name, code or "any"; default any
//   command = "./tool.sh"           # required
//   arguments = "--batch"           # default ""
//   always_append = false           # default false
//
// Relative paths are taken from the manifest's own folder.
#ifndef MKPORTABLE_MANIFEST_H
#define MKPORTABLE_MANIFEST_H

#include "package_plan.h"

#include <filesystem>
#include <string_view>

namespace mkportable {

// Reads the manifest at `file`. Throws PackError with "FILE:LINE:COLUMN: "
// before the message for every mistake it finds in the text: a TOML syntax
// error, an unknown key, a value of the wrong type or out of range, an
// unknown distribution or architecture name, a missing command, a record
// that validateCommand refuses, an image table without both variants.
PackagePlan readManifest(const std::filesystem::path &file);

// The keys a manifest may hold, and those of each [[record]]; any other key
// is refused.
inline constexpr std::string_view MANIFEST_KEYS[] = {
    "output", "strict",  "launcher",       "unzip", "image",    "bundle",  "exclude",
    "record", "level",   "external_links", "guard", "progress", "signals", "working_directory",
    "name",   "version", "summary",        "cache", "sign",     "target"};
inline constexpr std::string_view RECORD_KEYS[] = {"distribution", "release",   "architecture",
                                                   "command",      "arguments", "always_append"};

// The same for manifest text already in memory; `file` names it in
// messages and anchors relative paths.
PackagePlan parseManifest(std::string_view text, const std::filesystem::path &file);

} // namespace mkportable

#endif
