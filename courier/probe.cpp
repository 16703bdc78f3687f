// Placeholder until the window list and the private entry points land.
#include "courier/probe.hpp"

#include "common/out.hpp"
#include "shared/process_start.hpp"

namespace quorl::courier {

int runProbe() {
  Out::emit({{"event", "probe"}, {"decoration", decorationPath().value_or("")}});
  return 0;
}

}  // namespace quorl::courier
