#include "zip_timestamp.h"

#include "pack_error.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <limits>
#include <string>

namespace mkportable {

namespace {

using namespace std::chrono;

constexpr std::int64_t secondsAt(year_month_day date, std::int64_t secondOfDay)
{
    return sys_days(date).time_since_epoch().count() * 86400 + secondOfDay;
}

constexpr std::int64_t FIRST_DOS_SECOND = secondsAt(year(1980) / January / 1, 0);
constexpr std::int64_t LAST_DOS_SECOND = secondsAt(year(2107) / December / 31, 86400 - 2);

} // namespace

std::uint32_t dosDateTime(std::int64_t unixSeconds)
{
    const std::int64_t t = std::clamp(unixSeconds, FIRST_DOS_SECOND, LAST_DOS_SECOND);
    const std::int64_t days = t / 86400; // t is positive: truncation is floor
    const std::int64_t secondOfDay = t % 86400;
    const year_month_day date{sys_days(std::chrono::days(days))};

    const auto yearsSince1980 = std::uint32_t(int(date.year()) - 1980);
    const std::uint32_t dosDate = yearsSince1980 << 9 | unsigned(date.month()) << 5 | unsigned(date.day());
    const std::uint32_t dosTime = std::uint32_t(secondOfDay / 3600) << 11 | std::uint32_t(secondOfDay / 60 % 60) << 5 |
                                  std::uint32_t(secondOfDay % 60 / 2);
    return dosDate << 16 | dosTime;
}

std::uint32_t imageTimestamp(const char *sourceDateEpoch)
{
    if (sourceDateEpoch == nullptr || *sourceDateEpoch == '\0')
        return dosDateTime(FIRST_DOS_SECOND);

    const char *end = sourceDateEpoch + std::strlen(sourceDateEpoch);
    if (!std::all_of(sourceDateEpoch, end, [](char c) { return c >= '0' && c <= '9'; }))
        throw PackError(std::string("SOURCE_DATE_EPOCH is not a number of seconds: \"") + sourceDateEpoch + "\"");
    std::int64_t seconds = 0;
    auto [stop, ec] = std::from_chars(sourceDateEpoch, end, seconds);
    if (ec == std::errc::result_out_of_range)
        seconds = std::numeric_limits<std::int64_t>::max();
    return dosDateTime(seconds);
}

} // namespace mkportable
