// Which names the file entries still waiting or being written will touch.
// Entries that share no name may be written in any order and at the same
// time; an entry that touches a pending entry's name waits for it, so that
// entries which meet keep the archive's order: a damaged file is removed
// before a later entry of the same name is created, a file that a later
// entry needs as a directory fails that entry, and so on.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

struct EntryNames {
    std::vector<std::string> dirs; // the directories on the way: "a", "a/b"
    std::string leaf;              // the entry's own name: "a/b/c"; "" for the target itself
};

// The names of the entry whose path below the target is `parts`, folded to
// ASCII lower case so that names which a case-insensitive file system takes
// for one also count as one here.
EntryNames namesOf(const std::vector<std::string> &parts);

class NameGuard {
public:
    // True when an entry with `names` must wait: its own name is a pending
    // entry's name or lies on a pending entry's way, or a pending entry's
    // name lies on its way. Directories that entries only pass through are
    // shared freely.
    bool conflicts(const EntryNames &names) const;
    void add(const EntryNames &names);
    // Takes back one add() of the same names.
    void remove(const EntryNames &names);

private:
    std::unordered_map<std::string, unsigned> leaves_, dirs_;
};
