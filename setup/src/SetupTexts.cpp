#include "setup/SetupTexts.h"

#include "setup/NumberText.h"

namespace setuptexts {

std::string OpenFailedCaption(int port) { return std::string(kOpenFailedCaption) + " " + std::to_string(port); }
std::string ComportPane(int port) { return "Comport: " + std::to_string(port); }
std::string DevicePane(int address) { return "Device: " + std::to_string(address); }

std::string SizeDoesNotFit(double size) {
    return "The size " + numbertext::SizeListText(size) +
           " cannot be programmed: the counter keeps three characters of a size and would be given " +
           numbertext::SizeText(size) + " instead.\nPlease either edit or delete it.";
}

}  // namespace setuptexts
