// The console program as shipped: nothing beside what the player gives it.
#include "console/run_hooks.h"

namespace korvun {

RunHooks PrepareRunHooks() { return {}; }

}  // namespace korvun
