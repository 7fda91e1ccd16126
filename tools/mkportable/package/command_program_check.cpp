#include "command_program_check.h"

#include "mkportable/bundle/library_bundle.h"
#include "mkportable/bundle/program_kind.h"
#include "mkportable/support/terminal_text.h"
#include "osspecific.h"
#include "pack_error.h"
#include "platform_table.h"
#include "unique_fd.h"

#include <cerrno>
#include <elf.h>
#include <fcntl.h>
#include <map>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace mkportable {

namespace {

// Links followed before the check gives up, as the kernel does.
constexpr int MAX_LINK_HOPS = 40;
// What ends a word for the shell.
constexpr std::string_view WORD_ENDS = " \t;&|<>()";
// What the shell would expand or unquote in a word: the file it names
// cannot be known from the text.
constexpr std::string_view SHELL_SPECIAL = "'\"$`\\*?[]{}~=";

std::string_view skipBlanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    return text;
}

std::string_view takeWord(std::string_view &text)
{
    std::size_t end = text.find_first_of(WORD_ENDS);
    if (end == std::string_view::npos)
        end = text.size();
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(end);
    return word;
}

// `path` with "." and empty parts dropped and ".." taken back; nothing when
// it climbs above the top.
std::optional<std::string> normalPath(std::string_view path)
{
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        std::size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (parts.empty())
                return std::nullopt;
            parts.pop_back();
        } else {
            parts.push_back(part);
        }
    }
    std::string joined;
    for (std::string_view part : parts)
        joined += (joined.empty() ? "" : "/") + std::string(part);
    if (joined.empty())
        return std::nullopt;
    return joined;
}

std::string parentOf(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// The ELF class and machine that a record's architecture runs; bits 0 for
// a record that names no machine that packages are made for.
ProgramKind wantedKind(std::int32_t architecture)
{
    if (architecture == PFM_ARCH_INTEL32)
        return {true, 32, EM_386};
    if (architecture == PFM_ARCH_INTEL64)
        return {true, 64, EM_X86_64};
    if (architecture == PFM_ARCH_ARM64)
        return {true, 64, EM_AARCH64};
    return {};
}

ProgramKind fileKind(const std::filesystem::path &file)
{
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.valid() ? programKind(fd.get(), 0) : ProgramKind{};
}

bool servesRecord(std::int32_t architecture, std::size_t imageIndex, std::size_t imageCount)
{
    if (imageCount < 2 || architecture == PFM_ANY)
        return true;
    return architecture == (imageIndex == 0 ? PFM_ARCH_INTEL32 : PFM_ARCH_INTEL64);
}

} // namespace

std::optional<std::string> commandProgramPath(const std::string &command)
{
    std::string_view rest = skipBlanks(command);
    std::string dir;
    if (rest.starts_with("cd ") || rest.starts_with("cd\t")) {
        rest = skipBlanks(rest.substr(3));
        const std::string_view word = takeWord(rest);
        rest = skipBlanks(rest);
        if (word.empty() || word.find_first_of(SHELL_SPECIAL) != std::string_view::npos || word[0] == '/')
            return std::nullopt;
        if (rest.starts_with("&&"))
            rest.remove_prefix(2);
        else if (rest.starts_with(";") || rest.starts_with("&"))
            rest.remove_prefix(1);
        else
            return std::nullopt;
        dir = std::string(word) + "/";
        rest = skipBlanks(rest);
    }
    const std::string_view word = takeWord(rest);
    if (word.empty() || word[0] == '/' || word.find('/') == std::string_view::npos ||
        word.find_first_of(SHELL_SPECIAL) != std::string_view::npos)
        return std::nullopt;
    return normalPath(dir + std::string(word));
}

ProgramLookup findCommandProgram(const std::string &path, const std::vector<ImageFile> &files)
{
    std::map<std::string_view, const ImageFile *> byName;
    for (const ImageFile &file : files)
        byName[file.name] = &file;
    std::string at = path;
    bool topLevel = false;
    for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
        topLevel = topLevel || at.find('/') == std::string::npos;
        const auto found = byName.find(at);
        if (found == byName.end())
            return {byName.count(at + "/") != 0 ? "is a folder" : "is not in the image", nullptr};
        const ImageFile &file = *found->second;
        if (file.kind == EntryKind::File) {
            if (file.modeKnown && (file.mode & 0111) == 0 && !topLevel)
                return {"is not executable: give it the x bit, or start it through its interpreter", &file};
            return {"", &file};
        }
        if (!file.targetKnown)
            return {"", nullptr};
        const std::optional<std::string> next = file.target.starts_with("/") ? std::nullopt
                                                                             : normalPath(parentOf(at) + file.target);
        if (!next)
            return {"is a link that leads out of the image", nullptr};
        at = *next;
    }
    return {"is a chain of links too long to follow", nullptr};
}

std::vector<ImageFile> imageFiles(const std::vector<TreeEntry> &entries)
{
    std::vector<ImageFile> files;
    for (const TreeEntry &entry : entries) {
        ImageFile file{entry.name, entry.kind, entry.mode, true, false, {}, entry.source};
        if (entry.kind == EntryKind::Symlink && !entry.source.empty()) {
            std::string target(entry.size + 1, '\0');
            const ssize_t got = readlink(entry.source.c_str(), target.data(), target.size());
            if (got < 0)
                throwSystemError("readlink(" + entry.source.string() + ")", errno);
            target.resize(std::size_t(got));
            file.target = target;
            file.targetKnown = true;
        }
        files.push_back(std::move(file));
    }
    return files;
}

std::vector<ImageFile> zipImageFiles(const std::vector<ImageEntry> &entries)
{
    std::vector<ImageFile> files;
    for (const ImageEntry &entry : entries) {
        ImageFile file{entry.name, EntryKind::File, entry.mode, entry.hasUnixMode, false, {}, {}};
        if (entry.name.ends_with("/") || (entry.hasUnixMode && S_ISDIR(entry.mode)))
            file.kind = EntryKind::Directory;
        else if (entry.hasUnixMode && S_ISLNK(entry.mode))
            file.kind = EntryKind::Symlink;
        files.push_back(std::move(file));
    }
    return files;
}

std::vector<std::string> commandProgramProblems(const std::vector<CommandEntry> &commands,
                                                const std::vector<ImageFile> &files, std::size_t imageIndex,
                                                std::size_t imageCount, std::int32_t packageMachine)
{
    std::vector<std::string> problems;
    std::vector<std::string> names;
    std::map<std::string, const ImageFile *> byName;
    for (const ImageFile &file : files) {
        names.push_back(file.name);
        byName[file.name] = &file;
    }
    const std::vector<std::string> bundled = listBundle(names).programs;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const CommandEntry &cmd = commands[i];
        if (!servesRecord(cmd.architecture, imageIndex, imageCount))
            continue;
        const std::string record = "command record " + std::to_string(i);
        const std::int32_t architecture = cmd.architecture == PFM_ANY && packageMachine == PFM_ARCH_ARM64
                                              ? packageMachine
                                              : cmd.architecture;
        const ProgramKind wanted = wantedKind(architecture);
        // The ELF file `name` (the program behind a bundle wrapper when
        // there is one) must be of the record's machine.
        auto checkMachine = [&](const std::string &name, const ImageFile *file) {
            if (const auto moved = byName.find(movedProgramName(name)); moved != byName.end())
                file = moved->second;
            if (wanted.bits == 0 || file == nullptr || file->source.empty())
                return;
            const ProgramKind kind = fileKind(file->source);
            if (kind.elf && (kind.bits != wanted.bits || kind.machine != wanted.machine))
                problems.push_back(record + " is made for " + findArchitectureCode(architecture)->name +
                                   " machines, but " + terminalText(name) + " is a program for " + describe(kind));
        };
        if (const std::optional<std::string> path = commandProgramPath(cmd.command)) {
            const ProgramLookup found = findCommandProgram(*path, files);
            if (!found.problem.empty())
                problems.push_back(record + " starts " + terminalText(*path) + ", which " + found.problem);
            else
                checkMachine(*path, found.file);
        }
        for (const std::string &program : bundled)
            checkMachine(program, nullptr);
    }
    return problems;
}

void warnAboutPipelines(const std::vector<CommandEntry> &commands, std::ostream &err)
{
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const std::string &text = commands[i].command;
        char quote = 0;
        bool pipe = false;
        for (std::size_t at = 0; at < text.size() && !pipe; ++at) {
            const char c = text[at];
            if (quote == '\'') {
                quote = c == '\'' ? 0 : quote;
            } else if (c == '\\') {
                ++at;
            } else if (quote == '"') {
                quote = c == '"' ? 0 : quote;
            } else if (c == '\'' || c == '"') {
                quote = c;
            } else {
                pipe = c == '|';
            }
        }
        if (pipe)
            err << "mkportable: warning: command record " << i << " is a pipeline or a '||' list ("
                << terminalText(text) << "): the operator's arguments go to its last command only\n";
    }
}

} // namespace mkportable
