#include "platform/velnor_mode.h"

namespace ql {

VelnorMode VelnorMode::load() { return VelnorMode{}; }

}  // namespace ql
