#include "record_text.h"

#include "platform_table.h"

namespace {

std::string fieldText(int32_t value, const char *anyText, const char *label)
{
    return value == PFM_ANY ? anyText : label;
}

} // namespace

std::string platformText(const CommandRecord &rec)
{
    std::string text = fieldText(rec.distribution, "any distribution", distributionLabel(rec.distribution));
    if (rec.release != PFM_ANY)
        text += (rec.distribution == PFM_ANY ? ", release " : " ") + std::to_string(rec.release);
    else if (rec.distribution != PFM_ANY)
        text += ", any release";
    return text + ", " + fieldText(rec.architecture, "any architecture", architectureLabel(rec.architecture));
}
