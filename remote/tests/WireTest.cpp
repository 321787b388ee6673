// The variants a client sends, decoded as the server decodes them: what is
// whole arrives as it was sent; a message whose pointers lead outside it is
// refused like any variant the server does not take, and nothing decoded
// from it so far stays behind.
#include "Wire.h"

#include "opc/OpcStream.h"

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>

#include <cstdint>
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

namespace {

// A flat message of one array variant whose elements are structs with no
// fields at all: each costs its sender one word, and takes four once written.
std::vector<capnp::word> EmptyElements(std::uint32_t count, std::int32_t lowerBound) {
    std::vector<std::uint64_t> bits = {
        std::uint64_t(6) << 32,                                        // one segment of six words
        (std::uint64_t(2) << 32) | (std::uint64_t(2) << 48),           // root: two data words, two pointers
        std::uint64_t(VT_ARRAY | VT_VARIANT) | (std::uint64_t(std::uint32_t(lowerBound)) << 32),
        0,                                                             // bits
        0,                                                             // text
        1 | (std::uint64_t(7) << 32),                                  // elements: composite, no words
        std::uint64_t(count) << 2,                                     // the tag: count structs of no size
    };
    std::vector<capnp::word> words(bits.size());
    std::memcpy(static_cast<void*>(words.data()), bits.data(), bits.size() * sizeof(std::uint64_t));
    return words;
}

// What the socket's reader does: a variant taken is written again and the
// written form read back, under a traversal limit of twice the bound.
bool DecodedUnderLimit(const std::vector<capnp::word>& words, VARIANT& out) {
    capnp::ReaderOptions options;
    options.traversalLimitInWords = 2 * remote::kMaxVariantWords;
    capnp::FlatArrayMessageReader reader(kj::arrayPtr(words.data(), words.size()), options);
    return remote::FromWire(reader.getRoot<vokrpc::Variant>(), out);
}

}  // namespace

TEST(Wire, WhatTheReaderTakesWritesWithinTheBoundAndReadsBack) {
    // Few empty elements: taken, written as four words each, read again.
    VARIANT got;
    ASSERT_TRUE(DecodedUnderLimit(EmptyElements(1000, 1), got));
    ASSERT_EQ(got.vt, VT_ARRAY | VT_VARIANT);
    const std::vector<capnp::word> written = Encoded(got);
    VariantClear(&got);
    EXPECT_LE(written.size(), remote::kMaxVariantWords);
    VARIANT again;
    ASSERT_TRUE(DecodedUnderLimit(written, again));
    LONG upper = 0;
    SafeArrayGetUBound(again.parray, 1, &upper);
    EXPECT_EQ(upper, 1000);
    VariantClear(&again);

    // As many as the fuzz run sent (57,344): cheap to read, but their
    // written form would be four times the reading limit. Refused.
    VariantInit(&got);
    got.vt = VT_I4;
    EXPECT_FALSE(DecodedUnderLimit(EmptyElements(57344, 0x26000001), got));
    EXPECT_EQ(got.vt, VT_EMPTY);
    EXPECT_FALSE(DecodedUnderLimit(EmptyElements(remote::kMaxVariantWords / 4, 0), got));
}

TEST(Wire, TextThatGrowsOnItsWayBackIsMeasuredAsWritten) {
    // Bytes that are no UTF-8 come back as U+FFFD, three bytes each: 100,000
    // of them read as 12,500 words but would be written as 37,500.
    capnp::MallocMessageBuilder message;
    auto root = message.initRoot<vokrpc::Variant>();
    root.setVt(VT_BSTR);
    const std::string bad(100000, '\xFF');
    root.setText(bad);
    const auto flat = capnp::messageToFlatArray(message);
    const std::vector<capnp::word> words(flat.begin(), flat.end());
    VARIANT got;
    EXPECT_FALSE(DecodedUnderLimit(words, got));
    EXPECT_EQ(got.vt, VT_EMPTY);

    // A text that fits is taken and reads back the same.
    root.setText(std::string(40000, '\xFF'));
    const auto fits = capnp::messageToFlatArray(message);
    ASSERT_TRUE(DecodedUnderLimit(std::vector<capnp::word>(fits.begin(), fits.end()), got));
    VARIANT again;
    ASSERT_TRUE(DecodedUnderLimit(Encoded(got), again));
    EXPECT_EQ(SysStringLen(again.bstrVal), 40000u);
    VariantClear(&again);
    VariantClear(&got);
}

TEST(Wire, AnArrayWhoseIndexesLeaveTheRangeOfALongIsRefused) {
    VARIANT got;
    // The last index is INT32_MAX itself: fine.
    ASSERT_TRUE(DecodedUnderLimit(EmptyElements(2, INT32_MAX - 1), got));
    LONG upper = 0;
    SafeArrayGetUBound(got.parray, 1, &upper);
    EXPECT_EQ(upper, INT32_MAX);
    VariantClear(&got);
    // One more would be past it.
    EXPECT_FALSE(DecodedUnderLimit(EmptyElements(3, INT32_MAX - 1), got));
    EXPECT_EQ(got.vt, VT_EMPTY);
}

TEST(Wire, AClientsFormatNamesAreLookedUpNeverRegistered) {
    capnp::MallocMessageBuilder message;
    auto wire = message.initRoot<vokrpc::FormatEtc>();
    wire.setFormat(0xC123);
    wire.setAspect(DVASPECT_CONTENT);
    wire.setIndex(-1);
    wire.setTymed(TYMED_HGLOBAL);
    // The OPC stream formats by name, in any letter case, whatever number the
    // other process gave them.
    wire.setFormatName("opcstmformatDATATIME");
    EXPECT_EQ(remote::FromWire(wire.asReader()).cfFormat, opcstream::DataTimeFormat());
    wire.setFormatName("OPCSTMFORMATWRITECOMPLETE");
    EXPECT_EQ(remote::FromWire(wire.asReader()).cfFormat, opcstream::WriteCompleteFormat());

    // A thousand names of a client's own: none is known, and none takes a
    // place in the process's table (the next name registered gets the
    // number right after the one before).
    const UINT before = RegisterClipboardFormatA("VOK Wire Test Before");
    for (int i = 0; i < 1000; ++i) {
        wire.setFormatName("Client Format " + std::to_string(i));
        EXPECT_EQ(remote::FromWire(wire.asReader()).cfFormat, 0);
    }
    EXPECT_EQ(RegisterClipboardFormatA("VOK Wire Test After"), before + 1);

    // A registered number with no name means nothing in this process.
    wire.setFormatName("");
    EXPECT_EQ(remote::FromWire(wire.asReader()).cfFormat, 0);
    // A standard format's number stands for itself.
    wire.setFormat(1);
    EXPECT_EQ(remote::FromWire(wire.asReader()).cfFormat, 1);
}
