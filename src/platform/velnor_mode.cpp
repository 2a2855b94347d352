#include "platform/velnor_mode.h"

namespace ql {
namespace {
VelnorMode& test_mode() {
    static VelnorMode mode;
    return mode;
}
}  // namespace

VelnorMode VelnorMode::load() { return test_mode(); }

void VelnorMode::set_for_testing(const VelnorMode& mode) { test_mode() = mode; }

}  // namespace ql
