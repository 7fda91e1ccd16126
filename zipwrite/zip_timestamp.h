// The one time stamp that every entry of a generated image carries.
#ifndef ZIPWRITE_ZIP_TIMESTAMP_H
#define ZIPWRITE_ZIP_TIMESTAMP_H

#include <cstdint>

namespace mkportable {

// The MS-DOS date and time (date in the high 16 bits, time in the low 16, as
// zip headers hold them) of `unixSeconds` in UTC. Zip time stamps cover
// 1980-01-01 00:00:00 to 2107-12-31 23:59:58 with a 2-second step: earlier
// times give the first, later ones the last, odd seconds round down.
std::uint32_t dosDateTime(std::int64_t unixSeconds);

// The image time stamp for the value of SOURCE_DATE_EPOCH (`sourceDateEpoch`,
// null or empty when the variable is unset): that many seconds since
// 1970-01-01 UTC, clamped as dosDateTime does, or 1980-01-01 00:00:00 when
// unset. A value too large for 64 bits counts as the latest time. Throws
// PackError when the value is not a plain decimal number.
std::uint32_t imageTimestamp(const char *sourceDateEpoch);

} // namespace mkportable

#endif
