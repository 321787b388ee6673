#pragma once
// The three data streams of the group's IDataObject, as OPC clients parse
// them: OPCSTMFORMATDATA, OPCSTMFORMATDATATIME and OPCSTMFORMATWRITECOMPLETE.
// They are wire formats laid out for the standard's 32-bit platform, so they
// are written field by field in little-endian order, whatever this
// platform's own structure sizes are: a 20-byte group header, 12-byte
// (values) or 20-byte (values and time stamps) item headers, 16-byte
// VARIANTs whose pointer fields carry 0, then the string or array data a
// VARIANT refers to; and for write results a 16-byte header with 8-byte
// records. The reader parses the same layouts back for clients.

#include "opc/OpcDa.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace opcstream {

constexpr std::size_t kGroupHeaderSize = 20;
constexpr std::size_t kItemHeaderSize = 12;
constexpr std::size_t kItemHeaderTimeSize = 20;
constexpr std::size_t kVariantSize = 16;
constexpr std::size_t kArrayDescriptorSize = 24;
constexpr std::size_t kWriteHeaderSize = 16;
constexpr std::size_t kWriteRecordSize = 8;

// The clipboard-format numbers of the three stream names, registered on first use.
CLIPFORMAT DataFormat();
CLIPFORMAT DataTimeFormat();
CLIPFORMAT WriteCompleteFormat();

// One item of a data stream; the value is the item's value in the type it is sent in.
struct ItemValue {
    OPCHANDLE hClient = 0;
    WORD quality = 0;
    FILETIME timestamp{};
    VARIANT value{};  // not owned by the writer; owned by the reader's result
};

struct WriteResult {
    OPCHANDLE hClient = 0;
    HRESULT error = S_OK;
};

// The bytes of a data stream. withTime selects OPCSTMFORMATDATATIME. A value
// of a type the stream cannot carry is sent as VT_EMPTY.
std::vector<std::uint8_t> WriteDataStream(bool withTime, OPCHANDLE hClientGroup, DWORD transactionId, HRESULT status,
                                          const std::vector<ItemValue>& items);
// itemCount is the request's count; the records are those of its items that are still alive.
std::vector<std::uint8_t> WriteWriteCompleteStream(OPCHANDLE hClientGroup, DWORD transactionId, HRESULT status,
                                                   const std::vector<WriteResult>& results, DWORD itemCount);

// The bytes in a new global block (null when out of memory), as a medium hands them over.
HGLOBAL ToGlobal(const std::vector<std::uint8_t>& bytes);
// A copy of a global block's bytes; empty for an invalid handle.
std::vector<std::uint8_t> FromGlobal(HGLOBAL block);

struct DataStream {
    DWORD size = 0;
    DWORD itemCount = 0;
    OPCHANDLE hClientGroup = 0;
    DWORD transactionId = 0;
    HRESULT status = S_OK;
    // Each value owned here (strings and arrays freed by the destructor).
    std::vector<ItemValue> items;

    DataStream() = default;
    DataStream(const DataStream&) = delete;
    DataStream& operator=(const DataStream&) = delete;
    DataStream(DataStream&& other) noexcept;
    DataStream& operator=(DataStream&& other) noexcept;
    ~DataStream();
};

struct WriteCompleteStream {
    DWORD itemCount = 0;
    OPCHANDLE hClientGroup = 0;
    DWORD transactionId = 0;
    HRESULT status = S_OK;
    std::vector<WriteResult> results;
};

// Parse a stream; nullopt (with the reason) for anything that does not hold
// together: sizes, counts, offsets or lengths pointing outside the bytes.
std::optional<DataStream> ReadDataStream(const std::vector<std::uint8_t>& bytes, bool withTime, std::string* error);
std::optional<WriteCompleteStream> ReadWriteCompleteStream(const std::vector<std::uint8_t>& bytes,
                                                           std::string* error);

}  // namespace opcstream
