#pragma once
// The server's values on the wire and back: GUIDs, VARIANTs, times, clipboard
// formats and wide strings. What comes from another process is checked, not
// trusted: a value of a type the server does not serve is refused.

#include "opc/OpcDa.h"
#include "schema/opc.capnp.h"

#include <string>

namespace remote {

void ToWire(REFGUID guid, vokrpc::Guid::Builder out);
bool FromWire(vokrpc::Guid::Reader in, GUID& out);

void ToWire(const FILETIME& time, vokrpc::FileTime::Builder out);
FILETIME FromWire(vokrpc::FileTime::Reader in);

// By-reference variants are sent as the value they refer to.
void ToWire(const VARIANT& value, vokrpc::Variant::Builder out);
// False (out Empty) for a type that is not served or an array too deep or malformed.
bool FromWire(vokrpc::Variant::Reader in, VARIANT& out);

// The format with its name when it is a registered one.
void ToWire(const FORMATETC& format, vokrpc::FormatEtc::Builder out);
FORMATETC FromWire(vokrpc::FormatEtc::Reader in);

// Wide strings as UTF-8 text; a null string travels as empty.
std::string Text(LPCWSTR text);
std::u16string Wide(capnp::Text::Reader text);

}  // namespace remote
