#include "depfile.h"

#include "pack_error.h"
#include "temp_file.h"
#include "terminal_text.h"

#include <set>

namespace mkportable {

namespace {

// Characters that make and ninja take as separators or comments unless a
// backslash precedes them ('|' only make: the order-only mark).
bool takesBackslash(char c)
{
    return c == ' ' || c == '\t' || c == '#' || c == ':' || c == '|';
}

[[noreturn]] void refuse(const std::string &name, const char *why)
{
    throw PackError("cannot write a depfile that names " + terminalText(name) + ": " + why +
                    "; rename the file or build without --depfile");
}

std::string escaped(const std::filesystem::path &path)
{
    const std::string name = std::filesystem::absolute(path).lexically_normal().string();
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '\n')
            refuse(name, "the name holds a line end, which ends the list for make and ninja");
        if (c == ';')
            refuse(name, "make reads a ';' as the start of a command");
        if (c == '=')
            refuse(name, "make reads a '=' as a variable assignment");
        if (c == '\\') {
            // Backslashes are plain text but before a character that takes
            // one: there make reads 2N+1 of them as N and the escape.
            const std::size_t next = name.find_first_not_of('\\', i);
            if (next == std::string::npos)
                refuse(name, "the name ends in a backslash, which make and ninja read as an escape");
            const std::size_t run = next - i;
            out.append(takesBackslash(name[next]) ? 2 * run : run, '\\');
            i = next - 1;
            continue;
        }
        if (takesBackslash(c))
            out += '\\';
        if (c == '$')
            out += '$';
        out += c;
    }
    return out;
}

} // namespace

std::string depfileText(const std::filesystem::path &output, const std::vector<std::filesystem::path> &inputs)
{
    std::string text = escaped(output) + ":";
    std::set<std::string> seen;
    for (const std::filesystem::path &input : inputs) {
        std::string name = escaped(input);
        if (seen.insert(name).second)
            text += " \\\n  " + name;
    }
    return text + "\n";
}

void writeDepfile(const std::filesystem::path &file, const std::string &text)
{
    TempFile temp(file, "dep");
    writeAll(temp.fd(), text.data(), text.size(), temp.path().string());
    temp.commit(0644);
}

} // namespace mkportable
