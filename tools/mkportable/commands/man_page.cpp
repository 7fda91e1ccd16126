#include "man_page.h"

#include "mkportable/support/roff_text.h"
#include "package_man_page.h"

#include <CLI/CLI.hpp>
#include <cctype>

namespace mkportable {

namespace {

// What a page says beyond the options: a paragraph per line of `description`
// and, for some, sections of their own ("TITLE\ntext").
struct PageText {
    const char *subcommand; // empty for the overview page
    const char *synopsis;
    const char *description;
    const char *sections;
};

const PageText PAGES[] = {
    {"", "\\fBmkportable\\fR \\fISUBCOMMAND\\fR [\\fIOPTIONS\\fR]",
     "mkportable builds, shows and checks self-extracting portable packages. A package is one "
     "executable file: a small statically linked launcher with, appended behind it, an unzip "
     "utility, a global-information record, a table of command records and a zip image of the "
     "tool. Started on a machine, the package picks the command record made for the machine, "
     "unpacks the image into a fresh directory under /tmp, runs the tool with the operator's "
     "arguments and removes the directory again.\n"
     "The subcommands are \\fBbuild\\fR (see \\fBmkportable-build\\fR(1)), \\fBinfo\\fR "
     "(\\fBmkportable-info\\fR(1)), \\fBverify\\fR (\\fBmkportable-verify\\fR(1)), \\fBsign\\fR "
     "(\\fBmkportable-sign\\fR(1)), \\fBkey generate\\fR (\\fBmkportable-key\\fR(1)) and "
     "\\fBtry\\fR (\\fBmkportable-try\\fR(1)); \\fBman\\fR prints these pages. The manifest that "
     "describes a package is in \\fBmkportable-manifest\\fR(5), how to run a package in "
     "\\fBportable-package\\fR(1).",
     "FILES\n"
     "\\fIPREFIX\\fR/libexec/mkportable/x86_64/, \\fIPREFIX\\fR/libexec/mkportable/i386/ "
     "and, for ARM packages, \\fIPREFIX\\fR/libexec/mkportable/aarch64/ hold the launchers and unzip utilities that "
     "packages carry; mkportable takes them from "
     "there unless told otherwise. The platform library for tools is "
     "\\fIPREFIX\\fR/lib/x86_64-linux-gnu/libmkportable-platform.a, for 32-bit tools "
     "\\fIPREFIX\\fR/lib32/libmkportable-platform.a, each with a pkgconfig/ folder beside it, with its header "
     "\\fIPREFIX\\fR/include/mkportable/osspecific.h, the pkg-config module "
     "\\fBmkportable-platform\\fR and the CMake package \\fBmkportable\\fR."},
    {"build",
     "\\fBmkportable build\\fR \\fIMANIFEST\\fR [\\fB\\-o\\fR \\fIFILE\\fR] "
     "[\\fIOPTIONS\\fR]\n"
     "\\fBmkportable build\\fR \\fB\\-o\\fR \\fIFILE\\fR \\fB\\-\\-image\\fR "
     "\\fIDIR\\fR|\\fIZIP\\fR \\fB\\-\\-command\\fR \\fICMD\\fR [\\fIOPTIONS\\fR]",
     "Packs a tool into a package, described by a TOML manifest or, for a package with one "
     "command record, by options. The image is a directory, zipped reproducibly (sorted "
     "entries, one time stamp, Unix modes kept), or a ready zip archive packed as it is. The "
     "package is written beside its final name and renamed into place, so a failed build "
     "leaves any earlier package untouched.\n"
     "\\fB\\-\\-bundle\\fR (the manifest's \\fBbundle\\fR list) names dynamic ELF programs of "
     "the image. mkportable finds the shared libraries each one needs, its whole dependency "
     "closure, as this machine's dynamic loader would (RPATH, RUNPATH, LD_LIBRARY_PATH, "
     "/etc/ld.so.conf and the system folders), without running the program, and puts them, "
     "the dynamic loader and with it the C library into the image's lib/ folder. The program "
     "is moved aside and replaced by a small sh script that starts it through the bundled "
     "loader with lib/ as the library path, so the record's command is written as usual and "
     "the tool runs on machines that have none of those libraries. Modules that a program "
     "loads at run time by name (NSS modules, iconv's gconv modules, plugins) are not in its "
     "dependency list and are not bundled; a program started through the loader sees the "
     "loader as /proc/self/exe. A shared object named there (a plugin, a Python extension "
     "module) gets its libraries and no script; \\fBall\\fR bundles every ELF file of the "
     "image. \\fB\\-\\-exclude\\fR (the manifest's \\fBexclude\\fR list) leaves out of a "
     "directory image every name that matches a pattern, and everything below a matching "
     "folder.\n"
     "A record's command that starts a file of the image (./tool, bin/tool) must find it "
     "there, executable or at the image's top, and of the record's architecture when it is "
     "an ELF program. A pipeline in a command gets a warning; set-user-ID and set-group-ID "
     "bits are dropped, with a note for each.",
     "ENVIRONMENT\n"
     "\\fBSOURCE_DATE_EPOCH\\fR: the time stamp of every entry of a zipped directory, in "
     "seconds since 1970; without it a fixed time stamp is used.\n.PP\n"
     "\\fBMKPORTABLE_SIGNING_KEY\\fR: the secret key that signs the package when neither "
     "\\fB\\-\\-sign\\fR nor the manifest's \\fBsign\\fR names one."},
    {"info", "\\fBmkportable info\\fR [\\fB\\-\\-json\\fR] \\fIPACKAGE\\fR",
     "Shows what a package holds: the package directory, the global information, every "
     "command record in words, the image variants, every file of each image with its size, "
     "time and mode, the programs that were bundled with their libraries, and any problem "
     "found on the way.",
     ""},
    {"verify", "\\fBmkportable verify\\fR \\fIPACKAGE\\fR",
     "Checks a package as the launcher and the unzip utility will read it: element sizes "
     "against the file, the command records, the CRC and size of every image entry, and that "
     "no entry would be written outside its target directory, that the program each record "
     "starts from the image is there and executable, the digest and the signature "
     "area. It names the signer's key ID; with \\fB\\-\\-key\\fR it fails unless one of the "
     "keys given made a signature that matches the package.",
     ""},
    {"sign",
     "\\fBmkportable sign\\fR \\fIPACKAGE\\fR \\fB\\-\\-key\\fR \\fINAME.key\\fR "
     "[\\fB\\-\\-detached\\fR]",
     "Signs a package in place: a signed copy is written beside it and renamed onto it. The "
     "Ed25519 signature of the package's SHA-256 digest goes into the signature area of its "
     "digest record; the package's bytes are otherwise unchanged, and launchers that know "
     "nothing of signatures run it as before. A package whose digest record is older or "
     "damaged, or whose digest does not match, is refused; one whose record fields are all "
     "zero gets a digest record with the default settings first.\n"
     "With \\fB\\-\\-detached\\fR, PACKAGE.minisig is written too, which "
     "\\fBminisign \\-V \\-p\\fR \\fINAME.pub\\fR \\fB\\-m\\fR \\fIPACKAGE\\fR checks; "
     "without, a PACKAGE.minisig that no longer matches is removed.",
     ""},
    {"key", "\\fBmkportable key generate\\fR \\fINAME\\fR",
     "Writes a new Ed25519 key pair, \\fINAME\\fR.pub and \\fINAME\\fR.key (mode 0600), in "
     "minisign's formats; an existing file is never overwritten. A key pair made by "
     "\\fBminisign \\-G \\-W\\fR serves as well; a secret key under a password is refused "
     "(remove the password with \\fBminisign \\-C \\-W\\fR). Key IDs are shown as 16 "
     "upper-case hexadecimal digits.",
     ""},
    {"try", "\\fBmkportable try\\fR \\fIPACKAGE\\fR [\\fIARGS\\fR...]",
     "Runs a package in a root that holds only a static busybox (/bin/busybox, Debian's "
     "busybox-static), /tmp, /dev/null and the package, in private user, mount and network "
     "namespaces, so that whatever it would load from the build machine without saying so "
     "fails. Every argument after the package goes to it. The exit status is the package's, "
     "128 plus the number of a signal that ended it; 2 when the machine has no user "
     "namespaces, 125 when the root cannot be made.",
     ""},
};

// A description as a manual page's NAME line wants it: "Pack a tool." is
// "pack a tool".
std::string nameLine(std::string text)
{
    if (!text.empty())
        text[0] = char(std::tolower(static_cast<unsigned char>(text[0])));
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    return roff(text);
}

std::string upper(std::string text)
{
    for (char &c : text)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

void printOptions(const CLI::App &cmd, std::ostream &out)
{
    out << ".SH OPTIONS\n";
    for (const CLI::Option *opt : cmd.get_options()) {
        const std::string names = opt->get_name(true, true);
        if (names.empty())
            continue; // hidden
        out << ".TP\n";
        std::string line;
        for (const std::string &name : CLI::detail::split(names, ','))
            line += (line.empty() ? "" : ", ") + std::string("\\fB") + roff(name) + "\\fR";
        if (!opt->get_type_name().empty() && !opt->get_positional())
            line += " \\fI" + roff(opt->get_type_name()) + "\\fR";
        if (opt->get_positional())
            line = "\\fI" + roff(opt->get_type_name()) + "\\fR";
        out << line << "\n" << roff(opt->get_description()) << "\n";
    }
}

void printSections(const std::string &sections, std::ostream &out)
{
    if (sections.empty())
        return;
    const std::size_t end = sections.find('\n');
    out << ".SH " << sections.substr(0, end) << "\n" << sections.substr(end + 1) << "\n";
}

} // namespace

CLI::App *addManCommand(CLI::App &app, std::string &page)
{
    CLI::App *cmd = app.add_subcommand("man", "Print a manual page in roff (the build installs them)");
    cmd->add_option("page", page, "mkportable, mkportable-SUBCOMMAND or portable-package")->required();
    return cmd;
}

bool printManPage(const CLI::App &app, const std::string &page, std::ostream &out)
{
    if (page == "portable-package") {
        printPackageManPage(out);
        return true;
    }
    for (const PageText &text : PAGES) {
        const std::string sub = text.subcommand;
        if (page != (sub.empty() ? "mkportable" : "mkportable-" + sub))
            continue;
        const CLI::App &cmd = sub.empty() ? app : *app.get_subcommand(sub);
        out << ".TH " << upper(roff(page)) << " 1 \"\" \"mkportable\" \"mkportable manual\"\n"
            << ".SH NAME\n"
            << roff(page) << " \\- " << nameLine(cmd.get_description()) << "\n"
            << ".SH SYNOPSIS\n";
        const std::string synopsis = text.synopsis;
        std::size_t start = 0;
        for (std::size_t end; (end = synopsis.find('\n', start)) != std::string::npos; start = end + 1)
            out << synopsis.substr(start, end - start) << "\n.br\n";
        out << synopsis.substr(start) << "\n.SH DESCRIPTION\n";
        const std::string description = text.description;
        start = 0;
        for (std::size_t end; (end = description.find('\n', start)) != std::string::npos; start = end + 1)
            out << description.substr(start, end - start) << "\n.PP\n";
        out << description.substr(start) << "\n";
        if (sub.empty()) {
            out << ".SH SUBCOMMANDS\n";
            for (const CLI::App *s : app.get_subcommands([](const CLI::App *a) { return !a->get_group().empty(); }))
                out << ".TP\n\\fB" << roff(s->get_name()) << "\\fR\n" << roff(s->get_description()) << "\n";
        } else {
            printOptions(cmd, out);
        }
        const std::string footer = cmd.get_footer();
        if (!footer.empty())
            out << ".SH EXAMPLES\n.nf\n" << roff(footer) << "\n.fi\n";
        printSections(text.sections, out);
        out << ".SH EXIT STATUS\n"
               "0 on success; 1 when the inputs cannot make a package, the package cannot be "
               "read, or verify found a problem; 2 when the command line itself is wrong.\n"
               ".SH SEE ALSO\n"
               "\\fBmkportable\\fR(1), \\fBmkportable-build\\fR(1), \\fBmkportable-info\\fR(1), "
               "\\fBmkportable-verify\\fR(1), \\fBmkportable-sign\\fR(1), \\fBmkportable-key\\fR(1), "
               "\\fBmkportable-try\\fR(1), \\fBmkportable-manifest\\fR(5), \\fBminisign\\fR(1), "
               "\\fBportable-package\\fR(1)\n";
        return true;
    }
    return false;
}

} // namespace mkportable
