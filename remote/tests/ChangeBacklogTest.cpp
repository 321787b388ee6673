// The streams waiting for a subscriber that does not keep up: data changes
// are folded so that every item ends at its newest value; completions are
// never folded or dropped.
#include "ChangeBacklog.h"

#include "opc/OpcDa.h"
#include "opc/OpcStream.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using remote::ChangeBacklog;
using remote::PendingStream;

PendingStream Change(CLIPFORMAT format, DWORD transaction, const std::map<OPCHANDLE, double>& values,
                     WORD quality = OPC_QUALITY_GOOD) {
    std::vector<opcstream::ItemValue> items;
    for (const auto& [handle, number] : values) {
        opcstream::ItemValue item;
        item.hClient = handle;
        item.quality = quality;
        item.value.vt = VT_R8;
        item.value.dblVal = number;
        items.push_back(item);
    }
    PendingStream stream;
    stream.format = FORMATETC{format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    stream.tymed = TYMED_HGLOBAL;
    stream.bytes = opcstream::WriteDataStream(format == opcstream::DataTimeFormat(), 7, transaction, S_OK, items);
    return stream;
}

// What a client sees after taking every stream in turn: each item's last value.
std::map<OPCHANDLE, double> Delivered(ChangeBacklog& backlog, std::size_t* streams = nullptr,
                                      std::vector<DWORD>* transactions = nullptr) {
    std::map<OPCHANDLE, double> seen;
    std::size_t count = 0;
    while (auto next = backlog.Take()) {
        ++count;
        const bool withTime = next->format.cfFormat == opcstream::DataTimeFormat();
        std::string error;
        auto stream = opcstream::ReadDataStream(next->bytes, withTime, &error);
        EXPECT_TRUE(stream) << error;
        if (!stream) continue;
        EXPECT_EQ(stream->hClientGroup, 7u);
        if (transactions != nullptr) transactions->push_back(stream->transactionId);
        for (const auto& item : stream->items) seen[item.hClient] = item.value.dblVal;
    }
    if (streams != nullptr) *streams = count;
    return seen;
}

}  // namespace

TEST(ChangeBacklog, FortyChangesOfEightItemsEndAtTheNewestValueOfEachItem) {
    for (CLIPFORMAT format : {opcstream::DataFormat(), opcstream::DataTimeFormat()}) {
        ChangeBacklog backlog(4, 16);
        int folded = 0;
        for (int k = 0; k < 40; ++k)
            folded += backlog.Add(Change(format, 0, {{OPCHANDLE(k % 8), double(k)}})) == ChangeBacklog::Added::kFolded;
        EXPECT_EQ(folded, 36);
        EXPECT_EQ(backlog.Size(), 4u);
        std::size_t streams = 0;
        const auto seen = Delivered(backlog, &streams);
        EXPECT_EQ(streams, 4u);
        ASSERT_EQ(seen.size(), 8u) << "no item is lost";
        for (int i = 0; i < 8; ++i) EXPECT_EQ(seen.at(OPCHANDLE(i)), 32 + i) << "item " << i;
    }
}

TEST(ChangeBacklog, CompletionsAreNeitherFoldedNorDroppedAndHaveTheirOwnBound) {
    ChangeBacklog backlog(2, 3);
    const CLIPFORMAT data = opcstream::DataFormat();
    EXPECT_EQ(backlog.Add(Change(data, 0, {{1, 1}})), ChangeBacklog::Added::kQueued);
    EXPECT_EQ(backlog.Add(Change(data, 41, {{1, 2}})), ChangeBacklog::Added::kQueued);  // a refresh's answer
    EXPECT_EQ(backlog.Add(Change(data, 0, {{2, 3}})), ChangeBacklog::Added::kQueued);
    EXPECT_EQ(backlog.Add(Change(data, 42, {{2, 4}})), ChangeBacklog::Added::kQueued);
    // A third data change folds the first two, past the completions between.
    EXPECT_EQ(backlog.Add(Change(data, 0, {{3, 5}})), ChangeBacklog::Added::kFolded);
    PendingStream written;
    written.format = FORMATETC{opcstream::WriteCompleteFormat(), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    written.bytes = opcstream::WriteWriteCompleteStream(7, 43, S_OK, {{1, S_OK}}, 1);
    EXPECT_EQ(backlog.Add(written), ChangeBacklog::Added::kQueued);
    // A fourth completion is past their bound: refused, not queued.
    EXPECT_EQ(backlog.Add(written), ChangeBacklog::Added::kFull);
    EXPECT_EQ(backlog.Size(), 5u);

    std::vector<DWORD> order;
    std::vector<CLIPFORMAT> formats;
    while (auto next = backlog.Take()) {
        formats.push_back(next->format.cfFormat);
        if (next->format.cfFormat == opcstream::WriteCompleteFormat()) {
            order.push_back(43);
            continue;
        }
        std::string error;
        auto stream = opcstream::ReadDataStream(next->bytes, false, &error);
        ASSERT_TRUE(stream) << error;
        order.push_back(stream->transactionId);
        if (stream->transactionId == 0 && stream->items.size() == 2) {
            EXPECT_EQ(stream->items[0].hClient, 1u);
            EXPECT_EQ(stream->items[1].hClient, 2u);
        }
    }
    // The two transactions and the write, each once; the folded change in
    // the newer's place, then the last change.
    EXPECT_EQ(order, (std::vector<DWORD>{41, 0, 42, 0, 43}));
}

TEST(ChangeBacklog, AFoldedStreamWithABadItemSaysSo) {
    ChangeBacklog backlog(2, 4);
    const CLIPFORMAT data = opcstream::DataTimeFormat();
    backlog.Add(Change(data, 0, {{1, 1}}, OPC_QUALITY_BAD));
    backlog.Add(Change(data, 0, {{2, 2}}));
    backlog.Add(Change(data, 0, {{3, 3}}));
    auto folded = backlog.Take();
    ASSERT_TRUE(folded);
    std::string error;
    auto stream = opcstream::ReadDataStream(folded->bytes, true, &error);
    ASSERT_TRUE(stream) << error;
    ASSERT_EQ(stream->items.size(), 2u);
    EXPECT_EQ(stream->status, S_FALSE);
    EXPECT_EQ(stream->items[0].quality, OPC_QUALITY_BAD);
}
