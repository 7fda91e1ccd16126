#include "package_man_page.h"

#include "help_definitions.h"
#include "mkportable/support/roff_text.h"
#include "platform_table.h"

#include <span>
#include <string>

namespace mkportable {

namespace {

// One tagged paragraph per entry: the name in bold, its argument in italics.
void printEntries(std::span<const HelpEntry> entries, std::ostream &out)
{
    for (const HelpEntry &e : entries) {
        out << ".TP\n" << roffBold(e.name);
        if (e.argument[0] != '\0')
            out << " \\fI" << roff(e.argument) << "\\fR";
        out << "\n" << roff(e.detail) << "\n";
    }
}

// "1 Windows (windows), 2 SuSE (suse), ..." from code 1 on: code 0 is what
// identification gives when it finds nothing.
template <std::size_t N>
std::string codeList(const PlatformCodeText (&codes)[N])
{
    std::string list;
    for (std::size_t i = 1; i < N; ++i)
        list += (i > 1 ? ", " : "") + std::to_string(codes[i].code) + " " + codes[i].label + " (" + codes[i].name + ")";
    return roff(list);
}

} // namespace

void printPackageManPage(std::ostream &out)
{
    // .nh: names such as TMPDIR and --extract are never hyphenated.
    out << ".TH PORTABLE-PACKAGE 1 \"\" \"mkportable\" \"mkportable manual\"\n"
           ".nh\n"
           ".SH NAME\n"
           "portable-package \\- run a tool packed by mkportable\n"
           ".SH SYNOPSIS\n"
           "\\fIPACKAGE\\fR [\\fIARGS\\fR...]\n";
    for (std::span<const HelpEntry> options : {SELF_HELP_OPTIONS, LAUNCHER_OPTIONS})
        for (const HelpEntry &e : options)
            out << ".br\n\\fIPACKAGE\\fR " << roffBold(e.name)
                << (e.argument[0] ? " \\fI" + roff(e.argument) + "\\fR" : "") << "\n";
    out << ".SH DESCRIPTION\n"
           "A package is one executable file that carries a tool for Intel Linux machines, 32- or 64-bit. "
           "Started, it reads the package at the end of its own file, identifies the machine (distribution, "
           "release, architecture), picks the first command record made for it, unpacks the tool into a fresh "
           "directory portable_install_\\fIXXXXXXXX\\fR (mode 0700) under \\fBTMPDIR\\fR or /tmp, runs the "
           "record's command there through \\fBsh\\fR(1) with \\fIARGS\\fR appended, each as one word byte for "
           "byte, and removes the directory when the tool ends or the operator interrupts it.\n"
           ".PP\n"
           "When no record matches the machine, the package warns; a strict package then stops, any other "
           "pauses five seconds and runs the first record. Which launches may run at once is the package's "
           "choice: a package without settings takes the machine's one guard, the POSIX named semaphore "
           "QUARNTELV, and a second launch is refused.\n"
           ".SH OPTIONS\n"
           "Each of these counts only as the whole command line.\n";
    printEntries(SELF_HELP_OPTIONS, out);
    printEntries(LAUNCHER_OPTIONS, out);
    out << ".PP\nEvery other command line goes to the tool.\n"
           ".SH ENVIRONMENT\n";
    printEntries(LAUNCHER_ENVIRONMENT, out);
    out << ".PP\nThe tool gets:\n";
    printEntries(TOOL_ENVIRONMENT, out);
    out << ".SH EXIT STATUS\n"
           "The tool's exit status, or 128 plus the signal number when a signal killed it; 0 after "
           "\\fB\\-\\-extract\\fR or \\fB\\-semdestroy\\fR; 1 when the package itself failed (a damaged file, "
           "no room for the working directory, a second instance, a strict platform mismatch), was refused by "
           "the machine's signature policy, or was interrupted outside the tool; 255 when the "
           "\\fB\\-\\-extract\\fR directory cannot be made.\n"
           ".PP\n"
           "\\fB\\-\\-portable\\-check\\fR ends with one of these statuses, and its last line says which:\n";
    for (const CheckStatusText &s : CHECK_STATUSES)
        out << ".TP\n\\fB" << s.status << "\\fR: " << roff(s.lastLine) << "\n" << roff(s.meaning) << "\n";
    out << ".SH PLATFORM CODES\n"
           "Command records name the machine they are made for with these codes; \\-1 in a field means any.\n"
           ".TP\nDistribution\n"
        << codeList(DISTRIBUTION_CODES) << "\n.TP\nArchitecture\n"
        << codeList(ARCHITECTURE_CODES)
        << "\n.TP\nRelease\n"
           "the distribution's major release number (Ubuntu 22.04 is 22)\n"
           ".PP\n"
           "SuSE and Red Hat are recognised by their release files, current machines by the \\fBID\\fR of "
           "/etc/os-release (or the first word of \\fBID_LIKE\\fR that names a known family) and the major of "
           "its \\fBVERSION_ID\\fR. \\fBmkportable info\\fR \\fIPACKAGE\\fR shows the records of a package in "
           "words.\n"
           ".SH FILES\n"
           ".TP\n"
           "/tmp/portable_install_\\fIXXXXXXXX\\fR\n"
           "The working directory of one run, removed afterwards.\n"
           ".TP\n"
           "/dev/shm/sem.QUARNTELV\n"
           "The machine's instance guard while a package that takes it runs.\n"
           ".TP\n"
           "/etc/quarn\\-portable/policy\n"
           "The machine's signature policy: one keyword a line, \\fB#\\fR starts a comment. "
           "\\fBrequire\\-signature\\fR refuses every launch and every \\fB\\-\\-extract\\fR of a package that "
           "no trusted key signed, or whose signature or digest does not match. A line that is no keyword, or a "
           "file that cannot be read, refuses every launch. For root, it counts only when root owns it and "
           "neither group nor others may write it (else every launch is refused).\n"
           ".TP\n"
           "/etc/quarn\\-portable/trusted\\-keys/*.pub\n"
           "The minisign public keys this machine trusts. For root, a key that root does not own, or that group "
           "or others may write, is named and skipped.\n"
           ".SH SEE ALSO\n"
           "\\fBmkportable\\fR(1), \\fBmkportable\\-build\\fR(1), \\fBmkportable\\-info\\fR(1), "
           "\\fBmkportable\\-manifest\\fR(5)\n";
}

} // namespace mkportable
