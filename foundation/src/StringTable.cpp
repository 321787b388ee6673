#include "foundation/StringTable.h"

#include <algorithm>
#include <array>

namespace {

// Ordered by identifier, so that a look-up can search it.
constexpr std::array kTable = {
    StringTableEntry{IDS_DOCUMENT_TYPE,
                     "VOK Explorer\nVOKConfig\nVOK Explorer Config\nVOK Explorer Config (*.psf)\n.psf\n"
                     "VOKExplorer.Document\nVOK Explorer Config"},
    StringTableEntry{IDS_APP_NAME, "VOK Explorer"},
    StringTableEntry{IDS_MODEL_NAME, "4400 VOK"},
    StringTableEntry{IDS_DEVICE_PROPERTIES, "Device Properties"},
    StringTableEntry{IDS_DATA_FROM_DEVICE, "Data From Device"},
    StringTableEntry{IDS_SIMULATE_TAG_DATA, "Simulate Tag Data"},
    StringTableEntry{IDS_QUALITY_GOOD, "Good"},
    StringTableEntry{IDS_QUALITY_UNCERTAIN, "Uncertain"},
    StringTableEntry{IDS_QUALITY_BAD, "Bad"},
    StringTableEntry{IDS_QUALITY_LAST_KNOWN, "Last Known Value"},
    StringTableEntry{IDS_QUALITY_SENSOR_NOT_ACCURATE, "Sensor Not Accurate"},
    StringTableEntry{IDS_QUALITY_EU_EXCEEDED, "Engineering units exceeded"},
    StringTableEntry{IDS_QUALITY_SUB_NORMAL, "Sub Normal"},
    StringTableEntry{IDS_QUALITY_CONFIG_ERROR, "Config Error"},
    StringTableEntry{IDS_QUALITY_NOT_CONNECTED, "Not Connected"},
    StringTableEntry{IDS_QUALITY_DEVICE_FAILURE, "Device Failure"},
    StringTableEntry{IDS_QUALITY_SENSOR_FAILURE, "Sensor Failure"},
    StringTableEntry{IDS_QUALITY_COMM_FAILURE, "Comm Failure"},
    StringTableEntry{IDS_QUALITY_OUT_OF_SERVICE, "Out Of Service"},
    StringTableEntry{IDS_ACCESS_READ_ONLY, "Read Only"},
    StringTableEntry{IDS_ACCESS_READ_WRITE, "Read/Write"},
    StringTableEntry{IDS_TYPE_EMPTY, "Empty"},
    StringTableEntry{IDS_TYPE_I2, "Integer (2 Byte)"},
    StringTableEntry{IDS_TYPE_I4, "Integer (4 Byte)"},
    StringTableEntry{IDS_TYPE_R4, "Float (4 Byte)"},
    StringTableEntry{IDS_TYPE_R8, "Double (8 Byte)"},
    StringTableEntry{IDS_TYPE_DATE, "Date"},
    StringTableEntry{IDS_TYPE_STRING, "String"},
    StringTableEntry{IDS_TYPE_BOOL, "Boolean"},
    StringTableEntry{IDS_TYPE_BYTE, "Byte"},
    StringTableEntry{IDS_SIM_SINE, "Sine"},
    StringTableEntry{IDS_SIM_RAMP, "Ramp"},
    StringTableEntry{IDS_SIM_RANDOM, "Random"},
    StringTableEntry{IDS_TAG_KIND_NAMES,
                     "Software Version,Num Bins,Bin Size,Cumulative Raw Count Bin,Total Raw Counts,"
                     "Cumulative Normalized Count Bin,Total Normalized Counts,Analog Input,Sample Interval,"
                     "Flow Level,Counter Alarm,Calibration Alarm,Count Alarm,Analog Alarm,Comm Alarm,"
                     "Concentration Alarm,Comm Status,Counter In Service,In Service,Differential Raw Count Bin,"
                     "Differential Normalized Count Bin"},
    StringTableEntry{IDS_TAG_KIND_DESCRIPTIONS,
                     "Embedded Software Version,Number of Active Bins,Microns,"
                     "Cumulative raw counts (#particles in this bin and above),"
                     "Sum of raw counts for all active bins,"
                     "Cumulative normalized counts (#particles per ml in this bin and above),"
                     "Sum of normalized counts for all active bins,Analog Input,Seconds,Flow ml/min,"
                     "Set if counter is in alarm state,,,,,,"
                     "Comm Status (0=OK 1=Comm Fail 2=Addr Conflict),"
                     "Counter is Online/Offline (1=In Service) (0=Out of Service),"
                     "Anlog input device is Online/Offline (1=In Service) (0=Out of Service),"
                     "Differential raw counts (#of particles in bin),"
                     "Differential normalized counts (#of particles in bin per ml)"},
    StringTableEntry{IDS_GROUP_BIN_SIZES, "Bin Sizes"},
    StringTableEntry{IDS_GROUP_CUMULATIVE_RAW, "Cumulative Raw Bin Counts"},
    StringTableEntry{IDS_GROUP_CUMULATIVE_NORMALIZED, "Cumulative Normalized Bin Counts"},
    StringTableEntry{IDS_GROUP_DIFFERENTIAL_RAW, "Differential Raw Bin Counts"},
    StringTableEntry{IDS_GROUP_DIFFERENTIAL_NORMALIZED, "Differential Normalized Bin Counts"},
    StringTableEntry{IDS_GROUP_ANALOG_DATA, "Analog Data"},
    StringTableEntry{IDS_COLUMN_NAME, "Name"},
    StringTableEntry{IDS_COLUMN_VALUE, "Value"},
    StringTableEntry{IDS_COLUMN_QUALITY, "Quality"},
    StringTableEntry{IDS_COLUMN_LAST_UPDATED, "Last Updated"},
    StringTableEntry{IDS_COLUMN_MODE, "Mode"},
    StringTableEntry{IDS_COLUMN_ID, "Id"},
    StringTableEntry{IDS_COLUMN_DESCRIPTION, "Description"},
    StringTableEntry{IDS_BIN_SIZES_WRITE_FAILED,
                     "Failed to write bin sizes to the counter.\nPlease check connections and try again."},
    StringTableEntry{IDS_BIN_SIZES_NOT_CONFIRMED,
                     "The change in bin sizes could not be confirmed.\nAn error occurred during communication "
                     "with the counter.\nPlease try again."},
    StringTableEntry{IDS_VENDOR_INFO, "VOK Explorer by Vell Company"},
    StringTableEntry{IDS_OLE_INIT_FAILED, "Ole Initialization failed"},
    StringTableEntry{IDS_HELP_FILE_NOT_FOUND, "Unable to find the help file"},
    StringTableEntry{IDS_HTML_HELP_NOT_INSTALLED, "HTML Help is not installed!!"},
    StringTableEntry{IDS_CONFIRM_DESTROY_CONFIG,
                     "You are about to destroy the current configuration.  Do you wish to proceed?"},
    StringTableEntry{IDS_WRITE_VALUE_INVALID,
                     "Unable to write the input tag value.\nFor bool use T, F or True, False\nDates are not supported"},
    StringTableEntry{IDS_WRITE_TAG_FAILED, "Failed to write to tag"},
    StringTableEntry{IDS_TEXT_FILE_FILTER, "Text Files (*.txt)|*.txt||"},
    StringTableEntry{IDS_SELECT_FILE_TITLE, "Select File"},
    StringTableEntry{IDS_TEXT_FILE_EXTENSION, ".txt"},
};

const StringTableEntry* Find(UINT id) {
    auto it = std::lower_bound(kTable.begin(), kTable.end(), id,
                               [](const StringTableEntry& e, UINT wanted) { return e.id < wanted; });
    return it != kTable.end() && it->id == id ? &*it : nullptr;
}

}  // namespace

std::string LoadStringText(UINT id) {
    const StringTableEntry* entry = Find(id);
    return entry != nullptr ? entry->text : std::string();
}

bool HasStringText(UINT id) { return Find(id) != nullptr; }

std::span<const StringTableEntry> StringTableEntries() { return kTable; }
