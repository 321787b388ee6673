#pragma once
// The setup tool's user-visible texts, kept here so that the windows show
// exactly the tool's own wording and the core can hand them over without
// showing anything itself.

#include <string>
#include <string_view>

namespace setuptexts {

// Message 1005: the port shares its interrupt with a port already in use.
inline constexpr std::string_view kIrqBusy =
    "Unable to open a serial port. The unopened serial port is sharing an IRQ with a modem or \n"
    "another serial port that is already in use by other software. Examples of software that use \n"
    "serial ports include Internet access packages (e.g. Netscape, Internet Explorer, \n"
    "Compuserve, AOL), and serial drivers for printers, instruments, and PLCs.\n"
    "\n"
    "You can install a serial port expander adapter (if this computer accepts ISA or PCI \n"
    "cards), which will increase the number of ports and eliminate the IRQ conflicts between \n"
    "ports. Serial Port Expanders are available from Quelvar.\n";

// Message 1006: another program holds the port.
inline constexpr std::string_view kPortInUse =
    "Unable to open a serial port. The unopened serial port is already in use by other software. \n"
    "Examples of software that use serial ports include Internet access packages (e.g. \n"
    "Netscape, Internet Explorer, Compuserve, AOL), and serial drivers for printers,\n"
    " instruments, and PLCs. Close the other software and try again..\n"
    "\n"
    "You can also install a serial port expander adapter (if this computer accepts ISA or PCI \n"
    "cards), which will increase the number of ports. Serial Port Expanders are available from \n"
    "Quelvar. \n";

inline constexpr int kIrqBusyId = 1005;
inline constexpr int kPortInUseId = 1006;

// The caption of both port messages is this text, a space and the port number.
inline constexpr std::string_view kOpenFailedCaption = "Unable to open serial port";

// Editing refusals.
inline constexpr std::string_view kTooManySizes =
    "The counter can only handle up to 32 size.\nPlease either edit or delete an existing size.";
inline constexpr std::string_view kSizeExists = "The size already exists.";
inline constexpr std::string_view kCalPointExists = "The Cal piont with the save size or voltage already exists.";

// Programming checks.
inline constexpr std::string_view kNeedOneSize = "You need at least one size";
inline constexpr std::string_view kSizesNotAscending =
    "Sizes must be in ascending order, and no duplicates are allowed";
inline constexpr std::string_view kNeedThreeCalPoints = "You must supply at least three cal points.";
inline constexpr std::string_view kVoltagesNotAscending =
    "Voltages must be in ascending order, and no duplicates are allowed";

// Asked when the selection changes while an editing copy has unsaved changes
// (Yes, No and Cancel, question icon).
inline constexpr std::string_view kSizesChangedPrompt =
    "The Size information for this sensor has been changed!\n"
    "Do you wish to reprogram the counter with the new sizes?\n"
    "\n"
    "Yes - To program the counter.\n"
    "No - To discard the changes.\n"
    "Cancel - To Continue editing this sensor.";
inline constexpr std::string_view kCalChangedPrompt =
    "The Calibration information for this sensor has been changed!\n"
    "Do you wish to reprogram the counter with the new calibration?\n"
    "\n"
    "Yes - To program the counter.\n"
    "No - To discard the changes.\n"
    "Cancel - To Continue editing this sensor.";

// The texts beside the lists.
inline constexpr std::string_view kStep1Text =
    "STEP 1:\nClick the sensor you wish to setup.\n\nIf the sensor you wish to setup is not in the tree check to "
    "make sure that it is on and connected to the network, then click the rescan button.";
inline constexpr std::string_view kStep2Text =
    "STEP 2:\nTo Add a size click the add button.\n\nTo Edit a size select the size and click edit.\n\nTo Delete a "
    "size select the size and click delete.\n\nThe sizes will automatically re-sort.";
inline constexpr std::string_view kCautionText =
    "CAUTION:\nMake sure you have a valid calibration sheet before continuing!\n if your not sure, contact customer "
    "support.\nTo Add a point click the Add button.\nTo Edit a  point, select the point and click the edit "
    "button.\nTo Delete a  point, select the point and click the delete button.";

// Controls and dialogs.
inline constexpr std::string_view kRescanButton = "Rescan for devices";
inline constexpr std::string_view kAddButton = "Add";
inline constexpr std::string_view kEditButton = "Edit";
inline constexpr std::string_view kDeleteButton = "Delete";
inline constexpr std::string_view kSaveSizesButton = "Save Sizes to counter";
inline constexpr std::string_view kSavePointsButton = "Save Points to counter";
inline constexpr std::string_view kSizesColumn = "Sizes(\xC2\xB5)";
inline constexpr std::string_view kVoltageColumn = "Voltage(mV)";
inline constexpr std::string_view kAddSizeTitle = "Add Size";
inline constexpr std::string_view kEditSizeTitle = "Edit Size";
inline constexpr std::string_view kSizeDialogName = "Add/Edit Size";
inline constexpr std::string_view kCalDialogName = "Add/Edit Cals";
inline constexpr std::string_view kSizeField = "Size:";
inline constexpr std::string_view kVoltageField = "Voltage:";
inline constexpr std::string_view kThreeCharactersNote = "Three characters Maximum";
// The size field takes at most this many typed characters.
inline constexpr int kSizeFieldChars = 3;
// Both fields of the calibration dialog take numbers in this range.
inline constexpr double kCalFieldMin = 0.01;
inline constexpr double kCalFieldMax = 999;

// Status bar.
inline constexpr std::string_view kReady = "Ready";
inline constexpr std::string_view kScanning = "Scanning";
inline constexpr std::string_view kProgramming = "Programming";
inline constexpr std::string_view kFlashing = "Flashing";

// The refusal of a size the counter cannot hold in three characters (only a
// counter's own reply can bring one): "The size 12.5 cannot be programmed ...".
std::string SizeDoesNotFit(double size);

// "Unable to open serial port 3".
std::string OpenFailedCaption(int port);
// "Comport: 3" and "Device: 5" of the Programming and Flashing layouts.
std::string ComportPane(int port);
std::string DevicePane(int address);

}  // namespace setuptexts
