#include <cstdio>

#include "qpk/commands.h"

int main(int argc, char** argv) { return qpk::run(argc, argv, stdout, stderr); }
