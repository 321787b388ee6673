// The server's texts for result codes, as a client reads them through
// IOPCServer::GetErrorString, and the names the toolbox prints.
#include "OpcTestSupport.h"

#include "opc/OpcErrors.h"
#include "platform/Time.h"

#include <set>
#include <string>

namespace {

// The codes by their values as the OPC DA standard and COM define them, so
// that a wrong constant in a header shows here.
const struct {
    DWORD value;
    const char* name;
} kListed[] = {
    {0xC0040001, "OPC_E_INVALIDHANDLE"},     {0xC0040004, "OPC_E_BADTYPE"},
    {0xC0040005, "OPC_E_PUBLIC"},            {0xC0040006, "OPC_E_BADRIGHTS"},
    {0xC0040007, "OPC_E_UNKNOWNITEMID"},     {0xC0040008, "OPC_E_INVALIDITEMID"},
    {0xC0040009, "OPC_E_INVALIDFILTER"},     {0xC004000A, "OPC_E_UNKNOWNPATH"},
    {0xC004000B, "OPC_E_RANGE"},             {0xC004000C, "OPC_E_DUPLICATENAME"},
    {0x0004000D, "OPC_S_UNSUPPORTEDRATE"},   {0x0004000E, "OPC_S_CLAMP"},
    {0x0004000F, "OPC_S_INUSE"},             {0xC0040010, "OPC_E_INVALIDCONFIGFILE"},
    {0xC0040011, "OPC_E_NOTFOUND"},          {0xC0040203, "OPC_E_INVALID_PID"},
    {0x00000000, "S_OK"},                    {0x00000001, "S_FALSE"},
    {0x80004005, "E_FAIL"},                  {0x80070057, "E_INVALIDARG"},
    {0x8007000E, "E_OUTOFMEMORY"},           {0x80004001, "E_NOTIMPL"},
    {0x80004002, "E_NOINTERFACE"},           {0x80004003, "E_POINTER"},
    {0x8000FFFF, "E_UNEXPECTED"},            {0x80040200, "CONNECT_E_NOCONNECTION"},
    {0x80040201, "CONNECT_E_ADVISELIMIT"},   {0x80040064, "DV_E_FORMATETC"},
    {0x80040069, "DV_E_TYMED"},              {0x80040004, "OLE_E_NOCONNECTION"},
    {0x80040154, "REGDB_E_CLASSNOTREG"},     {0x80080005, "CO_E_SERVER_EXEC_FAILURE"},
    {0x80010108, "RPC_E_DISCONNECTED"},      {0x80020005, "DISP_E_TYPEMISMATCH"},
};

std::u16string ErrorString(IOPCServer* server, DWORD code, LCID locale, HRESULT& hr) {
    LPWSTR text = reinterpret_cast<LPWSTR>(1);
    hr = server->GetErrorString(static_cast<HRESULT>(code), locale, &text);
    if (FAILED(hr)) {
        EXPECT_EQ(text, nullptr) << "no string on failure";
        return {};
    }
    std::u16string copy = text != nullptr ? text : u"";
    CoTaskMemFree(text);
    return copy;
}

}  // namespace

TEST_F(OpcClientTest, ErrorStringsGiveTheTextOfEveryKnownCodeInEnglish) {
    IOPCServer* server = Connect();
    std::set<std::u16string> texts;
    for (const auto& listed : kListed) {
        const HRESULT code = static_cast<HRESULT>(listed.value);
        ASSERT_NE(OpcErrorName(code), nullptr) << listed.name;
        EXPECT_STREQ(OpcErrorName(code), listed.name);
        HRESULT hr = E_FAIL;
        const std::u16string text = ErrorString(server, listed.value, 0, hr);
        EXPECT_EQ(hr, S_OK) << listed.name;
        EXPECT_EQ(Utf16ToUtf8(text), OpcErrorText(code)) << listed.name;
        EXPECT_GT(text.size(), 8u) << listed.name << " has a sentence, not a stub";
        EXPECT_EQ(text.back(), u'.') << listed.name;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), std::size(kListed)) << "each code its own text";

    HRESULT hr = E_FAIL;
    // The texts say what the code means to a client.
    EXPECT_NE(ErrorString(server, 0xC0040007, 0, hr).find(u"address space"), std::u16string::npos);
    EXPECT_NE(ErrorString(server, 0xC0040004, 0, hr).find(u"canonical"), std::u16string::npos);
    EXPECT_NE(ErrorString(server, 0x0004000E, 0, hr).find(u"clamped"), std::u16string::npos);

    // System and user default, English of the US and of Britain, and a
    // language the server has no texts in: all get the English text.
    const std::u16string english = ErrorString(server, 0xC0040001, 0, hr);
    for (const LCID locale : {LOCALE_SYSTEM_DEFAULT, LOCALE_USER_DEFAULT, LCID{0x0409}, LCID{0x0809}, LCID{0x0407}}) {
        EXPECT_EQ(ErrorString(server, 0xC0040001, locale, hr), english) << locale;
        EXPECT_EQ(hr, S_OK);
    }
    server->Release();
}

TEST_F(OpcClientTest, ErrorStringsRefuseCodesTheyDoNotKnow) {
    IOPCServer* server = Connect();
    HRESULT hr = S_OK;
    // Not a code of OPC DA 2.0 (DA 3.0 added it), a code of no one, and
    // OPC_E_INVALID_PID's number with a success severity.
    for (const DWORD unknown : {0xC0040400u, 0x12345678u, 0x00040203u, 0x80070005u}) {
        EXPECT_TRUE(ErrorString(server, unknown, 0, hr).empty());
        EXPECT_EQ(hr, E_INVALIDARG) << std::hex << unknown;
        EXPECT_EQ(OpcErrorName(static_cast<HRESULT>(unknown)), nullptr);
        EXPECT_EQ(OpcErrorText(static_cast<HRESULT>(unknown)), nullptr);
    }
    EXPECT_EQ(server->GetErrorString(E_FAIL, 0, nullptr), E_INVALIDARG);
    server->Release();
}
