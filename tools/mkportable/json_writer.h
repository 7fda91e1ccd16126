// Writes indented JSON, keys in the order given.
#ifndef MKPORTABLE_JSON_WRITER_H
#define MKPORTABLE_JSON_WRITER_H

#include <cstdint>
#include <ostream>
#include <string_view>
#include <vector>

namespace mkportable {

// The caller nests begin/end calls correctly and gives each member of an
// object a key() before its value; the writer adds commas, line breaks and
// two-space indentation. Strings are bytes: control characters, quotes and
// backslashes are escaped, and bytes that are not valid UTF-8 become
// U+FFFD, so that the output is always valid JSON.
class JsonWriter {
public:
    explicit JsonWriter(std::ostream &out) : out_(out) {}

    void beginObject() { open('{'); }
    void endObject() { close('}'); }
    void beginArray() { open('['); }
    void endArray() { close(']'); }
    void key(std::string_view name);
    void value(std::string_view text);
    void value(const char *text) { value(std::string_view(text)); }
    void value(std::int64_t number);
    void value(bool flag);

private:
    void open(char bracket);
    void close(char bracket);
    // Starts a value: a comma and a new line inside arrays, nothing after a key.
    void separate();
    void string(std::string_view text);

    std::ostream &out_;
    std::vector<bool> hasMembers_; // one per open object or array
    bool afterKey_ = false;
};

} // namespace mkportable

#endif
