#pragma once
// One JSON object per line on standard output, flushed at once: the way our
// target applications tell a test what they received.
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

namespace quorl::apps {

inline void emitLine(const nlohmann::json& j) {
  std::string line = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

// "WxH+X+Y"; false when the text has another form.
inline bool parseGeometry(const std::string& text, int& width, int& height, int& x, int& y) {
  return std::sscanf(text.c_str(), "%dx%d+%d+%d", &width, &height, &x, &y) == 4 && width > 0 && height > 0;
}

}  // namespace quorl::apps
