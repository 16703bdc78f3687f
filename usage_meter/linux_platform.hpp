#pragma once
// The usage meter's figures from /proc (see the README's usage section for which
// figure stands for what).
#include <memory>

#include "usage_meter/metrics.hpp"

namespace quorl::usage {

std::unique_ptr<MeterPlatform> linuxPlatform();

}  // namespace quorl::usage
