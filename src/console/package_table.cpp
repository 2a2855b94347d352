#include "console/package_table.h"

void print_package_table(installer_context&) {}
