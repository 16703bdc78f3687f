#pragma once
// Process start tokens and executable paths, read from /proc.
//
// A start token is "S:U": the process's start in whole seconds since 1970 and
// the microseconds within that second, plain decimal.  With the pid it names one
// process incarnation; every program of the suite computes the same token for the
// same process, so tokens are compared as exact text.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorl {

// Start of a process in microseconds since 1970; absent for a pid that does not exist
// (or whose /proc entry cannot be read or parsed).
std::optional<int64_t> processStartMicros(pid_t pid);

// The start token of a process, or absent.  Never a token of zeros.
std::optional<std::string> processStart(pid_t pid);

// Formats microseconds since 1970 as a start token.
std::string formatStartToken(int64_t micros);

// The absolute path of a process's executable with symbolic links resolved, or absent.
std::optional<std::string> executablePath(pid_t pid);

// realpath of the path when that succeeds, otherwise the path unchanged.
std::string canonicalPath(const std::string& path);

// The canonical path of "agent-overlay" beside this process's executable; absent
// when the own executable path cannot be read.  Computed once, then constant.
const std::optional<std::string>& decorationPath();

namespace procfs {
// Plain decimal digits (no sign, no blanks) that fit 64 bits; absent otherwise.
std::optional<uint64_t> parseUnsigned(std::string_view text);
// Parsing pieces, exposed for tests.  `stat` is the text of /proc/PID/stat.
std::optional<uint64_t> startTicksFromStat(std::string_view stat);
// `text` is /proc/stat; returns its btime line's value.
std::optional<int64_t> bootTimeFromProcStat(std::string_view text);
// The start in microseconds since 1970 of a process whose /proc/PID/stat gives
// `ticks` as its starttime (the one conversion every reader of /proc uses).
std::optional<int64_t> startMicrosFromTicks(uint64_t ticks);
}  // namespace procfs

}  // namespace quorl
