#include "Components.h"

#include <mutex>

namespace platform {
namespace {
std::mutex guard;
std::vector<std::pair<std::string, std::string>>& palette() {
    static std::vector<std::pair<std::string, std::string>> registered;
    return registered;
}
} // namespace

void RegisterComponents(const std::string& page, const std::vector<std::string>& classes) {
    std::lock_guard lock(guard);
    for (const std::string& name : classes) {
        palette().emplace_back(page, name);
    }
}

std::vector<std::pair<std::string, std::string>> RegisteredComponents() {
    std::lock_guard lock(guard);
    return palette();
}

} // namespace platform
