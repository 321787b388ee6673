#pragma once
// The result codes an OPC DA client meets, with their symbolic names and
// their texts in English: one table for the server's GetErrorString and for
// the vok toolbox's messages.

#include "opc/OpcDa.h"

// The code's symbolic name ("OPC_E_UNKNOWNITEMID"); null for a code not in the table.
const char* OpcErrorName(HRESULT code);
// The code's text in English, one sentence; null for a code not in the table.
const char* OpcErrorText(HRESULT code);
