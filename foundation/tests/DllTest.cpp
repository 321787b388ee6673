#include "foundation/Dll.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

template <typename T>
std::vector<T> Values(const Dll<T>& list) {
    std::vector<T> out;
    for (int i = 0; i < list.GetCount(); ++i) out.push_back(list.GetAt(i));
    return out;
}

// Walks the links both ways, so a broken next or prev shows up.
template <typename T>
void ExpectConsistent(const Dll<T>& list) {
    if (list.GetCount() == 0) {
        EXPECT_EQ(list.Head(), nullptr);
        EXPECT_EQ(list.Cursor(), nullptr);
        return;
    }
    auto* node = list.Head();
    for (int i = 0; i < list.GetCount(); ++i) {
        EXPECT_EQ(node->Next()->Prev(), node);
        EXPECT_EQ(node->Owner(), &list);
        node = node->Next();
    }
    EXPECT_EQ(node, list.Head()) << "the list is circular: count steps from head come back to head";
}

TEST(Dll, AddTailKeepsOrderAndPutsTheCursorOnTheFirstNodeOnly) {
    Dll<int> list;
    EXPECT_EQ(list.Cursor(), nullptr);
    auto* first = list.AddTailNode(1);
    list.AddTail(2);
    EXPECT_EQ(list.AddTailValue(3), 3);
    EXPECT_EQ(list.Cursor(), first);
    EXPECT_EQ(Values(list), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(list.Tail()->Next(), list.Head());
    EXPECT_EQ(list.Head()->Prev(), list.Tail());
    ExpectConsistent(list);
}

TEST(Dll, RemovingTheNodeUnderTheCursorMovesItOnAndWrapsToHead) {
    Dll<int> list;
    for (int v : {10, 20, 30}) list.AddTail(v);
    auto* second = list.NodeAt(1);
    list.SetCursor(second);
    EXPECT_EQ(list.RemoveNode(second), 20);
    EXPECT_EQ(list.Cursor()->Value(), 30);
    ExpectConsistent(list);

    // The cursor on the tail wraps round to head.
    EXPECT_EQ(list.RemoveNode(list.Cursor()), 30);
    EXPECT_EQ(list.Cursor(), list.Head());
    EXPECT_EQ(list.Cursor()->Value(), 10);

    // The only node: everything empties.
    EXPECT_EQ(list.RemoveNode(list.Head()), 10);
    EXPECT_EQ(list.GetCount(), 0);
    ExpectConsistent(list);
}

TEST(Dll, RemovingHeadMovesHeadAndLeavesAnUnrelatedCursorAlone) {
    Dll<std::string> list;
    for (const char* v : {"a", "b", "c"}) list.AddTail(v);
    auto* tail = list.Tail();
    list.SetCursor(tail);
    EXPECT_EQ(list.RemoveNode(list.Head()), "a");
    EXPECT_EQ(list.Head()->Value(), "b");
    EXPECT_EQ(list.Cursor(), tail);
    EXPECT_EQ(Values(list), (std::vector<std::string>{"b", "c"}));
    ExpectConsistent(list);
}

TEST(Dll, FindNodeComparesValuesAndPointerListsByIdentity) {
    int a = 1, b = 1;
    Dll<int*> pointers;
    pointers.AddTail(&a);
    EXPECT_NE(pointers.FindNode(&a), nullptr);
    EXPECT_EQ(pointers.FindNode(&b), nullptr) << "equal pointee, different object";

    Dll<std::string> strings;
    strings.AddTail("x");
    strings.AddTail("y");
    strings.AddTail("y");
    EXPECT_EQ(strings.FindNode("y"), strings.NodeAt(1)) << "the first match from head";
    EXPECT_EQ(strings.FindNode("z"), nullptr);
}

TEST(Dll, AssignGrowsAndShrinksAndKeepsTheCursorIndex) {
    Dll<int> source("source");
    for (int v : {1, 2, 3, 4, 5}) source.AddTail(v);
    source.SetCursor(source.NodeAt(3));

    Dll<int> target;
    target.AddTail(9);
    target.AddTail(8);
    auto* reused = target.Head();
    target.Assign(source);
    EXPECT_EQ(Values(target), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(target.Head(), reused) << "existing nodes are overwritten, not replaced";
    EXPECT_EQ(target.IndexOf(target.Cursor()), 3);
    EXPECT_EQ(target.Name(), "source");
    ExpectConsistent(target);

    Dll<int> shorter;
    shorter.AddTail(7);
    shorter.AddTail(6);
    shorter.SetCursor(shorter.NodeAt(1));
    target.Assign(shorter);
    EXPECT_EQ(Values(target), (std::vector<int>{7, 6}));
    EXPECT_EQ(target.IndexOf(target.Cursor()), 1);
    ExpectConsistent(target);

    Dll<int> empty;
    target.Assign(empty);
    EXPECT_EQ(target.GetCount(), 0);
    EXPECT_EQ(target.Cursor(), nullptr);
    ExpectConsistent(target);

    // A cursor run off the end copies as no cursor.
    source.SetCursor(nullptr);
    target.Assign(source);
    EXPECT_EQ(target.Cursor(), nullptr);

    target.Assign(target);
    EXPECT_EQ(Values(target), (std::vector<int>{1, 2, 3, 4, 5})) << "self-assignment changes nothing";
}

TEST(Dll, ACopyIsIndependentOfItsSource) {
    Dll<std::string> source;
    source.AddTail("one");
    Dll<std::string> copy(source);
    source.RemoveAll();
    EXPECT_EQ(copy.GetCount(), 1);
    EXPECT_EQ(copy.GetAt(0), "one");
}

struct Tracked {
    static int alive;
    Tracked() { ++alive; }
    ~Tracked() { --alive; }
};
int Tracked::alive = 0;

TEST(Dll, DestroyingAListOfPointersLeavesTheObjectsAlive) {
    Tracked a, b;
    {
        Dll<Tracked*> list;
        list.AddTail(&a);
        list.AddTail(&b);
        list.RemoveAll();
        EXPECT_EQ(list.Name(), "");
        list.AddTail(&a);
    }
    EXPECT_EQ(Tracked::alive, 2);
}

TEST(DllPosition, WalksFirstToLastThenPastTheEnd) {
    Dll<int> list;
    DllPosition<int> onEmpty(list);
    EXPECT_TRUE(onEmpty.PastEnd());
    EXPECT_FALSE(onEmpty.AtFirst());
    onEmpty.Advance();
    EXPECT_TRUE(onEmpty.PastEnd());

    for (int v : {1, 2, 3}) list.AddTail(v);
    DllPosition<int> pos(list);
    std::vector<int> seen;
    EXPECT_TRUE(pos.AtFirst());
    while (!pos.PastEnd()) {
        seen.push_back(pos.Value());
        EXPECT_EQ(pos.AtLast(), seen.size() == 3);
        pos.Advance();
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
    pos.Advance();
    EXPECT_TRUE(pos.PastEnd()) << "advancing past the end stays there instead of wrapping";

    Dll<int> single;
    single.AddTail(5);
    DllPosition<int> one(single);
    EXPECT_TRUE(one.AtFirst());
    EXPECT_TRUE(one.AtLast());
    one.Advance();
    EXPECT_TRUE(one.PastEnd());
}

}  // namespace

TEST(Dll, RangeForVisitsEveryValueOnceInOrderAndWritesThrough) {
    Dll<int> list;
    std::vector<int> seen;
    for (int v : list) seen.push_back(v);
    EXPECT_TRUE(seen.empty());

    for (int v : {4, 5, 6}) list.AddTail(v);
    for (int& v : list) v *= 10;  // the circular links must not bring head round again
    const Dll<int>& view = list;
    for (int v : view) seen.push_back(v);
    EXPECT_EQ(seen, (std::vector<int>{40, 50, 60}));
    EXPECT_EQ(std::distance(view.begin(), view.end()), 3);
}
