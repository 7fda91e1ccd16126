#include "record_text.h"

#include "platform_table.h"

#include <cstdio>

namespace {

std::string fieldText(int32_t value, const char *anyText, const char *label)
{
    return value == PFM_ANY ? anyText : label;
}

} // namespace

std::string escaped(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += char(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

std::string platformText(const CommandRecord &rec)
{
    std::string text = fieldText(rec.distribution, "any distribution", distributionLabel(rec.distribution));
    if (rec.release != PFM_ANY)
        text += (rec.distribution == PFM_ANY ? ", release " : " ") + std::to_string(rec.release);
    else if (rec.distribution != PFM_ANY)
        text += ", any release";
    return text + ", " + fieldText(rec.architecture, "any architecture", architectureLabel(rec.architecture));
}
