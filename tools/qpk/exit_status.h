// Exit statuses of the qpk commands.
#pragma once

namespace qpk {

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;  // unreadable or malformed input, failed writes
constexpr int exit_usage = 2;    // bad arguments

}  // namespace qpk
