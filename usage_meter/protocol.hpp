#pragma once
// quorl-usage-meter's request and response lines.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorl::usage {

constexpr size_t kMaxIdBytes = 128;
constexpr size_t kMaxProcesses = 32;
constexpr size_t kMaxGroups = 8;

struct ProcessRequest {
  int32_t pid = 0;
  std::optional<double> startedAt;   // milliseconds since 1970
  std::optional<int32_t> parentPid;
};

struct GroupRequest {
  int32_t pgid = 0;
  std::optional<double> startedAt;
};

struct Request {
  std::string id;
  std::vector<ProcessRequest> processes;
  std::vector<GroupRequest> groups;
};

// Decodes one line into a request (keys not listed are ignored); absent when the
// line is not JSON of the request's shape.  Integer keys accept a number with an
// integral value written with a fraction (5.0).
std::optional<Request> decodeRequest(std::string_view line);
// Whether a decoded request keeps every rule (lengths, counts, ranges, identity proof).
bool validRequest(const Request& request);

struct ProcessSample {
  int32_t pid = 0;
  std::optional<double> startedAt;
  std::optional<uint64_t> footprintBytes;
  std::optional<uint64_t> residentBytes;
  std::optional<uint64_t> cpuTimeNs;
};

struct GroupSample {
  int32_t pgid = 0;
  std::optional<double> startedAt;
  std::optional<uint64_t> processCount;
  std::optional<uint64_t> footprintBytes;
  std::optional<uint64_t> residentBytes;
};

struct Response {
  std::string id;
  std::vector<ProcessSample> processes;
  std::vector<GroupSample> groups;
  std::string pressure = "unknown";
  std::optional<uint64_t> swapUsedBytes;
  std::optional<uint64_t> availableBytes;
};

// The compact JSON of a response (every key present, absent values as null),
// without the line feed.
std::string encodeResponse(const Response& response);

}  // namespace quorl::usage
