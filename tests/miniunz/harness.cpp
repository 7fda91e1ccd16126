#include "harness.h"

#include <filesystem>
#include <sys/stat.h>

ProgramResult runMiniunz(const std::vector<std::string> &args, const std::string &cwd, ProgramRun options)
{
    if (options.argv.empty())
        options.argv = {MINIUNZ_BIN};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.cwd = cwd;
    options.stdinText.reset();
    if (!options.umask)
        options.umask = 022;
    return runProgram(options);
}

Workspace::Workspace() : root(scratchDir()), zip(root + "/image.zip"), out(root + "/out"), outside(root + "/outside")
{
    std::filesystem::create_directory(outside);
}

ProgramResult Workspace::unpack(bool overwrite, const ProgramRun &options) const
{
    std::vector<std::string> args;
    if (overwrite)
        args.push_back("-o");
    args.insert(args.end(), {zip, "-d", out});
    return runMiniunz(args, root, options);
}

std::set<std::string> Workspace::outsideTarget() const
{
    namespace fs = std::filesystem;
    std::set<std::string> seen;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
        std::string path = it->path().string();
        if (path == out || path.starts_with(out + "/")) {
            if (path == out)
                it.disable_recursion_pending();
            continue;
        }
        std::string line = path + " mode " + std::to_string(modeOf(path));
        if (it->is_symlink())
            line += " -> " + fs::read_symlink(it->path()).string();
        else if (it->is_regular_file())
            line += " = " + readFile(path);
        seen.insert(line);
    }
    return seen;
}

unsigned modeOf(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}
