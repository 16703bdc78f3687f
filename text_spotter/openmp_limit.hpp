#pragma once
// Tesseract's engine is built with OpenMP, whose worker threads spin while
// they wait: on a busy machine they cost several times the work they do, and
// text-spotter already reads regions in parallel.  The OpenMP runtime reads its
// thread limit from the environment once, when it is loaded, before main runs;
// so a program that has no limit set starts itself again with a limit of one.
// A limit the caller set is kept.  Call first thing in main, before reading
// standard input.
#include <unistd.h>

#include <cstdlib>

namespace quorl::spotter {

inline void restartWithOneOpenMpThread(char** argv) {
  if (std::getenv("OMP_THREAD_LIMIT")) return;
  if (setenv("OMP_THREAD_LIMIT", "1", 1) != 0) return;
  char name[] = "text-spotter";
  char* fallback[] = {name, nullptr};
  execv("/proc/self/exe", argv && argv[0] ? argv : fallback);
  // Still here: the program runs on with the runtime's own threads.
}

}  // namespace quorl::spotter
