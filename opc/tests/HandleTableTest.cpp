#include "opc/HandleTable.h"

#include <gtest/gtest.h>

#include <set>

TEST(HandleTable, NumbersAreNonZeroUniqueAndResolveOnlyToTheirKindWhileLive) {
    int a = 0, b = 0;
    const OPCHANDLE ha = HandleTable::Register(HandleKind::Group, &a);
    const OPCHANDLE hb = HandleTable::Register(HandleKind::Item, &b);
    EXPECT_NE(ha, 0u);
    EXPECT_NE(hb, 0u);
    EXPECT_GT(hb, ha);
    EXPECT_EQ(HandleTable::Resolve(ha, HandleKind::Group), &a);
    EXPECT_EQ(HandleTable::Resolve(ha, HandleKind::Item), nullptr);
    EXPECT_EQ(HandleTable::ResolveAs<int>(hb, HandleKind::Item), &b);
    EXPECT_EQ(HandleTable::Resolve(0, HandleKind::Group), nullptr);
    HandleTable::Unregister(ha);
    EXPECT_EQ(HandleTable::Resolve(ha, HandleKind::Group), nullptr);
    // A freed number is not given to the next object.
    const OPCHANDLE hc = HandleTable::Register(HandleKind::Group, &a);
    EXPECT_NE(hc, ha);
    HandleTable::Unregister(hb);
    HandleTable::Unregister(hc);
    HandleTable::Unregister(0xFFFFFF00u);  // unknown: ignored
}

TEST(HandleTable, AfterTheWrapZeroAndNumbersInUseAreSkipped) {
    int held = 0, fresh = 0;
    HandleTable::SetNextHandleForTesting(0xFFFFFFFFu);
    const OPCHANDLE last = HandleTable::Register(HandleKind::Group, &held);
    EXPECT_EQ(last, 0xFFFFFFFFu);
    // 0 is never a handle; 1 and 2 are held, so the wrap goes on to 3.
    int one = 0, two = 0;
    HandleTable::SetNextHandleForTesting(1);
    const OPCHANDLE h1 = HandleTable::Register(HandleKind::Item, &one);
    const OPCHANDLE h2 = HandleTable::Register(HandleKind::Item, &two);
    HandleTable::SetNextHandleForTesting(0xFFFFFFFFu);
    const OPCHANDLE wrapped = HandleTable::Register(HandleKind::Group, &fresh);
    EXPECT_NE(wrapped, 0u);
    EXPECT_NE(wrapped, last);
    EXPECT_NE(wrapped, h1);
    EXPECT_NE(wrapped, h2);
    EXPECT_EQ(HandleTable::Resolve(wrapped, HandleKind::Group), &fresh);
    EXPECT_EQ(HandleTable::Resolve(h1, HandleKind::Item), &one);
    for (OPCHANDLE h : {last, h1, h2, wrapped}) HandleTable::Unregister(h);
    HandleTable::SetNextHandleForTesting(0x10000);
}
