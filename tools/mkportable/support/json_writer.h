// Writes the JSON documents that mkportable prints.
#ifndef MKPORTABLE_JSON_WRITER_H
#define MKPORTABLE_JSON_WRITER_H

#include <nlohmann/json.hpp>
#include <ostream>

namespace mkportable {

// Keeps the members of an object in the order they were added.
using Json = nlohmann::ordered_json;

// Writes `document` with two-space indentation and a line break at the end.
// Strings are bytes taken from packages: bytes that are not valid UTF-8
// become U+FFFD instead of failing the output, so that it is always valid
// JSON. DEL and the C1 controls are escaped too (\u007f, \u009b), so that
// the output is safe on a terminal.
void writeJson(const Json &document, std::ostream &out);

} // namespace mkportable

#endif
