#include "roff_text.h"

namespace mkportable {

std::string roff(const std::string &text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((i == 0 || text[i - 1] == '\n') && (c == '.' || c == '\''))
            out += "\\&";
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    return out;
}

std::string roffBold(const std::string &text)
{
    return "\\fB" + roff(text) + "\\fR";
}

} // namespace mkportable
