#include "json_writer.h"

#include <cstdio>

namespace mkportable {

void writeJson(const Json &document, std::ostream &out)
{
    // The dump escapes the C0 controls; DEL and the C1 controls (U+0080 to
    // U+009F, CSI among them) it leaves raw, and a terminal may act on them.
    // The dump is valid UTF-8 and they occur only inside strings.
    const std::string text = document.dump(2, ' ', false, Json::error_handler_t::replace);
    std::string safe;
    safe.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (byte == 0x7f) {
            safe += "\\u007f";
        } else if (byte == 0xc2 && next >= 0x80 && next < 0xa0) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(next));
            safe += escaped;
            ++i;
        } else {
            safe += text[i];
        }
    }
    out << safe << "\n";
}

} // namespace mkportable
