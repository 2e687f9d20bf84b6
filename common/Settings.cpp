#include "Settings.h"

const char* const settings_base_key = "\\Software\\Quendar\\Orvalen 1.5";

std::int32_t TRegistryIniFileSpecial::ReadIntegerInRange(const std::string& name, std::int32_t low,
                                                         std::int32_t low_default,
                                                         std::int32_t high,
                                                         std::int32_t high_default) {
    const std::int32_t value = ReadInteger(name, 0);
    if (low != -1 && value <= low) {
        WriteInteger(name, low_default);
        return low_default;
    }
    if (high != -1 && value >= high) {
        WriteInteger(name, high_default);
        return high_default;
    }
    return value;
}
