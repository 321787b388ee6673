#include "foundation/StringTable.h"

#include <algorithm>
#include <iterator>

namespace {

// Ordered by identifier, so that a look-up can search it by halves.
constexpr StringTableEntry kTable[] = {
    {IDS_DOCUMENT_TYPE,
     "VOK Explorer\nVOKConfig\nVOK Explorer Config\nVOK Explorer Config (*.psf)\n.psf\nVOKExplorer.Document\n"
     "VOK Explorer Config"},

    {IDS_APP_NAME, "VOK Explorer"},
    {IDS_MODEL_NAME, "4400 VOK"},
    {IDS_DEVICE_PROPERTIES, "Device Properties"},
    {IDS_DATA_FROM_DEVICE, "Data From Device"},
    {IDS_SIMULATE_TAG_DATA, "Simulate Tag Data"},

    {IDS_QUALITY_GOOD, "Good"},
    {IDS_QUALITY_UNCERTAIN, "Uncertain"},
    {IDS_QUALITY_BAD, "Bad"},
    {IDS_QUALITY_LAST_KNOWN, "Last Known Value"},
    {IDS_QUALITY_SENSOR_NOT_ACCURATE, "Sensor Not Accurate"},
    {IDS_QUALITY_EU_EXCEEDED, "Engineering units exceeded"},
    {IDS_QUALITY_SUB_NORMAL, "Sub Normal"},
    {IDS_QUALITY_CONFIG_ERROR, "Config Error"},
    {IDS_QUALITY_NOT_CONNECTED, "Not Connected"},
    {IDS_QUALITY_DEVICE_FAILURE, "Device Failure"},
    {IDS_QUALITY_SENSOR_FAILURE, "Sensor Failure"},
    {IDS_QUALITY_COMM_FAILURE, "Comm Failure"},
    {IDS_QUALITY_OUT_OF_SERVICE, "Out Of Service"},

    {IDS_ACCESS_READ_ONLY, "Read Only"},
    {IDS_ACCESS_READ_WRITE, "Read/Write"},

    {IDS_TYPE_EMPTY, "Empty"},
    {IDS_TYPE_I2, "Integer (2 Byte)"},
    {IDS_TYPE_I4, "Integer (4 Byte)"},
    {IDS_TYPE_R4, "Float (4 Byte)"},
    {IDS_TYPE_R8, "Double (8 Byte)"},
    {IDS_TYPE_DATE, "Date"},
    {IDS_TYPE_STRING, "String"},
    {IDS_TYPE_BOOL, "Boolean"},
    {IDS_TYPE_BYTE, "Byte"},

    {IDS_SIM_SINE, "Sine"},
    {IDS_SIM_RAMP, "Ramp"},
    {IDS_SIM_RANDOM, "Random"},

    {IDS_TAG_KIND_NAMES,
     "Software Version,Num Bins,Bin Size,Cumulative Raw Count Bin,Total Raw Counts,"
     "Cumulative Normalized Count Bin,Total Normalized Counts,Analog Input,Sample Interval,Flow Level,"
     "Counter Alarm,Calibration Alarm,Count Alarm,Analog Alarm,Comm Alarm,Concentration Alarm,Comm Status,"
     "Counter In Service,In Service,Differential Raw Count Bin,Differential Normalized Count Bin"},
    {IDS_TAG_KIND_DESCRIPTIONS,
     "Embedded Software Version,Number of Active Bins,Microns,"
     "Cumulative raw counts (#particles in this bin and above),Sum of raw counts for all active bins,"
     "Cumulative normalized counts (#particles per ml in this bin and above),"
     "Sum of normalized counts for all active bins,Analog Input,Seconds,Flow ml/min,"
     "Set if counter is in alarm state,,,,,,"
     "Comm Status (0=OK 1=Comm Fail 2=Addr Conflict),"
     "Counter is Online/Offline (1=In Service) (0=Out of Service),"
     "Anlog input device is Online/Offline (1=In Service) (0=Out of Service),"
     "Differential raw counts (#of particles in bin),"
     "Differential normalized counts (#of particles in bin per ml)"},

    {IDS_GROUP_BIN_SIZES, "Bin Sizes"},
    {IDS_GROUP_CUMULATIVE_RAW, "Cumulative Raw Bin Counts"},
    {IDS_GROUP_CUMULATIVE_NORMALIZED, "Cumulative Normalized Bin Counts"},
    {IDS_GROUP_DIFFERENTIAL_RAW, "Differential Raw Bin Counts"},
    {IDS_GROUP_DIFFERENTIAL_NORMALIZED, "Differential Normalized Bin Counts"},
    {IDS_GROUP_ANALOG_DATA, "Analog Data"},

    {IDS_COLUMN_NAME, "Name"},
    {IDS_COLUMN_VALUE, "Value"},
    {IDS_COLUMN_QUALITY, "Quality"},
    {IDS_COLUMN_LAST_UPDATED, "Last Updated"},
    {IDS_COLUMN_MODE, "Mode"},
    {IDS_COLUMN_ID, "Id"},
    {IDS_COLUMN_DESCRIPTION, "Description"},

    {IDS_BIN_SIZES_WRITE_FAILED, "Failed to write bin sizes to the counter.\nPlease check connections and try again."},
    {IDS_BIN_SIZES_NOT_CONFIRMED,
     "The change in bin sizes could not be confirmed.\nAn error occurred during communication with the "
     "counter.\nPlease try again."},

    {IDS_VENDOR_INFO, "VOK Explorer by Vell Company"},
    {IDS_USAGE,
     "\"The OPC Server takes the following parameters:\n/RegServer - Register the server\n/UnRegServer -  "
     "Unregister the server\n\""},
    {IDS_OLE_INIT_FAILED, "Ole Initialization failed"},
    {IDS_HELP_FILE_NOT_FOUND, "Unable to find the help file"},
    {IDS_HTML_HELP_NOT_INSTALLED, "HTML Help is not installed!!"},
    {IDS_CONFIRM_DESTROY_CONFIG, "You are about to destroy the current configuration.  Do you wish to proceed?"},
    {IDS_WRITE_VALUE_INVALID,
     "Unable to write the input tag value.\nFor bool use T, F or True, False\nDates are not supported"},
    {IDS_WRITE_TAG_FAILED, "Failed to write to tag"},
    {IDS_TEXT_FILE_FILTER, "Text Files (*.txt)|*.txt||"},
    {IDS_SELECT_FILE_TITLE, "Select File"},
    {IDS_TEXT_FILE_EXTENSION, ".txt"},
};

constexpr bool IsOrdered() {
    for (std::size_t i = 1; i < std::size(kTable); ++i)
        if (kTable[i - 1].id >= kTable[i].id) return false;
    return true;
}
static_assert(IsOrdered(), "the string table must be ordered by identifier without repeats");

const StringTableEntry* Find(UINT id) {
    const auto it = std::lower_bound(std::begin(kTable), std::end(kTable), id,
                                     [](const StringTableEntry& entry, UINT wanted) { return entry.id < wanted; });
    if (it == std::end(kTable) || it->id != id) return nullptr;
    return &*it;
}

}  // namespace

std::string LoadStringText(UINT id) {
    const StringTableEntry* entry = Find(id);
    return entry != nullptr ? std::string(entry->text) : std::string();
}

bool HasStringText(UINT id) { return Find(id) != nullptr; }

std::span<const StringTableEntry> StringTableEntries() { return kTable; }
