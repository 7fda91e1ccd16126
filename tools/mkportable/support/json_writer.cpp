#include "json_writer.h"

namespace mkportable {

void writeJson(const Json &document, std::ostream &out)
{
    out << document.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

} // namespace mkportable
