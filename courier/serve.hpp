#pragma once

namespace quorl::courier {

// The long-running service: ignores SIGPIPE, starts the request reader and the
// idle watcher, writes "hello", and ends the process when standard input ends.
[[noreturn]] void runServe();

}  // namespace quorl::courier
