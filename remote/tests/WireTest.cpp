// The variants a client sends, decoded as the server decodes them: what is
// whole arrives as it was sent; a message whose pointers lead outside it is
// refused like any variant the server does not take, and nothing decoded
// from it so far stays behind.
#include "Wire.h"

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A one-dimensional array of variants: a number, then a text.
VARIANT NumberAndText() {
    VARIANT number;
    VariantInit(&number);
    number.vt = VT_R8;
    number.dblVal = 12.5;
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocStringFromUtf8("4400 VOK");
    VARIANT array;
    VariantInit(&array);
    array.vt = VT_ARRAY | VT_VARIANT;
    array.parray = SafeArrayCreateVector(VT_VARIANT, 1, 2);
    LONG index = 1;
    SafeArrayPutElement(array.parray, &index, &number);
    index = 2;
    SafeArrayPutElement(array.parray, &index, &text);
    VariantClear(&text);
    return array;
}

std::vector<capnp::word> Encoded(const VARIANT& value) {
    capnp::MallocMessageBuilder message;
    remote::ToWire(value, message.initRoot<vokrpc::Variant>());
    const auto flat = capnp::messageToFlatArray(message);
    return std::vector<capnp::word>(flat.begin(), flat.end());
}

bool Decoded(const std::vector<capnp::word>& words, VARIANT& out) {
    capnp::FlatArrayMessageReader reader(kj::arrayPtr(words.data(), words.size()));
    return remote::FromWire(reader.getRoot<vokrpc::Variant>(), out);
}

std::uint64_t WordAt(const std::vector<capnp::word>& words, std::size_t i) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, static_cast<const void*>(&words[i]), sizeof bits);
    return bits;
}

}  // namespace

TEST(Wire, AnArrayOfVariantsArrivesAsItWasSent) {
    VARIANT sent = NumberAndText();
    VARIANT got;
    ASSERT_TRUE(Decoded(Encoded(sent), got));
    EXPECT_EQ(got.vt, VT_ARRAY | VT_VARIANT);
    VARIANT element;
    VariantInit(&element);
    LONG index = 2;
    ASSERT_EQ(SafeArrayGetElement(got.parray, &index, &element), S_OK);
    EXPECT_EQ(element.vt, VT_BSTR);
    EXPECT_EQ(BstrToUtf8(element.bstrVal), "4400 VOK");
    VariantClear(&element);
    VariantClear(&got);
    VariantClear(&sent);
}

TEST(Wire, AnElementWhoseTextLiesOutsideTheMessageIsRefusedNotThrown) {
    VARIANT sent = NumberAndText();
    std::vector<capnp::word> words = Encoded(sent);
    VariantClear(&sent);
    // The flat message: the segment table, the root pointer, the array's two
    // data and two pointer words, the list's tag, then four words per
    // element; the second element's text pointer is its third word.
    const std::size_t textPointer = 1 + 1 + 4 + 1 + 4 + 2;
    ASSERT_LT(textPointer, words.size());
    const std::uint64_t pointer = WordAt(words, textPointer);
    ASSERT_EQ(pointer & 3u, 1u) << "a list pointer";
    ASSERT_EQ((pointer >> 32) & 7u, 2u) << "of bytes: the text";
    // The text now starts far beyond the end of the message.
    const std::uint64_t outside = (pointer & ~std::uint64_t(0xFFFFFFFC)) | (std::uint64_t(0x100000) << 2);
    std::memcpy(static_cast<void*>(&words[textPointer]), &outside, sizeof outside);

    VARIANT got;
    VariantInit(&got);
    got.vt = VT_I4;
    EXPECT_FALSE(Decoded(words, got));
    EXPECT_EQ(got.vt, VT_EMPTY);
}
