// Runs for hostile input: whatever the input, the run must end and stay
// small. A run that would wait for ever is ended by an alarm (status
// 128 + SIGALRM) instead of hanging the suite; one that grows too much
// fails its allocation and aborts.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "support/temp_root.h"

// Whether address-space limits mean anything in this build: under
// AddressSanitizer the shadow memory alone is larger than any limit.
bool memory_limits_work();

// run_in_child with an alarm after seconds and, where limits work, the
// address space limited to what the test process has mapped plus
// extra_megabytes.
run_result run_limited(const std::string& root, const std::function<int()>& body, std::size_t extra_megabytes = 32,
                       unsigned seconds = 30);

// The installer's entry function with these arguments (the program name
// is put in front), as the program's main calls it.
int call_installer_main(std::vector<std::string> args);
