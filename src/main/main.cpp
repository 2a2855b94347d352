#include "main/entry.h"

int main(int argc, char** argv) { return installer_main(argc, argv); }
