// Ordered red-black tree with a per-tree entry pool. Entries begin with an
// RbNode (the tree's bookkeeping) followed by the caller's payload; removed
// entries go back to the pool and are never returned to the heap.
#pragma once

#include <cstdint>
#include <pthread.h>

struct RbNode {
    RbNode* poolNext;
    RbNode* left;
    RbNode* right;
    RbNode* parent;
    uint8_t color;           // 0 black, 1 red
    uint8_t inUse;           // RB_IN_USE while in the tree
};
constexpr uint8_t RB_IN_USE = 0xAA;
// Flags bit 0: an insert that finds an equal entry copies the new payload in.
constexpr int RB_FLAG_REPLACE = 1;

using RbCopyFn = void (*)(void* dst, const void* src);      // payload src -> dst
using RbCompareFn = int (*)(const void* a, const void* b);   // <0, 0, >0
using RbInitFn = void (*)(void* entry);                      // clear a payload

struct RbTree {
    pthread_mutex_t lock;
    int count;
    RbNode* min;
    RbNode* max;
    RbNode* root;
    RbNode nil;              // sentinel leaf
    RbNode* pool;
    int entrySize;
    int flags;
    int created;             // entries ever allocated
    int pooled;              // entries waiting in the pool
    RbCopyFn copy;
    RbCompareFn compare;
    RbInitFn init;
};

RbTree* rbTreeInit(int entrySize, int flags, RbCopyFn copy, RbCompareFn compare, RbInitFn init);
// Inserts a copy of the payload of `tmpl` (an entry-shaped record); returns the
// new entry, the equal entry already in the tree, or nullptr when no entry
// could be allocated.
void* rbTreeInsert(RbTree* tree, const void* tmpl);
void rbTreeRemove(RbTree* tree, void* entry);
void* rbTreeMin(RbTree* tree);
void* rbTreeNext(RbTree* tree, void* entry);
int rbTreeCount(RbTree* tree);
void rbTreeStats(RbTree* tree, int* created, int* inTree, int* pooled);
