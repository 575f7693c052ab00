// Temporary stand-in until the real serial writer lands.
#include "core/app_log.h"

#include <iostream>

namespace lumidex {
void appLog(std::string_view message) { std::cerr << message << '\n'; }
}  // namespace lumidex
