#pragma once
// The program's user-visible texts by identifier, all in one table so that a
// translation replaces the table and nothing else. Log texts are fixed English
// and do not live here.

#include "platform/WinTypes.h"

#include <span>
#include <string>

// Identifiers of the string table. The numbers of the prompts and messages
// that the other programs' documentation quotes (612xx) are kept as they are.
enum StringId : UINT {
    // The document type: seven fields separated by new-lines (window title,
    // default document name, file type name, filter name, extension, registry
    // type id, registry type name).
    IDS_DOCUMENT_TYPE = 128,

    IDS_APP_NAME = 200,
    IDS_MODEL_NAME = 201,
    IDS_DEVICE_PROPERTIES = 202,
    IDS_DATA_FROM_DEVICE = 203,
    IDS_SIMULATE_TAG_DATA = 204,

    // OPC quality: the major texts, then the sub-status texts.
    IDS_QUALITY_GOOD = 300,
    IDS_QUALITY_UNCERTAIN = 301,
    IDS_QUALITY_BAD = 302,
    IDS_QUALITY_LAST_KNOWN = 310,
    IDS_QUALITY_SENSOR_NOT_ACCURATE = 311,
    IDS_QUALITY_EU_EXCEEDED = 312,
    IDS_QUALITY_SUB_NORMAL = 313,
    IDS_QUALITY_CONFIG_ERROR = 314,
    IDS_QUALITY_NOT_CONNECTED = 315,
    IDS_QUALITY_DEVICE_FAILURE = 316,
    IDS_QUALITY_SENSOR_FAILURE = 317,
    IDS_QUALITY_COMM_FAILURE = 318,
    IDS_QUALITY_OUT_OF_SERVICE = 319,

    IDS_ACCESS_READ_ONLY = 330,
    IDS_ACCESS_READ_WRITE = 331,

    // Variant type names as the tag dialogs show them.
    IDS_TYPE_EMPTY = 340,
    IDS_TYPE_I2 = 341,
    IDS_TYPE_I4 = 342,
    IDS_TYPE_R4 = 343,
    IDS_TYPE_R8 = 344,
    IDS_TYPE_DATE = 345,
    IDS_TYPE_STRING = 346,
    IDS_TYPE_BOOL = 347,
    IDS_TYPE_BYTE = 348,

    IDS_SIM_SINE = 360,
    IDS_SIM_RAMP = 361,
    IDS_SIM_RANDOM = 362,

    // The 21 counter tag kinds, comma-separated, in kind order (0 to 20).
    // Some descriptions are empty, so a split must keep empty fields.
    IDS_TAG_KIND_NAMES = 400,
    IDS_TAG_KIND_DESCRIPTIONS = 401,

    // The six tag groups of a counter device, by group kind 0 to 5.
    IDS_GROUP_BIN_SIZES = 410,
    IDS_GROUP_CUMULATIVE_RAW = 411,
    IDS_GROUP_CUMULATIVE_NORMALIZED = 412,
    IDS_GROUP_DIFFERENTIAL_RAW = 413,
    IDS_GROUP_DIFFERENTIAL_NORMALIZED = 414,
    IDS_GROUP_ANALOG_DATA = 415,

    // Header texts of the tag list's columns, by column id 0 to 6.
    IDS_COLUMN_NAME = 500,
    IDS_COLUMN_VALUE = 501,
    IDS_COLUMN_QUALITY = 502,
    IDS_COLUMN_LAST_UPDATED = 503,
    IDS_COLUMN_MODE = 504,
    IDS_COLUMN_ID = 505,
    IDS_COLUMN_DESCRIPTION = 506,

    IDS_BIN_SIZES_WRITE_FAILED = 600,
    IDS_BIN_SIZES_NOT_CONFIRMED = 601,

    IDS_VENDOR_INFO = 61207,
    IDS_USAGE = 61208,
    IDS_OLE_INIT_FAILED = 61209,
    IDS_HELP_FILE_NOT_FOUND = 61219,
    IDS_HTML_HELP_NOT_INSTALLED = 61220,
    IDS_CONFIRM_DESTROY_CONFIG = 61250,
    IDS_WRITE_VALUE_INVALID = 61253,
    IDS_WRITE_TAG_FAILED = 61254,
    IDS_TEXT_FILE_FILTER = 61263,
    IDS_SELECT_FILE_TITLE = 61264,
    IDS_TEXT_FILE_EXTENSION = 61265,
};

struct StringTableEntry {
    UINT id;
    const char* text;
};

// The text of an identifier; empty for an identifier the table does not hold.
std::string LoadStringText(UINT id);
// Whether the table holds the identifier.
bool HasStringText(UINT id);
// The whole table, ordered by identifier.
std::span<const StringTableEntry> StringTableEntries();
