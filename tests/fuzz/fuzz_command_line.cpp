// Command-line assembly and the directory-change split on arbitrary records
// and arguments.
#include "command_line.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Fields separated by NUL bytes: command, arguments, then user arguments.
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            fields.emplace_back();
        else
            fields.back() += char(data[i]);
    }
    CommandRecord rec{};
    std::strncpy(rec.command, fields[0].c_str(), RECORD_COMMAND_SIZE);
    if (fields.size() > 1)
        std::strncpy(rec.arguments, fields[1].c_str(), RECORD_ARGUMENTS_SIZE);
    rec.alwaysAppendArguments = size % 2;
    std::vector<char *> argv = {const_cast<char *>("pkg")};
    for (size_t i = 2; i < fields.size(); ++i)
        argv.push_back(fields[i].data());
    argv.push_back(nullptr);

    char line[COMMAND_LINE_SIZE + 1];
    line[COMMAND_LINE_SIZE] = '\x5a';
    std::size_t recordEnd = 0;
    assembleCommandLine(&rec, int(argv.size() - 1), argv.data(), line, &recordEnd);
    if (std::strlen(line) >= COMMAND_LINE_SIZE || line[COMMAND_LINE_SIZE] != '\x5a' || recordEnd > 385)
        std::abort();
    char dirName[DIRECTORY_NAME_SIZE + 1];
    dirName[DIRECTORY_NAME_SIZE] = '\x5a';
    if (splitDirectoryChange(line, recordEnd, dirName) &&
        (std::strlen(dirName) >= DIRECTORY_NAME_SIZE || dirName[DIRECTORY_NAME_SIZE] != '\x5a'))
        std::abort();
    return 0;
}
