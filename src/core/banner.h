// The start-up banner.
#pragma once

#include <string>

#include "core/settings.h"

namespace quarel::core {

std::string banner(const Settings& settings);

}  // namespace quarel::core
