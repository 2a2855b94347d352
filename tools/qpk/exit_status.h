// Exit statuses of the qpk commands.
#pragma once

namespace qpk {

constexpr int exit_ok = 0;
// Refused, unreadable or malformed input, a signature that does not hold, a
// file that cannot be written.
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;  // bad arguments

}  // namespace qpk
