#pragma once
// The server's values on the wire and back: GUIDs, VARIANTs, times, clipboard
// formats and wide strings. What comes from another process is checked, not
// trusted: a value of a type the server does not serve is refused.

#include "opc/OpcDa.h"
#include "schema/opc.capnp.h"

#include <cstddef>
#include <string>

namespace remote {

void ToWire(REFGUID guid, vokrpc::Guid::Builder out);
bool FromWire(vokrpc::Guid::Reader in, GUID& out);

void ToWire(const FILETIME& time, vokrpc::FileTime::Builder out);
FILETIME FromWire(vokrpc::FileTime::Reader in);

// The most words one variant may take as this side writes it (256 KiB). A
// sender can make a variant cheap to read that is dear to write (an element
// with no fields costs it one word, its written form four; a byte of text
// that is no UTF-8 comes back as three), so the reader measures what it takes
// in the written form: whatever it takes writes within this bound and reads
// back again.
constexpr std::size_t kMaxVariantWords = std::size_t(1) << 15;

// By-reference variants are sent as the value they refer to.
void ToWire(const VARIANT& value, vokrpc::Variant::Builder out);
// False (out Empty) for a type that is not served, an array too deep or
// malformed, or one whose bounds leave the index range, and for a variant
// whose written form would exceed kMaxVariantWords.
bool FromWire(vokrpc::Variant::Reader in, VARIANT& out);

// The format with its name when it is a registered one. Read back, a name is
// looked up, not registered: the three OPC stream formats are known, any
// other name (and a registered number without a name) reads as format 0.
void ToWire(const FORMATETC& format, vokrpc::FormatEtc::Builder out);
FORMATETC FromWire(vokrpc::FormatEtc::Reader in);

// Wide strings as UTF-8 text; a null string travels as empty.
std::string Text(LPCWSTR text);
std::u16string Wide(capnp::Text::Reader text);

}  // namespace remote
