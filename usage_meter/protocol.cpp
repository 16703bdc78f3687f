#include "usage_meter/protocol.hpp"

#include <cmath>

#include <nlohmann/json.hpp>

namespace quorl::usage {
namespace {

using Json = nlohmann::json;

// A JSON number holding an integral value within the signed 32-bit range.
std::optional<int32_t> int32Value(const Json& v) {
  if (v.is_number_unsigned()) {
    uint64_t u = v.get<uint64_t>();
    if (u > 2147483647u) return std::nullopt;
    return static_cast<int32_t>(u);
  }
  if (v.is_number_integer()) {
    int64_t i = v.get<int64_t>();
    if (i < INT32_MIN || i > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(i);
  }
  if (v.is_number_float()) {
    double d = v.get<double>();
    if (!std::isfinite(d) || std::trunc(d) != d || d < INT32_MIN || d > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(d);
  }
  return std::nullopt;
}

const Json* find(const Json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// An optional key: absent and null both mean none; anything else must decode.
template <typename T, typename F>
bool optionalKey(const Json& object, const char* key, std::optional<T>& out, F decode) {
  const Json* v = find(object, key);
  if (!v || v->is_null()) return true;
  auto value = decode(*v);
  if (!value) return false;
  out = *value;
  return true;
}

std::optional<double> numberValue(const Json& v) {
  if (!v.is_number()) return std::nullopt;
  return v.get<double>();
}

std::optional<ProcessRequest> decodeProcess(const Json& v) {
  if (!v.is_object()) return std::nullopt;
  ProcessRequest p;
  const Json* pid = find(v, "pid");
  if (!pid) return std::nullopt;
  auto pidValue = int32Value(*pid);
  if (!pidValue) return std::nullopt;
  p.pid = *pidValue;
  // "startedAt" must be there, though it may be null.
  const Json* started = find(v, "startedAt");
  if (!started) return std::nullopt;
  if (!started->is_null()) {
    auto n = numberValue(*started);
    if (!n) return std::nullopt;
    p.startedAt = *n;
  }
  if (!optionalKey(v, "parentPid", p.parentPid, int32Value)) return std::nullopt;
  return p;
}

std::optional<GroupRequest> decodeGroup(const Json& v) {
  if (!v.is_object()) return std::nullopt;
  GroupRequest g;
  const Json* pgid = find(v, "pgid");
  if (!pgid) return std::nullopt;
  auto value = int32Value(*pgid);
  if (!value) return std::nullopt;
  g.pgid = *value;
  if (!optionalKey(v, "startedAt", g.startedAt, numberValue)) return std::nullopt;
  return g;
}

bool validStartedAt(const std::optional<double>& v) { return !v || (std::isfinite(*v) && *v > 0); }

Json nullable(const std::optional<uint64_t>& v) { return v ? Json(*v) : Json(nullptr); }
Json nullable(const std::optional<double>& v) { return v ? Json(*v) : Json(nullptr); }

}  // namespace

std::optional<Request> decodeRequest(std::string_view line) {
  Json root = Json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded() || !root.is_object()) return std::nullopt;
  Request request;
  const Json* id = find(root, "id");
  if (!id || !id->is_string()) return std::nullopt;
  request.id = id->get<std::string>();
  const Json* processes = find(root, "processes");
  if (!processes || !processes->is_array()) return std::nullopt;
  // Far more entries than allowed fail validation anyway; stop decoding early.
  if (processes->size() > kMaxProcesses) {
    request.processes.resize(processes->size());
    return request;
  }
  for (const Json& entry : *processes) {
    auto p = decodeProcess(entry);
    if (!p) return std::nullopt;
    request.processes.push_back(*p);
  }
  if (const Json* groups = find(root, "groups"); groups && !groups->is_null()) {
    if (!groups->is_array()) return std::nullopt;
    if (groups->size() > kMaxGroups) {
      request.groups.resize(groups->size());
      return request;
    }
    for (const Json& entry : *groups) {
      auto g = decodeGroup(entry);
      if (!g) return std::nullopt;
      request.groups.push_back(*g);
    }
  }
  return request;
}

bool validRequest(const Request& request) {
  if (request.id.empty() || request.id.size() > kMaxIdBytes) return false;
  if (request.processes.size() > kMaxProcesses || request.groups.size() > kMaxGroups) return false;
  for (const auto& p : request.processes) {
    if (p.pid < 1) return false;
    if (p.parentPid && *p.parentPid < 1) return false;
    if (!p.startedAt && !p.parentPid) return false;
    if (!validStartedAt(p.startedAt)) return false;
  }
  for (const auto& g : request.groups) {
    if (g.pgid < 2) return false;
    if (!validStartedAt(g.startedAt)) return false;
  }
  return true;
}

std::string encodeResponse(const Response& response) {
  Json processes = Json::array();
  for (const auto& p : response.processes) {
    processes.push_back(Json{{"pid", p.pid},
                             {"startedAt", nullable(p.startedAt)},
                             {"footprintBytes", nullable(p.footprintBytes)},
                             {"residentBytes", nullable(p.residentBytes)},
                             {"cpuTimeNs", nullable(p.cpuTimeNs)}});
  }
  Json groups = Json::array();
  for (const auto& g : response.groups) {
    groups.push_back(Json{{"pgid", g.pgid},
                          {"startedAt", nullable(g.startedAt)},
                          {"processCount", nullable(g.processCount)},
                          {"footprintBytes", nullable(g.footprintBytes)},
                          {"residentBytes", nullable(g.residentBytes)}});
  }
  Json root{{"id", response.id},
            {"processes", std::move(processes)},
            {"groups", std::move(groups)},
            {"pressure", response.pressure},
            {"swapUsedBytes", nullable(response.swapUsedBytes)},
            {"availableBytes", nullable(response.availableBytes)}};
  return root.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace quorl::usage
