#include "command_split_check.h"

#include "command_line.h"
#include "pack_error.h"

#include <cstring>
#include <string_view>

namespace mkportable {

namespace {

// Stands for whatever the user passes; it holds no separator, so it cannot
// move the split point.
char USER_ARGUMENT[] = "ARG";

bool isWordChar(char c)
{
    return c != ' ' && c != '\t' && c != '\r' && c != '\0' && c != ';' && c != '&';
}

// True for "cd WORD" followed by ";", "&" or "&&", with spaces only around
// WORD: the one thing the launcher can carry out as a change of directory.
bool isDirectoryChange(std::string_view head)
{
    while (!head.empty() && head.back() == ' ')
        head.remove_suffix(1);
    if (!head.starts_with("cd "))
        return false;
    std::size_t i = 2;
    while (i < head.size() && head[i] == ' ')
        ++i;
    const std::size_t word = i;
    while (i < head.size() && isWordChar(head[i]))
        ++i;
    if (i == word)
        return false;
    while (i < head.size() && head[i] == ' ')
        ++i;
    const std::string_view separator = head.substr(i);
    return separator == ";" || separator == "&" || separator == "&&";
}

// The text before what the launcher runs for `rec` with `argc - 1` user
// arguments, and in `rest` what it runs; empty when it runs the whole line.
std::string splitHead(const CommandRecord &rec, int argc, std::string &rest)
{
    char *argv[] = {USER_ARGUMENT, USER_ARGUMENT, nullptr};
    char line[COMMAND_LINE_SIZE];
    std::size_t recordEnd = 0;
    // Record texts are at most 128 + 256 bytes: the line always fits.
    assembleCommandLine(&rec, argc, argv, line, &recordEnd);
    const std::string whole = line;
    char dirName[DIRECTORY_NAME_SIZE];
    if (!splitDirectoryChange(line, recordEnd, dirName))
        return {};
    rest = line;
    return whole.substr(0, whole.size() - rest.size());
}

} // namespace

std::string commandSplitProblem(const CommandRecord &rec)
{
    for (int argc : {1, 2}) {
        std::string rest;
        const std::string head = splitHead(rec, argc, rest);
        if (head.empty() || isDirectoryChange(head))
            continue;
        std::string written = rec.command;
        if (argc == 1 || rec.alwaysAppendArguments)
            written += std::string(" ") + rec.arguments;
        for (std::string *text : {&written, &rest})
            while (!text->empty() && text->back() == ' ')
                text->pop_back();
        return "'" + written + "' would run as '" + rest + "'" +
               (argc == 1 ? "" : " when the user gives the argument ARG") +
               ": the launcher takes everything before the last ';' or '&' for a change of "
               "directory, which may only be 'cd DIR ;' or 'cd DIR &&'. Put the commands in a "
               "script inside the image and run that";
    }
    return {};
}

void checkCommandSplits(const std::vector<CommandEntry> &commands)
{
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const std::string problem = commandSplitProblem(toCommandRecord(commands[i]));
        if (!problem.empty())
            throw PackError("command record " + std::to_string(i) + ": " + problem);
    }
}

} // namespace mkportable
