#include "library_bundle.h"

#include "elf_dynamic.h"
#include "mkportable/support/terminal_text.h"
#include "pack_error.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <elf.h>
#include <fstream>
#include <glob.h>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace mkportable {

namespace fs = std::filesystem;

namespace {

constexpr mode_t BUNDLED_FILE_MODE = S_IFREG | 0755;
constexpr mode_t BUNDLED_DIR_MODE = S_IFDIR | 0755;
// What the wrapper script cannot hold inside double quotes.
constexpr const char *WRAPPER_UNQUOTABLE = "\"$`\\\n";
// Include lines may nest; a file that includes itself must not loop.
constexpr int MAX_CONFIG_DEPTH = 8;

std::vector<std::string> split(const std::string &text, const char *separators)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of(separators, start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

void readConfig(const fs::path &file, int depth, std::vector<std::string> &dirs)
{
    std::ifstream in(file);
    if (!in || depth > MAX_CONFIG_DEPTH)
        return;
    std::string line;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        std::vector<std::string> words = split(line, " \t\r");
        if (words.empty() || words[0] == "hwcap")
            continue;
        if (words[0] == "include") {
            for (std::size_t i = 1; i < words.size(); ++i) {
                std::string pattern = words[i];
                if (pattern[0] != '/')
                    pattern = (file.parent_path() / pattern).string();
                glob_t found{};
                if (glob(pattern.c_str(), 0, nullptr, &found) == 0)
                    for (std::size_t j = 0; j < found.gl_pathc; ++j)
                        readConfig(found.gl_pathv[j], depth + 1, dirs);
                globfree(&found);
            }
            continue;
        }
        for (const std::string &word : words)
            for (const std::string &dir : split(word, ":,"))
                if (dir[0] == '/')
                    dirs.push_back(dir.substr(0, dir.find('=')));
    }
}

// The folders that the loader searches last for objects of this class and
// machine, built into it.
std::vector<std::string> trustedDirs(int bits, unsigned machine)
{
    std::vector<std::string> dirs;
    if (machine == EM_X86_64 && bits == 64)
        dirs = {"/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib64", "/usr/lib64"};
    else if (machine == EM_386 && bits == 32)
        dirs = {"/lib/i386-linux-gnu", "/usr/lib/i386-linux-gnu", "/lib32", "/usr/lib32"};
    else if (machine == EM_AARCH64 && bits == 64)
        dirs = {"/lib/aarch64-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/lib64", "/usr/lib64"};
    dirs.push_back("/lib");
    dirs.push_back("/usr/lib");
    return dirs;
}

// An RPATH or RUNPATH list with $ORIGIN put in; parts that name other
// dynamic string tokens are left out, as they depend on the target machine.
std::vector<std::string> expandSearchList(const std::string &list, const fs::path &origin)
{
    std::vector<std::string> dirs;
    for (std::string dir : split(list, ":")) {
        for (const char *token : {"${ORIGIN}", "$ORIGIN"}) {
            std::size_t at;
            while ((at = dir.find(token)) != std::string::npos)
                dir.replace(at, std::string(token).size(), origin.string());
        }
        if (dir.find('$') == std::string::npos)
            dirs.push_back(dir);
    }
    return dirs;
}

struct LoadedObject {
    fs::path path;
    ElfDynamic elf;
};

bool isInside(const fs::path &file, const fs::path &root)
{
    std::error_code ec;
    const std::string f = fs::canonical(file, ec).string();
    const std::string r = fs::canonical(root, ec).string() + "/";
    return !ec && f.compare(0, r.size(), r) == 0;
}

std::string leafOf(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

std::string parentOf(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// Why `name` cannot be a file in lib/: the loader takes a library name that
// holds a '/' as a path (relative ones from the working directory on the
// target), and "", "." and ".." name no file. Null when it is a plain name.
const char *libraryNameProblem(const std::string &name)
{
    if (name.empty() || name == "." || name == "..")
        return "it is not a file name";
    if (name.find('/') != std::string::npos)
        return "it holds a '/', so the dynamic loader would open it as a path (a relative one from the "
               "working directory on the target machine) instead of from lib/";
    return nullptr;
}

bool hasArgv0Option(const fs::path &loader)
{
    std::ifstream in(loader, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str().find("--argv0") != std::string::npos;
}

} // namespace

std::vector<std::string> readLoaderConfig(const fs::path &file)
{
    std::vector<std::string> dirs;
    readConfig(file, 0, dirs);
    return dirs;
}

LoaderPaths machineLoaderPaths()
{
    LoaderPaths paths;
    if (const char *env = std::getenv("LD_LIBRARY_PATH"))
        paths.environment = split(env, ":;");
    paths.configured = readLoaderConfig("/etc/ld.so.conf");
    return paths;
}

std::vector<ResolvedLibrary> resolveLibraries(const fs::path &program, const fs::path &imageRoot,
                                              const LoaderPaths &paths)
{
    const LoadedObject main{program, readElfDynamic(program)};
    const std::string loaderName = leafOf(main.elf.interpreter);
    const std::vector<std::string> trusted = trustedDirs(main.elf.bits, main.elf.machine);

    auto find = [&](const std::string &name, const LoadedObject &from, bool fromMain) -> std::optional<fs::path> {
        std::vector<std::string> dirs;
        const fs::path origin = from.path.parent_path();
        if (from.elf.runpath.empty()) {
            dirs = expandSearchList(from.elf.rpath, origin);
            if (!fromMain && main.elf.runpath.empty())
                for (const std::string &d : expandSearchList(main.elf.rpath, main.path.parent_path()))
                    dirs.push_back(d);
        }
        // At run time the wrapper's --library-path comes here.
        dirs.push_back((imageRoot / "lib").string());
        dirs.insert(dirs.end(), paths.environment.begin(), paths.environment.end());
        for (const std::string &d : expandSearchList(from.elf.runpath, origin))
            dirs.push_back(d);
        dirs.insert(dirs.end(), paths.configured.begin(), paths.configured.end());
        dirs.insert(dirs.end(), trusted.begin(), trusted.end());
        for (const std::string &dir : dirs) {
            const fs::path candidate = fs::path(dir) / name;
            struct stat st;
            if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                elfMatches(candidate, main.elf.bits, main.elf.machine))
                return candidate;
        }
        return std::nullopt;
    };

    std::vector<ResolvedLibrary> closure;
    std::deque<LoadedObject> queue{main};
    std::set<std::string> seen{loaderName};
    // Libraries are loaded once per name, in breadth-first order.
    for (std::size_t i = 0; i < queue.size(); ++i) {
        for (const std::string &name : queue[i].elf.needed) {
            if (!seen.insert(name).second)
                continue;
            const std::string who = i == 0 ? "" : terminalText(program.string()) + ": ";
            if (const char *problem = libraryNameProblem(name))
                throw PackError(who + terminalText(queue[i].path.string()) + " needs the library '" +
                                terminalText(name) + "' (DT_NEEDED), which cannot be bundled: " + problem +
                                "; link it so that it names the library by its file name alone (-Wl,-soname)");
            std::optional<fs::path> found = find(name, queue[i], i == 0);
            if (!found)
                throw PackError(terminalText(queue[i].path.string()) + " needs " + terminalText(name) +
                                ", which the dynamic loader would not find on this machine");
            closure.push_back({leafOf(name), *found, isInside(*found, imageRoot)});
            queue.push_back({*found, readElfDynamic(*found)});
        }
    }
    return closure;
}

std::string movedProgramName(const std::string &program)
{
    return parentOf(program) + "." + leafOf(program) + ".bundled";
}

std::string wrapperScript(const std::string &program, const std::string &loader, bool argv0)
{
    const auto depth = std::count(program.begin(), program.end(), '/');
    std::string up = ".";
    for (long i = 0; i < depth; ++i)
        up += "/..";
    return "#!/bin/sh\n"
           "# " +
           leafOf(program) +
           " with the shared libraries it needs, bundled by mkportable:\n"
           "# started through the dynamic loader in lib/, which takes its libraries\n"
           "# from there and never from the machine.\n"
           "case $0 in */*) dir=${0%/*} ;; *) dir=. ;; esac\n"
           "root=$(cd \"$dir/" +
           up +
           "\" && pwd) || exit 127\n"
           "exec \"$root/lib/" +
           loader + "\" --library-path \"$root/lib\"" + (argv0 ? " --argv0 \"$0\"" : "") + " \"$root/" +
           movedProgramName(program) + "\" \"$@\"\n";
}

void checkBundlePath(const std::string &path, const std::string &origin)
{
    auto refuse = [&](const std::string &why) { throw PackError(origin + ": cannot bundle '" + path + "': " + why); };
    if (path.empty())
        refuse("the path is empty");
    if (path[0] == '/')
        refuse("give the program's path inside the image, without a leading '/'");
    if (path.find_first_of(WRAPPER_UNQUOTABLE) != std::string::npos)
        refuse("the path holds a character that the wrapper script cannot quote (\" $ ` \\ or "
               "a line end)");
    for (const std::string &part : split(path, "/"))
        if (part == "." || part == "..")
            refuse("the path holds '.' or '..'");
    if (path.back() == '/' || path.find("//") != std::string::npos)
        refuse("the path names no file");
}

std::vector<TreeEntry> bundlePrograms(std::vector<TreeEntry> entries, const fs::path &imageRoot,
                                      const std::vector<std::string> &programs, const fs::path &scratch,
                                      const LoaderPaths &paths)
{
    std::map<std::string, std::size_t> index;
    for (std::size_t i = 0; i < entries.size(); ++i)
        index[entries[i].name] = i;
    auto add = [&](TreeEntry entry) {
        index[entry.name] = entries.size();
        entries.push_back(std::move(entry));
    };
    auto addFile = [&](const std::string &name, const fs::path &source) {
        if (index.count(name) != 0)
            return; // the image's own file, or one added for an earlier program
        struct stat st;
        if (stat(source.c_str(), &st) != 0)
            throwSystemError("stat(" + source.string() + ")", errno);
        add({name, source, EntryKind::File, BUNDLED_FILE_MODE, std::uint64_t(st.st_size)});
    };
    auto addLibraryFolder = [&](const std::string &what) {
        if (index.count("lib/") != 0)
            return;
        if (index.count("lib") != 0)
            throw PackError(what + ": the image holds a file 'lib' where the libraries go");
        // A folder of the image's own making: nothing to read.
        add({"lib/", fs::path(), EntryKind::Directory, BUNDLED_DIR_MODE, 0});
    };

    for (std::size_t n = 0; n < programs.size(); ++n) {
        const std::string &program = programs[n];
        const std::string what = "bundle " + program;
        auto at = index.find(program);
        if (at == index.end())
            at = index.find(program + "/");
        if (at == index.end())
            throw PackError(what + ": no such file in the image " + imageRoot.string());
        if (entries[at->second].kind != EntryKind::File)
            throw PackError(what + ": not a regular file in the image (name the program file "
                                   "itself, not a link or folder)");
        const fs::path source = entries[at->second].source;
        const ElfDynamic elf = readElfDynamic(source);
        const bool sharedObject = elf.interpreter.empty() && elf.dynamic && elf.sharedObject;
        if (elf.interpreter.empty() && !sharedObject)
            throw PackError(what + ": " + source.string() +
                            " names no dynamic loader: a statically linked program needs no "
                            "bundled libraries");
        if (sharedObject) {
            // Loaded by a program of the image: its libraries go beside that
            // program's, and it stays where it is.
            addLibraryFolder(what);
            for (const ResolvedLibrary &lib : resolveLibraries(source, imageRoot, paths))
                if (!lib.inImage)
                    addFile("lib/" + lib.name, fs::canonical(lib.source));
            continue;
        }
        const fs::path loader = elf.interpreter;
        const std::string loaderName = leafOf(elf.interpreter);
        const char *loaderProblem = libraryNameProblem(loaderName);
        if (loaderProblem == nullptr && loaderName.find_first_of(WRAPPER_UNQUOTABLE) != std::string::npos)
            loaderProblem = "it holds a character that the wrapper script cannot quote";
        if (loaderProblem != nullptr)
            throw PackError(what + ": its dynamic loader " + terminalText(elf.interpreter) +
                            " cannot be bundled as lib/" + terminalText(loaderName) + ": " + loaderProblem);
        if (!elfMatches(loader, elf.bits, elf.machine))
            throw PackError(what + ": its dynamic loader " + loader.string() + " is not on this machine");
        const std::vector<ResolvedLibrary> libraries = resolveLibraries(source, imageRoot, paths);

        const std::string moved = movedProgramName(program);
        if (index.count(moved) != 0)
            throw PackError(what + ": the image already holds " + moved + ", where the program is to be moved");
        const std::size_t programIndex = at->second;
        index.erase(at);
        entries[programIndex].name = moved;
        index[moved] = programIndex;

        addLibraryFolder(what);
        addFile("lib/" + loaderName, fs::canonical(loader));
        for (const ResolvedLibrary &lib : libraries)
            if (!lib.inImage)
                addFile("lib/" + lib.name, fs::canonical(lib.source));

        const fs::path wrapper = scratch / ("wrapper-" + std::to_string(n));
        std::ofstream out(wrapper, std::ios::binary);
        out << wrapperScript(program, loaderName, hasArgv0Option(loader));
        out.close();
        if (!out)
            throwSystemError("write(" + wrapper.string() + ")", errno);
        add({program, wrapper, EntryKind::File, BUNDLED_FILE_MODE, fs::file_size(wrapper)});
    }
    std::sort(entries.begin(), entries.end(), [](const TreeEntry &a, const TreeEntry &b) { return a.name < b.name; });
    return entries;
}

std::vector<std::string> filesToBundle(const std::vector<TreeEntry> &entries)
{
    std::vector<std::string> files;
    for (const TreeEntry &entry : entries) {
        const bool intel = !entry.source.empty() &&
                           (elfMatches(entry.source, 64, EM_X86_64) || elfMatches(entry.source, 32, EM_386));
        if (entry.kind != EntryKind::File || !intel)
            continue;
        const ElfDynamic elf = readElfDynamic(entry.source);
        if (!elf.interpreter.empty()) {
            checkBundlePath(entry.name, "bundle = \"all\"");
            files.push_back(entry.name);
        } else if (elf.sharedObject && !elf.needed.empty()) {
            files.push_back(entry.name);
        }
    }
    return files;
}

BundleListing listBundle(const std::vector<std::string> &entryNames)
{
    const std::set<std::string> names(entryNames.begin(), entryNames.end());
    BundleListing listing;
    for (const std::string &name : entryNames) {
        const std::string leaf = leafOf(name);
        const std::string suffix = ".bundled";
        if (leaf.size() > suffix.size() + 1 && leaf[0] == '.' &&
            leaf.compare(leaf.size() - suffix.size(), suffix.size(), suffix) == 0) {
            const std::string program = parentOf(name) + leaf.substr(1, leaf.size() - 1 - suffix.size());
            if (names.count(program) != 0 && movedProgramName(program) == name)
                listing.programs.push_back(program);
        }
    }
    if (listing.programs.empty())
        return listing;
    for (const std::string &name : entryNames) {
        if (name.rfind("lib/", 0) != 0 || name.size() == 4 || name.find('/', 4) != std::string::npos)
            continue;
        (name.rfind("lib/ld-", 0) == 0 ? listing.loaders : listing.libraries).push_back(name);
    }
    return listing;
}

} // namespace mkportable
