#include "depfile.h"

#include "temp_file.h"

#include <set>

namespace mkportable {

namespace {

std::string escaped(const std::filesystem::path &path)
{
    std::string out;
    for (char c : std::filesystem::absolute(path).lexically_normal().string()) {
        if (c == ' ' || c == '\t' || c == '#' || c == '\\')
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
