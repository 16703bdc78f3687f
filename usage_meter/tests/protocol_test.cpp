// The usage meter's request decoding and validation, and the response's shape.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "usage_meter/protocol.hpp"

namespace quorl::usage {
namespace {

bool accepted(const std::string& line) {
  auto r = decodeRequest(line);
  return r && validRequest(*r);
}

std::string processes(int n) {
  std::string s = "[";
  for (int i = 0; i < n; ++i) s += std::string(i ? "," : "") + "{\"pid\":" + std::to_string(i + 1) + ",\"startedAt\":1}";
  return s + "]";
}

std::string groups(int n) {
  std::string s = "[";
  for (int i = 0; i < n; ++i) s += std::string(i ? "," : "") + "{\"pgid\":" + std::to_string(i + 2) + "}";
  return s + "]";
}

TEST(MeterRequest, Valid) {
  for (const std::string& line : std::vector<std::string>{
           R"({"id":"a","processes":[]})",
           R"({"id":"a","processes":[],"groups":null,"extra":[1,2]})",
           R"({"id":"a","processes":[{"pid":5,"startedAt":1.5}]})",
           R"({"id":"a","processes":[{"pid":5,"startedAt":null,"parentPid":1}]})",
           R"({"id":"a","processes":[{"pid":5.0,"startedAt":7,"parentPid":null}]})",
           R"({"id":"a","processes":[],"groups":[{"pgid":2},{"pgid":3,"startedAt":null},{"pgid":4,"startedAt":9}]})",
           R"( {"id":"a","processes":[]} )" "\r",
           "{\"id\":\"" + std::string(128, 'x') + "\",\"processes\":" + processes(32) + ",\"groups\":" + groups(8) + "}",
           "{\"id\":\"" + std::string(64, 'x') + "\xc3\xa9\",\"processes\":[]}",
       })
    EXPECT_TRUE(accepted(line)) << line;
  auto r = decodeRequest(R"({"id":"q","processes":[{"pid":5,"startedAt":null,"parentPid":3}],"groups":[{"pgid":9,"startedAt":2.5}]})");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->id, "q");
  ASSERT_EQ(r->processes.size(), 1u);
  EXPECT_EQ(r->processes[0].pid, 5);
  EXPECT_FALSE(r->processes[0].startedAt);
  EXPECT_EQ(r->processes[0].parentPid, 3);
  ASSERT_EQ(r->groups.size(), 1u);
  EXPECT_EQ(r->groups[0].startedAt, 2.5);
}

TEST(MeterRequest, Invalid) {
  for (const std::string& line : std::vector<std::string>{
           "", " ", "[]", "null", "{", R"({"processes":[]})", R"({"id":"","processes":[]})",
           R"({"id":5,"processes":[]})", R"({"id":"a"})", R"({"id":"a","processes":null})",
           R"({"id":"a","processes":{}})", R"({"id":"a","processes":[5]})",
           R"({"id":"a","processes":[],"groups":{}})",
           R"({"id":"a","processes":[{"pid":5}]})",                                  // no startedAt key
           R"({"id":"a","processes":[{"pid":5,"startedAt":null}]})",                 // no proof at all
           R"({"id":"a","processes":[{"pid":0,"startedAt":1}]})",
           R"({"id":"a","processes":[{"pid":-1,"startedAt":1}]})",
           R"({"id":"a","processes":[{"pid":2147483648,"startedAt":1}]})",
           R"({"id":"a","processes":[{"pid":5.5,"startedAt":1}]})",
           R"({"id":"a","processes":[{"pid":"5","startedAt":1}]})",
           R"({"id":"a","processes":[{"pid":true,"startedAt":1}]})",
           R"({"id":"a","processes":[{"pid":5,"startedAt":-1}]})",
           R"({"id":"a","processes":[{"pid":5,"startedAt":0}]})",
           R"({"id":"a","processes":[{"pid":5,"startedAt":1e999}]})",
           R"({"id":"a","processes":[{"pid":5,"startedAt":"1"}]})",
           R"({"id":"a","processes":[{"pid":5,"startedAt":1,"parentPid":0}]})",
           R"({"id":"a","processes":[],"groups":[{"pgid":1}]})",
           R"({"id":"a","processes":[],"groups":[{"startedAt":1}]})",
           R"({"id":"a","processes":[],"groups":[{"pgid":5,"startedAt":-2}]})",
           "{\"id\":\"" + std::string(129, 'x') + "\",\"processes\":[]}",
           "{\"id\":\"" + std::string(127, 'x') + "\xc3\xa9\",\"processes\":[]}",  // 129 bytes
           "{\"id\":\"a\xff\",\"processes\":[]}",
           "{\"id\":\"a\",\"processes\":" + processes(33) + "}",
           "{\"id\":\"a\",\"processes\":[],\"groups\":" + groups(9) + "}",
       })
    EXPECT_FALSE(accepted(line)) << line;
}

TEST(MeterResponse, EveryKeyPresentAndNullsWritten) {
  Response r;
  r.id = "x\"/";
  r.processes.push_back({5, 1.5, 10, 20, std::nullopt});
  r.processes.push_back({6, std::nullopt, std::nullopt, std::nullopt, std::nullopt});
  r.groups.push_back({7, 2.0, 3, 30, 40});
  r.pressure = "normal";
  r.availableBytes = 18446744073709551615ull;
  auto j = nlohmann::json::parse(encodeResponse(r));
  EXPECT_EQ(j["id"], "x\"/");
  EXPECT_EQ(j["processes"][0], nlohmann::json::parse(
      R"({"pid":5,"startedAt":1.5,"footprintBytes":10,"residentBytes":20,"cpuTimeNs":null})"));
  EXPECT_EQ(j["processes"][1], nlohmann::json::parse(
      R"({"pid":6,"startedAt":null,"footprintBytes":null,"residentBytes":null,"cpuTimeNs":null})"));
  EXPECT_EQ(j["groups"][0], nlohmann::json::parse(
      R"({"pgid":7,"startedAt":2.0,"processCount":3,"footprintBytes":30,"residentBytes":40})"));
  EXPECT_EQ(j["pressure"], "normal");
  EXPECT_TRUE(j["swapUsedBytes"].is_null());
  EXPECT_EQ(j["availableBytes"].get<uint64_t>(), 18446744073709551615ull);
  EXPECT_EQ(encodeResponse(Response{"e", {}, {}, "unknown", {}, {}}).find('\n'), std::string::npos);
}

}  // namespace
}  // namespace quorl::usage
