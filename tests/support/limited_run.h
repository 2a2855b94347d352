// Runs for hostile input: whatever the input, a run must end and stay small. One that would wait for ever is ended by
// an alarm (status 128 + SIGALRM) instead of hanging the suite; one that grows too much fails an allocation.
#pragma once

#include "support/temp_root.h"

// run_in_child with an alarm after seconds and the address space limited to what the test process has mapped plus
// extra_megabytes (no limit with 0 or under AddressSanitizer, whose shadow memory exceeds any limit).
run_result run_limited(const std::string& root, const std::function<int()>& body, std::size_t extra_megabytes = 32,
                       unsigned seconds = 30);

// For a body: the installer's entry function with args, or a program of the build (through the build's emulator, if
// any) in place of the child.
int call_installer_main(std::vector<std::string> args);
int exec_program(const std::string& program, std::vector<std::string> args);
