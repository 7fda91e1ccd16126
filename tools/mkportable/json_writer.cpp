#include "json_writer.h"

#include "terminal_text.h"

#include <cstdio>

namespace mkportable {

void JsonWriter::separate()
{
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (hasMembers_.empty())
        return;
    out_ << (hasMembers_.back() ? ",\n" : "\n") << std::string(2 * hasMembers_.size(), ' ');
    hasMembers_.back() = true;
}

void JsonWriter::open(char bracket)
{
    separate();
    out_ << bracket;
    hasMembers_.push_back(false);
}

void JsonWriter::close(char bracket)
{
    const bool members = hasMembers_.back();
    hasMembers_.pop_back();
    if (members)
        out_ << "\n" << std::string(2 * hasMembers_.size(), ' ');
    out_ << bracket;
    if (hasMembers_.empty())
        out_ << "\n";
}

void JsonWriter::key(std::string_view name)
{
    separate();
    string(name);
    out_ << ": ";
    afterKey_ = true;
}

void JsonWriter::value(std::string_view text)
{
    separate();
    string(text);
}

void JsonWriter::value(std::int64_t number)
{
    separate();
    out_ << number;
}

void JsonWriter::value(bool flag)
{
    separate();
    out_ << (flag ? "true" : "false");
}

void JsonWriter::string(std::string_view text)
{
    out_ << '"';
    while (!text.empty()) {
        const unsigned char c = static_cast<unsigned char>(text[0]);
        std::size_t length = 1;
        if (c == '"' || c == '\\') {
            out_ << '\\' << char(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out_ << escaped;
        } else if ((length = utf8Length(text)) == 0) {
            out_ << "\\ufffd";
            length = 1;
        } else {
            out_ << text.substr(0, length);
        }
        text.remove_prefix(length);
    }
    out_ << '"';
}

} // namespace mkportable
