#include "sim/SimLineConfig.h"

#include "platform/SerialNames.h"

#include <cmath>
#include <set>

bool ValidateSimLineConfig(const SimLineConfig& config, std::string* error) {
    auto fail = [&](const std::string& text) {
        if (error) *error = text;
        return false;
    };
    std::set<int> addresses;
    for (const SimCounterConfig& counter : config.counters) {
        if (!ValidateSimCounterConfig(counter, error)) return false;
        if (!addresses.insert(counter.address).second)
            return fail("two counters share bus address " + std::to_string(counter.address));
    }
    if (!std::isfinite(config.timeScale) || config.timeScale <= 0) return fail("time scale must be a positive number");
    if (config.pace && (config.paceBaud < 50 || config.paceBaud > 4000000)) return fail("pacing baud rate out of range");
    int number = 0;
    if (!config.comName.empty() && !serialnames::ParseComName(config.comName, &number))
        return fail("'" + config.comName + "' is not a COM name");
    return true;
}
