#include "simple/Map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "tests/support/Counted.h"

namespace Simple {

// The map's private side, read (and, for the pool, driven) by these tests.
template <typename Map>
class CMapInspector {
public:
    using Node = typename Map::Node;

    static const Node* Root(const Map& map) { return map.root_; }
    static const Node* Nil(const Map& map) { return &map.nil_; }
    static const Node* First(const Map& map) { return map.first_; }
    static const Node* Last(const Map& map) { return map.last_; }
    static int32_t NodesInUse(const Map& map) { return map.nodesInUse_; }
    static int32_t CursorIndex(const Map& map) { return map.cursorIndex_; }

    static int BlockCount(const Map& map) {
        int blocks = 0;
        for (auto* block = map.blocks_; block; block = block->next)
            blocks++;
        return blocks;
    }
    static int FreeNodeCount(const Map& map) {
        int nodes = 0;
        for (auto* node = map.freeNodes_; node; node = node->next)
            nodes++;
        return nodes;
    }

    static void SetNodesPerBlock(Map& map, int32_t nodes) { map.nodesPerBlock_ = nodes; }
    static Node* TakeNode(Map& map) { return map.TakeNode(); }
    static void ReturnNode(Map& map, Node* node) { map.ReturnNode(node); }
};

}  // namespace Simple

namespace {

using Simple::CMap;
using Simple::SOwnedPtr;
using Simple::SValue;

using IdSet = CMap<int, bool, SValue, SValue, int>;
using Inspect = Simple::CMapInspector<IdSet>;
using Node = Inspect::Node;

// Counts the keys and values a map gives up.
struct SCountingRelease {
    static int released;
    template <typename T>
    static void Release(T&) {
        released++;
    }
};
int SCountingRelease::released = 0;

using testing_support::Counted;

std::vector<int> KeysForward(const IdSet& map) {
    std::vector<int> keys;
    for (const Node* node = Inspect::First(map); node && keys.size() <= 1000000; node = node->next)
        keys.push_back(node->key);
    return keys;
}

std::vector<int> KeysBackward(const IdSet& map) {
    std::vector<int> keys;
    for (const Node* node = Inspect::Last(map); node && keys.size() <= 1000000; node = node->prev)
        keys.push_back(node->key);
    std::reverse(keys.begin(), keys.end());
    return keys;
}

// Checks the subtree below node: links that agree with each other, keys in
// order, no red node with a red child, the same number of black nodes on
// every path down. Returns that black height, or -1 after a failure.
int CheckSubtree(const IdSet& map, const Node* node, const long long* low, const long long* high) {
    const Node* nil = Inspect::Nil(map);
    if (node == nil)
        return 1;
    if ((low && node->key <= *low) || (high && node->key >= *high)) {
        ADD_FAILURE() << "key " << node->key << " out of order";
        return -1;
    }
    for (const Node* child : {node->left, node->right}) {
        if (child != nil && child->parent != node) {
            ADD_FAILURE() << "child of " << node->key << " names another parent";
            return -1;
        }
        if (node->color == 1 && child->color == 1) {
            ADD_FAILURE() << "red node " << node->key << " has a red child";
            return -1;
        }
    }
    long long key = node->key;
    int left = CheckSubtree(map, node->left, low, &key);
    int right = CheckSubtree(map, node->right, &key, high);
    if (left < 0 || right < 0)
        return -1;
    if (left != right) {
        ADD_FAILURE() << "black heights " << left << " and " << right << " below " << node->key;
        return -1;
    }
    return left + (node->color == 0 ? 1 : 0);
}

void ExpectRedBlackTree(const IdSet& map) {
    const Node* root = Inspect::Root(map);
    const Node* nil = Inspect::Nil(map);
    EXPECT_EQ(nil->color, 0) << "nil is black";
    EXPECT_EQ(nil->parent, nullptr) << "nil never points into the tree";
    EXPECT_EQ(nil->left, nil);
    EXPECT_EQ(nil->right, nil);
    if (root == nil)
        return;
    EXPECT_EQ(root->color, 0) << "the root is black";
    EXPECT_EQ(root->parent, nullptr);
    EXPECT_GT(CheckSubtree(map, root, nullptr, nullptr), 0);
}

TEST(CMap, AnEmptyMapHoldsNoBlocksAndFindsNothing) {
    IdSet map;
    EXPECT_EQ(map.GetCount(), 0);
    EXPECT_FALSE(map.Find(0));
    EXPECT_EQ(Inspect::Root(map), Inspect::Nil(map));
    EXPECT_EQ(Inspect::BlockCount(map), 0);
    EXPECT_EQ(Inspect::CursorIndex(map), -1);
    ExpectRedBlackTree(map);
}

TEST(CMap, AMapThatNeverHeldAKeyReleasesNothing) {
    SCountingRelease::released = 0;
    {
        CMap<int, int, SCountingRelease, SCountingRelease, int> map;
        EXPECT_FALSE(map.Find(1));
    }
    // Neither nil nor any node was handed to the policies.
    EXPECT_EQ(SCountingRelease::released, 0);
}

TEST(CMap, FindsExactlyTheKeysSet) {
    IdSet map;
    ASSERT_TRUE(map.Set(10, true));
    ASSERT_TRUE(map.Set(-4, false));
    EXPECT_EQ(map.GetCount(), 2);
    EXPECT_TRUE(map.Find(10));
    EXPECT_TRUE(map.Find(-4));  // the value does not matter to Find
    EXPECT_FALSE(map.Find(4));
    EXPECT_FALSE(map.Find(11));
}

TEST(CMap, SettingAPresentKeyChangesOnlyItsValue) {
    IdSet map;
    ASSERT_TRUE(map.Set(1, false));
    ASSERT_TRUE(map.Set(2, false));
    const Node* root = Inspect::Root(map);
    int freeNodes = Inspect::FreeNodeCount(map);

    ASSERT_TRUE(map.Set(2, true));
    EXPECT_EQ(map.GetCount(), 2);
    EXPECT_EQ(Inspect::NodesInUse(map), 2);
    EXPECT_EQ(Inspect::FreeNodeCount(map), freeNodes);  // no node taken
    EXPECT_EQ(Inspect::Root(map), root);
    bool value = false;
    ASSERT_TRUE(map.GetAt(1, nullptr, &value));
    EXPECT_TRUE(value);
}

TEST(CMap, FiveKeysTakeTwoBlocksOfFour) {
    IdSet map;
    for (int key = 1; key <= 4; key++)
        ASSERT_TRUE(map.Set(key, true));
    EXPECT_EQ(Inspect::BlockCount(map), 1);
    EXPECT_EQ(Inspect::FreeNodeCount(map), 0);

    ASSERT_TRUE(map.Set(5, true));
    EXPECT_EQ(Inspect::BlockCount(map), 2);
    EXPECT_EQ(Inspect::NodesInUse(map), 5);
    EXPECT_EQ(Inspect::FreeNodeCount(map), 3);  // 8 nodes in 2 blocks, 5 used
}

TEST(CMap, ThreeOneTwoRotatesTwoToTheRootAndThreadsTheKeys) {
    IdSet map;
    ASSERT_TRUE(map.Set(3, true));
    ASSERT_TRUE(map.Set(1, true));
    ASSERT_TRUE(map.Set(2, true));

    const Node* root = Inspect::Root(map);
    EXPECT_EQ(root->key, 2);
    EXPECT_EQ(root->color, 0);
    EXPECT_EQ(root->left->key, 1);
    EXPECT_EQ(root->right->key, 3);
    EXPECT_EQ(root->left->color, 1);
    EXPECT_EQ(root->right->color, 1);

    const Node* first = Inspect::First(map);
    const Node* last = Inspect::Last(map);
    EXPECT_EQ(first->key, 1);
    EXPECT_EQ(last->key, 3);
    EXPECT_EQ(first->prev, nullptr);
    EXPECT_EQ(first->next, root);
    EXPECT_EQ(root->prev, first);
    EXPECT_EQ(root->next, last);
    EXPECT_EQ(last->prev, root);
    EXPECT_EQ(last->next, nullptr);
    ExpectRedBlackTree(map);
}

TEST(CMap, KeysOrderBySignedValue) {
    IdSet map;
    const int keys[] = {0, INT_MIN /* 0x80000000 */, 1, -1, INT_MAX};
    for (int key : keys)
        ASSERT_TRUE(map.Set(key, true));
    EXPECT_EQ(KeysForward(map), (std::vector<int>{INT_MIN, -1, 0, 1, INT_MAX}));
    ExpectRedBlackTree(map);
}

TEST(CMap, ThousandsOfShuffledKeysKeepOrderAndColourRules) {
    std::vector<int> keys;
    for (int i = 0; i < 5000; i++)
        keys.push_back(i * 7 - 17000);  // negatives and positives, gaps between
    std::vector<int> shuffled = keys;
    std::mt19937 random(20240611);  // fixed: the same tree on every run
    std::shuffle(shuffled.begin(), shuffled.end(), random);

    IdSet map;
    for (size_t i = 0; i < shuffled.size(); i++) {
        ASSERT_TRUE(map.Set(shuffled[i], true));
        if (i % 1000 == 999) {
            SCOPED_TRACE(testing::Message() << "after " << i + 1 << " keys");
            ExpectRedBlackTree(map);
        }
    }
    EXPECT_EQ(map.GetCount(), 5000);
    EXPECT_EQ(Inspect::NodesInUse(map), 5000);
    EXPECT_EQ(Inspect::BlockCount(map), 1250);
    EXPECT_EQ(KeysForward(map), keys);
    EXPECT_EQ(KeysBackward(map), keys);
    ExpectRedBlackTree(map);
    for (int key : keys) {
        ASSERT_TRUE(map.Find(key)) << key;
        ASSERT_FALSE(map.Find(key + 1)) << key + 1;  // the gaps stay empty
    }

    // Setting them all again, in another order, adds nothing.
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    for (int key : shuffled)
        ASSERT_TRUE(map.Set(key, false));
    EXPECT_EQ(map.GetCount(), 5000);
    EXPECT_EQ(Inspect::NodesInUse(map), 5000);
    EXPECT_EQ(KeysForward(map), keys);
}

TEST(CMap, GetAtReadsPositionsInKeyOrder) {
    IdSet map;
    const int keys[] = {40, 10, 50, 30, 20};
    for (int key : keys)
        ASSERT_TRUE(map.Set(key, key == 30));
    const int sorted[] = {10, 20, 30, 40, 50};
    // Forward, then backward, so that both walk from the cursor.
    for (int pass = 0; pass < 2; pass++) {
        for (int step = 0; step < 5; step++) {
            int index = pass == 0 ? step : 4 - step;
            int key = 0;
            bool value = false;
            ASSERT_TRUE(map.GetAt(index, &key, &value));
            EXPECT_EQ(key, sorted[index]);
            EXPECT_EQ(value, key == 30);
        }
    }
    EXPECT_FALSE(map.GetAt(-1, nullptr, nullptr));
    EXPECT_FALSE(map.GetAt(5, nullptr, nullptr));
}

TEST(CMap, ASmallerKeyShiftsTheCursorSoItsPositionStillHolds) {
    IdSet map;
    for (int key : {10, 20, 30, 40, 50, 60, 70})
        ASSERT_TRUE(map.Set(key, true));
    int key = 0;
    ASSERT_TRUE(map.GetAt(3, &key, nullptr));  // cursor on 40
    EXPECT_EQ(key, 40);

    ASSERT_TRUE(map.Set(5, true));  // 5 10 20 30 40 ...: position 3 is 30 now
    EXPECT_EQ(Inspect::CursorIndex(map), 3);
    ASSERT_TRUE(map.GetAt(3, &key, nullptr));
    EXPECT_EQ(key, 30);

    ASSERT_TRUE(map.Set(45, true));  // beyond the cursor: position 3 keeps 30
    ASSERT_TRUE(map.GetAt(3, &key, nullptr));
    EXPECT_EQ(key, 30);
    ASSERT_TRUE(map.GetAt(5, &key, nullptr));
    EXPECT_EQ(key, 45);
}

TEST(CMap, ReturningTheLastNodeFreesEveryBlock) {
    IdSet map;
    for (int key = 0; key < 9; key++)
        ASSERT_TRUE(map.Set(key, true));
    ASSERT_EQ(Inspect::BlockCount(map), 3);

    map.RemoveAll();
    EXPECT_EQ(Inspect::BlockCount(map), 0);
    EXPECT_EQ(Inspect::FreeNodeCount(map), 0);
    EXPECT_EQ(Inspect::NodesInUse(map), 0);
    EXPECT_EQ(map.GetCount(), 0);
    EXPECT_FALSE(map.Find(4));
    ExpectRedBlackTree(map);

    // And the map starts over with a fresh block.
    ASSERT_TRUE(map.Set(4, true));
    EXPECT_EQ(Inspect::BlockCount(map), 1);
    EXPECT_EQ(KeysForward(map), std::vector<int>{4});
}

TEST(CMapPool, HandsOutABlocksNodesInAddressOrderAndFreesBlocksOnlyAllTogether) {
    IdSet map;
    Node* nodes[5];
    for (Node*& node : nodes)
        node = Inspect::TakeNode(map);
    EXPECT_EQ(nodes[1], nodes[0] + 1);
    EXPECT_EQ(nodes[3], nodes[0] + 3);
    EXPECT_EQ(Inspect::BlockCount(map), 2);

    // Four of five back: each goes on the free list, no block is freed.
    for (int i = 0; i < 4; i++)
        Inspect::ReturnNode(map, nodes[i]);
    EXPECT_EQ(Inspect::BlockCount(map), 2);
    EXPECT_EQ(Inspect::NodesInUse(map), 1);
    EXPECT_EQ(Inspect::FreeNodeCount(map), 7);

    Inspect::ReturnNode(map, nodes[4]);  // the last one frees both blocks
    EXPECT_EQ(Inspect::BlockCount(map), 0);
    EXPECT_EQ(Inspect::FreeNodeCount(map), 0);
    EXPECT_EQ(Inspect::NodesInUse(map), 0);
}

TEST(CMapOwnership, OwnedValuesAreDeletedWhenReplacedAndWithTheMap) {
    Counted::constructed = 0;
    Counted::destroyed = 0;
    {
        CMap<int, Counted*, SValue, SOwnedPtr, int> map;
        for (int key = 0; key < 6; key++)
            ASSERT_TRUE(map.Set(key, new Counted));
        Counted* kept = new Counted;
        ASSERT_TRUE(map.Set(2, kept));  // replaces and deletes the first one at 2
        EXPECT_EQ(Counted::destroyed, 1);
        ASSERT_TRUE(map.Set(2, kept));  // the same pointer again: nothing deleted
        EXPECT_EQ(Counted::destroyed, 1);
        EXPECT_EQ(map.GetCount(), 6);
    }
    // 7 made: 1 went when replaced, the 6 the map held went with it.
    EXPECT_EQ(Counted::constructed, 7);
    EXPECT_EQ(Counted::destroyed, 7);
}

TEST(CMapOwnership, EveryKeyAndValueIsReleasedOnceWithTheMap) {
    SCountingRelease::released = 0;
    {
        CMap<int, int, SCountingRelease, SCountingRelease, int> map;
        for (int key = 0; key < 10; key++)
            ASSERT_TRUE(map.Set(key, key));
        ASSERT_TRUE(map.Set(3, 3));  // same value: no release
        EXPECT_EQ(SCountingRelease::released, 0);
    }
    EXPECT_EQ(SCountingRelease::released, 20);  // 10 keys + 10 values
}

// A node of about a megabyte: a block of INT32_MAX of them would need 2^51
// bytes, more than a process can address.
struct Bulky {
    char bytes[1 << 20];
};
using BulkyMap = CMap<int, Bulky, SValue, SValue, int>;
using InspectBulky = Simple::CMapInspector<BulkyMap>;

TEST(CMap, SetThatCannotHaveABlockChangesNothing) {
    auto map = std::make_unique<BulkyMap>();  // holds nil, a megabyte itself
    auto value = std::make_unique<Bulky>();
    for (int key = 1; key <= 4; key++)
        ASSERT_TRUE(map->Set(key, *value));  // fills the first block
    const auto* root = InspectBulky::Root(*map);

    InspectBulky::SetNodesPerBlock(*map, INT32_MAX);
    EXPECT_FALSE(map->Set(0, *value));
    EXPECT_EQ(map->GetCount(), 4);
    EXPECT_FALSE(map->Find(0));
    EXPECT_EQ(InspectBulky::BlockCount(*map), 1);
    EXPECT_EQ(InspectBulky::NodesInUse(*map), 4);
    EXPECT_EQ(InspectBulky::Root(*map), root);
    EXPECT_EQ(InspectBulky::First(*map)->key, 1);  // 0 was never linked in
    EXPECT_EQ(InspectBulky::First(*map)->prev, nullptr);
    EXPECT_TRUE(map->Set(3, *value));  // a present key needs no node

    InspectBulky::SetNodesPerBlock(*map, 4);
    ASSERT_TRUE(map->Set(0, *value));
    EXPECT_EQ(map->GetCount(), 5);
    EXPECT_EQ(InspectBulky::First(*map)->key, 0);
}

}  // namespace
