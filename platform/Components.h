// The component palette: which classes each page offers. The display package registers its
// components here as the framework's design-time registration did; nothing else reads it.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace platform {

void RegisterComponents(const std::string& page, const std::vector<std::string>& classes);
// Every (page, class) registered so far, in order.
std::vector<std::pair<std::string, std::string>> RegisteredComponents();

} // namespace platform
