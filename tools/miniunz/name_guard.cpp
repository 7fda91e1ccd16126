#include "name_guard.h"

namespace {

void release(std::unordered_map<std::string, unsigned> &counts, const std::string &key)
{
    auto it = counts.find(key);
    if (it != counts.end() && --it->second == 0)
        counts.erase(it);
}

} // namespace

EntryNames namesOf(const std::vector<std::string> &parts)
{
    EntryNames names;
    std::string path;
    for (size_t i = 0; i < parts.size(); i++) {
        if (i) {
            names.dirs.push_back(path);
            path += '/';
        }
        for (char c : parts[i])
            path += c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
    }
    names.leaf = path;
    return names;
}

bool NameGuard::conflicts(const EntryNames &names) const
{
    if (names.leaf.empty())
        return false;
    if (leaves_.count(names.leaf) || dirs_.count(names.leaf))
        return true;
    for (const std::string &dir : names.dirs)
        if (leaves_.count(dir))
            return true;
    return false;
}

void NameGuard::add(const EntryNames &names)
{
    leaves_[names.leaf]++;
    for (const std::string &dir : names.dirs)
        dirs_[dir]++;
}

void NameGuard::remove(const EntryNames &names)
{
    release(leaves_, names.leaf);
    for (const std::string &dir : names.dirs)
        release(dirs_, dir);
}
