#!/usr/bin/env bash
# Builds everything and passes every test: the normal build, then an
# AddressSanitizer + UndefinedBehaviorSanitizer build, then a ThreadSanitizer
# build of the threaded programs' tests.  Installs what it needs first.
#   QUORL_TEST_PRESETS="default asan tsan"  which builds to run (default: all three)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

presets=${QUORL_TEST_PRESETS:-"default asan tsan"}
jobs=$(nproc)

for preset in $presets; do
  echo "=== $preset build"
  cmake --preset "$preset" >/dev/null
  filter=()
  targets=()
  case "$preset" in
    # ThreadSanitizer is for the threaded programs and what they share: only their
    # tests (and the programs those tests start) are built and run.
    tsan)
      filter=(-R '^(Out|Clock|Server|Session|Guard|Courier|Overlay|Mailbox|Lifetime|Reader|UserInput|AgentInput|SpotterParallel)')
      targets=(--target common_tests courier_tests courier_itests overlay_tests overlay_itests
               platform_itests text_spotter_tests input-courier agent-overlay xlib-target gtk-target)
      ;;
  esac
  cmake --build --preset "$preset" -j "$jobs" "${targets[@]}"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp
  # Unit tests in parallel; desktop tests one at a time, since each runs a whole
  # X server, window manager and applications of its own on a 2-core machine.
  ctest --preset "$preset" -j "$jobs" -L unit "${filter[@]}"
  ctest --preset "$preset" -j 1 -L integration "${filter[@]}"
done
