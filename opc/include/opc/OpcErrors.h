#pragma once
// The result codes an OPC DA client meets, with their symbolic names and
// their texts in English: one table for the server's GetErrorString and for
// the vok toolbox's messages.

#include "opc/OpcDa.h"

// The connection-point codes of COM, which OPC DA 2.0 clients meet when they
// advise their callback through IConnectionPoint.
constexpr HRESULT CONNECT_E_NOCONNECTION = static_cast<HRESULT>(0x80040200);
constexpr HRESULT CONNECT_E_ADVISELIMIT = static_cast<HRESULT>(0x80040201);
constexpr HRESULT CONNECT_E_CANNOTCONNECT = static_cast<HRESULT>(0x80040202);

// The code's symbolic name ("OPC_E_UNKNOWNITEMID"); null for a code not in the table.
const char* OpcErrorName(HRESULT code);
// The code's text in English, one sentence; null for a code not in the table.
const char* OpcErrorText(HRESULT code);
