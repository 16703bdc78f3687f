// input-courier: `serve` (the long-running service) or `probe` (one capability line).
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "courier/probe.hpp"
#include "courier/serve.hpp"

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "serve") quorl::courier::runServe();
  if (argc == 2 && std::string_view(argv[1]) == "probe") return quorl::courier::runProbe();
  static const char kUsage[] = "INPUT_COURIER_REQUEST: Use `serve` or `probe`.\n";
  ssize_t ignored = write(2, kUsage, sizeof kUsage - 1);
  (void)ignored;
  return 1;
}
