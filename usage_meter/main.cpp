// quorl-usage-meter: samples processes, process groups and system memory, one
// JSON request and one JSON response per line.
#include "usage_meter/linux_platform.hpp"
#include "usage_meter/service.hpp"

int main(int argc, char**) {
  auto platform = quorl::usage::linuxPlatform();
  return quorl::usage::serviceMain(argc, *platform);
}
