// What the installer prints about itself: the usage line, the help text and
// the version.
#pragma once

// Prints the help text for "--help", the version for "--version", and the
// one-line usage for any other option. Returns the exit status, 0.
int print_usage(const char* option);
