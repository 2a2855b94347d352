// The program entry: options, the two manifest commands, the root change,
// loading the installed set and running one mode.
#pragma once

// Returns the exit status of the run.
int installer_main(int argc, char** argv);
