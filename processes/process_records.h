// Text records of the process listings (pure). The text fields (user, path,
// name) are the system's bytes, written with every invalid UTF-8 sequence
// replaced by U+FFFD and nothing escaped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace processes {

// "PID|user|resident|virtual|threads|path|name". A byte count is written in
// floating-point form: converted to a double (round to nearest) and written
// as the shortest decimal text that reads back as that double, in
// positional notation with a point: 0 -> "0.0", 16384 -> "16384.0"; exact
// for every count below 2^53, never an exponent.
std::string formatDetailedProcessRecord(std::int32_t pid, std::string_view user,
                                        std::uint64_t residentSize, std::uint64_t virtualSize,
                                        std::int32_t threadCount, std::string_view path,
                                        std::string_view name);

// "PID|uid|resident|threads|cpu|name": all numbers plain decimal integers.
std::string formatProcessDataRecord(std::int32_t pid, std::uint32_t uid, std::uint64_t residentSize,
                                    std::int32_t threadCount, std::uint64_t cpuTime,
                                    std::string_view name);

}  // namespace processes
