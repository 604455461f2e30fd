#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "simple/ElementPolicy.h"

namespace Simple {

// Reads a map's private state for the containers' own tests; defined there.
template <typename Map>
class CMapInspector;

// An ordered map: a red-black tree whose nodes are also threaded in key
// order (prev/next), drawn from a pool of small blocks. Keys are ordered by
// operator< of K; KeyPolicy and ValuePolicy say what happens to a key and a
// value when the map gives them up; KeyArg is the type keys are passed as.
//
// Not thread-safe. Positional reads (GetAt) cache their place in a cursor,
// so even they must not run concurrently.
template <typename K, typename V, typename KeyPolicy, typename ValuePolicy, typename KeyArg = K>
class CMap {
    // Nodes live in raw blocks from the C allocator and are written by
    // plain assignment.
    static_assert(std::is_trivially_copyable<K>::value, "CMap keys are stored in raw blocks");
    static_assert(std::is_trivially_copyable<V>::value, "CMap values are stored in raw blocks");

public:
    CMap()
        : blocks_(nullptr),
          freeNodes_(nullptr),
          nodesInUse_(0),
          nodesPerBlock_(4),
          root_(&nil_),
          first_(nullptr),
          last_(nullptr),
          cursorIndex_(-1),
          cursorNode_(nullptr),
          count_(0) {
        memset(static_cast<void*>(&nil_), 0, sizeof(nil_));
        nil_.left = &nil_;
        nil_.right = &nil_;
        nil_.color = kBlack;
    }
    CMap(const CMap&) = delete;
    CMap& operator=(const CMap&) = delete;

    virtual ~CMap() {
        RemoveAll();
        FreeBlocks();
    }

    // Inserts key with value, or gives a present key the new value (and
    // releases the value it replaces). When memory cannot be had: false,
    // and the map unchanged.
    bool Set(KeyArg key, const V& value) {
        Node* parent = nullptr;
        if (Node* present = Locate(key, &parent)) {
            Replace(present, key, value);
            return true;
        }
        if (count_ == INT32_MAX)
            return false;
        Node* node = TakeNode();
        if (!node)
            return false;
        node->key = key;
        node->value = value;
        node->parent = parent;
        node->left = &nil_;
        node->right = &nil_;
        node->color = kRed;
        Link(node);
        if (cursorNode_ && node->key < cursorNode_->key)
            cursorNode_ = cursorNode_->prev;
        Rebalance(node);
        root_->color = kBlack;
        count_++;
        return true;
    }

    bool Find(KeyArg key) const { return Locate(key, nullptr) != nullptr; }

    int32_t GetCount() const { return count_; }

    // Gives up every key and value through the policies. The nodes go back
    // in post-order, and the last one back frees every block at once.
    void RemoveAll() {
        if (root_ != &nil_)
            ReturnSubtree(root_);
        root_ = &nil_;
        first_ = nullptr;
        last_ = nullptr;
        cursorIndex_ = -1;
        cursorNode_ = nullptr;
        count_ = 0;
    }

    // The key and value at position index in key order; either output may
    // be null. False when index is outside [0, GetCount()). Walks from the
    // nearest of the first, the last and the previously read position, so
    // reading the positions in turn costs one step each.
    bool GetAt(int32_t index, K* key, V* value) const {
        Node* node = NodeAt(index);
        if (!node)
            return false;
        if (key)
            *key = node->key;
        if (value)
            *value = node->value;
        return true;
    }

private:
    template <typename Map>
    friend class CMapInspector;

    static constexpr uint8_t kBlack = 0;
    static constexpr uint8_t kRed = 1;

    struct Node {
        K key;
        V value;
        Node* parent;  // null at the root
        Node* left;    // nil when missing
        Node* right;
        Node* prev;  // in key order; null at either end
        Node* next;
        uint8_t color;
    };

    // A node in the pool's free list reuses its first word as the link.
    struct FreeNode {
        FreeNode* next;
    };

    // One allocation: the link to the next (older) block, then the nodes.
    struct Block {
        Block* next;
    };

    static constexpr size_t kNodesOffset = (sizeof(Block) + alignof(Node) - 1) / alignof(Node) * alignof(Node);

    // The node holding key, or null. *lastVisited (when asked for) gets the
    // last node of the walk: the parent a new node for key would have.
    Node* Locate(KeyArg key, Node** lastVisited) const {
        Node* node = root_;
        while (node != &nil_) {
            if (lastVisited)
                *lastVisited = node;
            if (key < node->key)
                node = node->left;
            else if (node->key < key)
                node = node->right;
            else
                return node;
        }
        return nullptr;
    }

    void Replace(Node* node, KeyArg key, const V& value) {
        // Only a different value is released: storing the pointer a key
        // already owns must not delete it.
        if (memcmp(static_cast<const void*>(&node->value), static_cast<const void*>(&value), sizeof(V)) != 0)
            ValuePolicy::Release(node->value);
        node->key = key;
        node->value = value;
    }

    // Threads a node that already has its tree parent into the in-order
    // list; a left child comes right before its parent, a right child right
    // after it.
    void Link(Node* node) {
        Node* parent = node->parent;
        if (!parent) {
            root_ = node;
            node->prev = nullptr;
            node->next = nullptr;
        } else if (node->key < parent->key) {
            parent->left = node;
            node->next = parent;
            node->prev = parent->prev;
        } else {
            parent->right = node;
            node->prev = parent;
            node->next = parent->next;
        }
        if (node->prev)
            node->prev->next = node;
        else
            first_ = node;
        if (node->next)
            node->next->prev = node;
        else
            last_ = node;
    }

    void Rebalance(Node* node) {
        while (node != root_ && node->parent->color == kRed) {
            // A red parent is never the root, so the grandparent exists.
            Node* parent = node->parent;
            Node* grandparent = parent->parent;
            if (parent == grandparent->left) {
                Node* uncle = grandparent->right;
                if (uncle->color == kRed) {
                    parent->color = kBlack;
                    uncle->color = kBlack;
                    grandparent->color = kRed;
                    node = grandparent;
                    continue;
                }
                if (node == parent->right) {
                    node = parent;
                    RotateLeft(node);
                }
                node->parent->color = kBlack;
                node->parent->parent->color = kRed;
                RotateRight(node->parent->parent);
            } else {
                Node* uncle = grandparent->left;
                if (uncle->color == kRed) {
                    parent->color = kBlack;
                    uncle->color = kBlack;
                    grandparent->color = kRed;
                    node = grandparent;
                    continue;
                }
                if (node == parent->left) {
                    node = parent;
                    RotateRight(node);
                }
                node->parent->color = kBlack;
                node->parent->parent->color = kRed;
                RotateLeft(node->parent->parent);
            }
        }
    }

    // A rotation moves a child that may be nil and sets its parent; nil's
    // parent is saved and put back so that nil never points into the tree.
    void RotateLeft(Node* node) {
        Node* nilParent = nil_.parent;
        Node* child = node->right;
        node->right = child->left;
        node->right->parent = node;
        Replant(node, child);
        child->left = node;
        node->parent = child;
        nil_.parent = nilParent;
    }

    void RotateRight(Node* node) {
        Node* nilParent = nil_.parent;
        Node* child = node->left;
        node->left = child->right;
        node->left->parent = node;
        Replant(node, child);
        child->right = node;
        node->parent = child;
        nil_.parent = nilParent;
    }

    // Puts child where node stood under node's parent.
    void Replant(Node* node, Node* child) {
        Node* parent = node->parent;
        child->parent = parent;
        if (!parent)
            root_ = child;
        else if (node == parent->left)
            parent->left = child;
        else
            parent->right = child;
    }

    Node* NodeAt(int32_t index) const {
        if (index < 0 || index >= count_)
            return nullptr;
        Node* node = first_;
        int32_t position = 0;
        if (count_ - 1 - index < index - position) {
            node = last_;
            position = count_ - 1;
        }
        if (cursorNode_) {
            int32_t cursorDistance = index > cursorIndex_ ? index - cursorIndex_ : cursorIndex_ - index;
            int32_t distance = index > position ? index - position : position - index;
            if (cursorDistance < distance) {
                node = cursorNode_;
                position = cursorIndex_;
            }
        }
        for (; position < index; position++)
            node = node->next;
        for (; position > index; position--)
            node = node->prev;
        cursorIndex_ = index;
        cursorNode_ = node;
        return node;
    }

    // Null when no block can be had.
    Node* TakeNode() {
        if (!freeNodes_ && !AddBlock())
            return nullptr;
        FreeNode* free = freeNodes_;
        freeNodes_ = free->next;
        nodesInUse_++;
        return new (static_cast<void*>(free)) Node;
    }

    // The last node in use frees the whole pool; otherwise a node goes back
    // on the free list. Blocks are never freed one by one.
    void ReturnNode(Node* node) {
        KeyPolicy::Release(node->key);
        ValuePolicy::Release(node->value);
        if (nodesInUse_ == 1) {
            FreeBlocks();
            return;
        }
        freeNodes_ = new (static_cast<void*>(node)) FreeNode{freeNodes_};
        nodesInUse_--;
    }

    void ReturnSubtree(Node* node) {
        if (node->left != &nil_)
            ReturnSubtree(node->left);
        if (node->right != &nil_)
            ReturnSubtree(node->right);
        ReturnNode(node);
    }

    // A new block goes to the head of the block list; its nodes join the
    // free list in address order.
    bool AddBlock() {
        if (nodesPerBlock_ <= 0 ||
            static_cast<size_t>(nodesPerBlock_) > (SIZE_MAX - kNodesOffset) / sizeof(Node))
            return false;
        size_t bytes = kNodesOffset + static_cast<size_t>(nodesPerBlock_) * sizeof(Node);
        char* memory = static_cast<char*>(malloc(bytes));
        if (!memory)
            return false;
        blocks_ = new (memory) Block{blocks_};
        Node* nodes = reinterpret_cast<Node*>(memory + kNodesOffset);
        for (int32_t i = nodesPerBlock_ - 1; i >= 0; i--)
            freeNodes_ = new (static_cast<void*>(&nodes[i])) FreeNode{freeNodes_};
        return true;
    }

    void FreeBlocks() {
        while (blocks_) {
            Block* next = blocks_->next;
            free(blocks_);
            blocks_ = next;
        }
        freeNodes_ = nullptr;
        nodesInUse_ = 0;
    }

    Block* blocks_;  // newest first
    FreeNode* freeNodes_;
    int32_t nodesInUse_;
    int32_t nodesPerBlock_;
    Node* root_;   // &nil_ when empty
    Node* first_;  // ends of the in-order list; null while the map is empty
    Node* last_;
    Node nil_;  // the shared leaf: black, children itself, parent null
    mutable int32_t cursorIndex_;  // -1 while cursorNode_ is null
    mutable Node* cursorNode_;
    int32_t count_;
};

}  // namespace Simple
