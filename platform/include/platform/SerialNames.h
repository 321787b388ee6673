#pragma once
// COM names of the machine's serial devices. As on Windows, programs see COM
// names only: HKEY_LOCAL_MACHINE\Hardware\Devicemap\Serialcomm holds one value
// per serial device, its name the device path and its data the COM name.

#include <string>
#include <utility>
#include <vector>

namespace serialnames {

// The registry key that lists the serial devices.
inline constexpr const char* kSerialCommKey = "Hardware\\Devicemap\\Serialcomm";

struct Entry {
    std::string comName;     // "COM3"
    std::string devicePath;  // "/dev/ttyUSB0" or "/dev/pts/7"
};

// Every listed device, in registry order.
std::vector<Entry> List();

// The device path a COM name stands for ("COM3", any letter case, also
// "\\.\COM3"); empty when the name is not listed.
std::string DevicePathOf(const std::string& comName);

// Gives a device a COM name. Fails (with a message in *error) when another
// device carries the name; a device that had another name loses it.
bool Assign(const std::string& comName, const std::string& devicePath, std::string* error);

// Removes a COM name; false when it was not listed.
bool Remove(const std::string& comName);

// Lists the machine's ttyS, ttyUSB and ttyACM devices that have no COM name
// yet, giving each the next free one; names once given stay across restarts.
void RegisterMachineDevices();

// The machine's serial devices: /dev/ttyS* that have a UART behind them,
// /dev/ttyUSB* and /dev/ttyACM*, in that order and by number.
std::vector<std::string> MachineDevices();

// Gives each of the devices that has no COM name yet the next free one. A
// device counts as named when a listed path leads to the same device file.
// Where a stable /dev/serial/by-id path leads to the device, that is the path listed.
void RegisterDevices(const std::vector<std::string>& devicePaths);

// True when text is a COM name ("COM" and a number, any letter case,
// optionally with the "\\.\" device prefix); the number goes to *number.
bool ParseComName(const std::string& text, int* number);

}  // namespace serialnames
