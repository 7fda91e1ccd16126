// Turning the selected record and the operator's arguments into the tool's
// command line.
#include "command_line.h"

#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// Inside double quotes the shell still gives these four a meaning.
bool specialInDoubleQuotes(char c)
{
    return c == '\\' || c == '"' || c == '$' || c == '`';
}

// Appends one character: false when the line is full and it was dropped.
bool put(char *line, char c)
{
    return strcat_ch(line, c, COMMAND_LINE_SIZE) + 1 < COMMAND_LINE_SIZE;
}

bool appendText(char *line, const char *text)
{
    bool whole = true;
    for (; *text; ++text)
        whole = put(line, *text) && whole;
    return whole;
}

// One user argument as one word: the tool receives it byte for byte.
bool appendQuotedArgument(char *line, const char *arg)
{
    bool whole = put(line, ' ') && put(line, '"');
    for (; *arg; ++arg) {
        if (specialInDoubleQuotes(*arg))
            whole = put(line, '\\') && whole;
        whole = put(line, *arg) && whole;
    }
    return put(line, '"') && whole;
}

bool isSeparator(char c)
{
    return c == ';' || c == '&';
}

} // namespace

std::size_t strcat_ch(char *buffer, char c, std::size_t capacity)
{
    std::size_t len = std::strlen(buffer);
    if (len + 1 < capacity) {
        buffer[len] = c;
        buffer[len + 1] = '\0';
    }
    return len;
}

bool quoteShellWord(const char *text, char *out, std::size_t cap)
{
    std::size_t n = 0;
    auto put = [&](char c) {
        if (n + 1 >= cap)
            return false;
        out[n++] = c;
        return true;
    };
    bool fits = put('"');
    for (const char *p = text; fits && *p; ++p)
        fits = (!specialInDoubleQuotes(*p) || put('\\')) && put(*p);
    fits = fits && put('"');
    if (cap > 0)
        out[fits ? n : 0] = '\0';
    return fits;
}

bool assembleCommandLine(const CommandRecord *rec, int argc, char **argv, char line[COMMAND_LINE_SIZE],
                         std::size_t *recordEnd)
{
    line[0] = '\0';
    bool whole = appendText(line, rec->command);
    if (argc == 1 || rec->alwaysAppendArguments != 0)
        whole = put(line, ' ') && appendText(line, rec->arguments) && whole;
    *recordEnd = std::strlen(line);
    for (int i = 1; i < argc; ++i)
        whole = appendQuotedArgument(line, argv[i]) && whole;
    return whole;
}

bool splitDirectoryChange(char line[COMMAND_LINE_SIZE], std::size_t recordEnd, char dirName[DIRECTORY_NAME_SIZE])
{
    std::size_t len = std::strlen(line);
    // Only the record's own text may ask for a directory change: a separator
    // inside an operator's argument is part of that argument.
    std::size_t scanEnd = recordEnd < len ? recordEnd : len;
    std::size_t split = 0;
    bool found = false;
    for (std::size_t i = scanEnd; i-- > 0;) {
        if (isSeparator(line[i])) {
            split = i;
            found = true;
            break;
        }
    }
    if (!found || split == 0 || split + 1 >= len || split >= DIRECTORY_NAME_SIZE)
        return false;

    char firstPart[DIRECTORY_NAME_SIZE];
    std::memcpy(firstPart, line, split);
    firstPart[split] = '\0';

    std::size_t rest = split + 1;
    while (line[rest] == ' ')
        ++rest;
    std::memmove(line, line + rest, len - rest + 1);

    dirName[0] = '\0';
    if (const char *cd = std::strstr(firstPart, "cd")) {
        const char *name = cd + 2;
        while (*name == ' ')
            ++name;
        std::size_t n = std::strcspn(name, " \t\r");
        std::memcpy(dirName, name, n);
        dirName[n] = '\0';
    }
    return true;
}

bool anchorFirstWord(char line[COMMAND_LINE_SIZE], const char *treeDir)
{
    std::size_t start = 0;
    while (line[start] == ' ' || line[start] == '\t')
        ++start;
    std::size_t end = start;
    bool plain = true;
    bool hasSlash = false;
    for (; line[end] != '\0' && !std::strchr(" \t\n;&|<>()", line[end]); ++end) {
        plain = plain && !std::strchr("'\"\\$`*?[~{=", line[end]);
        hasSlash = hasSlash || line[end] == '/';
    }
    // Only a plain relative path is a file of the tree: a bare name is looked
    // up on PATH, and quoting or expansion is the shell's to read.
    if (!plain || !hasSlash || line[start] == '/')
        return true;
    char path[COMMAND_LINE_SIZE];
    char quoted[COMMAND_LINE_SIZE];
    char anchored[COMMAND_LINE_SIZE];
    const std::string_view word(line + start, end - start);
    int n = std::snprintf(path, sizeof path, "%s/%.*s", treeDir, int(word.size()), word.data());
    if (n < 0 || std::size_t(n) >= sizeof path || !quoteShellWord(path, quoted, sizeof quoted))
        return false;
    n = std::snprintf(anchored, sizeof anchored, "%.*s%s%s", int(start), line, quoted, line + end);
    if (n < 0 || std::size_t(n) >= sizeof anchored)
        return false;
    std::memcpy(line, anchored, std::size_t(n) + 1);
    return true;
}
