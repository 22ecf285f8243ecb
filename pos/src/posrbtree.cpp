// Red-black tree (insert-or-find-equal, remove, minimum, successor) with its
// own entry pool. Every operation takes the tree's lock.
#include "posrbtree.h"

#include "pos.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t kBlack = 0;
constexpr uint8_t kRed = 1;

struct Guard {
    explicit Guard(RbTree* t) : tree(t) { pthread_mutex_lock(&tree->lock); }
    ~Guard() { pthread_mutex_unlock(&tree->lock); }
    RbTree* tree;
};

RbNode* nilOf(RbTree* t) { return &t->nil; }

void rotateLeft(RbTree* t, RbNode* x) {
    RbNode* nil = nilOf(t);
    RbNode* y = x->right;
    x->right = y->left;
    if (y->left != nil) y->left->parent = x;
    y->parent = x->parent;
    if (x->parent == nil)
        t->root = y;
    else if (x == x->parent->left)
        x->parent->left = y;
    else
        x->parent->right = y;
    y->left = x;
    x->parent = y;
}

void rotateRight(RbTree* t, RbNode* x) {
    RbNode* nil = nilOf(t);
    RbNode* y = x->left;
    x->left = y->right;
    if (y->right != nil) y->right->parent = x;
    y->parent = x->parent;
    if (x->parent == nil)
        t->root = y;
    else if (x == x->parent->right)
        x->parent->right = y;
    else
        x->parent->left = y;
    y->right = x;
    x->parent = y;
}

void insertFixup(RbTree* t, RbNode* z) {
    while (z->parent->color == kRed) {
        RbNode* gp = z->parent->parent;
        if (z->parent == gp->left) {
            RbNode* y = gp->right;
            if (y->color == kRed) {
                z->parent->color = kBlack;
                y->color = kBlack;
                gp->color = kRed;
                z = gp;
            } else {
                if (z == z->parent->right) {
                    z = z->parent;
                    rotateLeft(t, z);
                }
                z->parent->color = kBlack;
                z->parent->parent->color = kRed;
                rotateRight(t, z->parent->parent);
            }
        } else {
            RbNode* y = gp->left;
            if (y->color == kRed) {
                z->parent->color = kBlack;
                y->color = kBlack;
                gp->color = kRed;
                z = gp;
            } else {
                if (z == z->parent->left) {
                    z = z->parent;
                    rotateRight(t, z);
                }
                z->parent->color = kBlack;
                z->parent->parent->color = kRed;
                rotateLeft(t, z->parent->parent);
            }
        }
    }
    t->root->color = kBlack;
}

void transplant(RbTree* t, RbNode* u, RbNode* v) {
    if (u->parent == nilOf(t))
        t->root = v;
    else if (u == u->parent->left)
        u->parent->left = v;
    else
        u->parent->right = v;
    v->parent = u->parent;
}

RbNode* subtreeMin(RbTree* t, RbNode* x) {
    while (x->left != nilOf(t)) x = x->left;
    return x;
}

RbNode* subtreeMax(RbTree* t, RbNode* x) {
    while (x->right != nilOf(t)) x = x->right;
    return x;
}

void deleteFixup(RbTree* t, RbNode* x) {
    while (x != t->root && x->color == kBlack) {
        if (x == x->parent->left) {
            RbNode* w = x->parent->right;
            if (w->color == kRed) {
                w->color = kBlack;
                x->parent->color = kRed;
                rotateLeft(t, x->parent);
                w = x->parent->right;
            }
            if (w->left->color == kBlack && w->right->color == kBlack) {
                w->color = kRed;
                x = x->parent;
            } else {
                if (w->right->color == kBlack) {
                    w->left->color = kBlack;
                    w->color = kRed;
                    rotateRight(t, w);
                    w = x->parent->right;
                }
                w->color = x->parent->color;
                x->parent->color = kBlack;
                w->right->color = kBlack;
                rotateLeft(t, x->parent);
                x = t->root;
            }
        } else {
            RbNode* w = x->parent->left;
            if (w->color == kRed) {
                w->color = kBlack;
                x->parent->color = kRed;
                rotateRight(t, x->parent);
                w = x->parent->left;
            }
            if (w->right->color == kBlack && w->left->color == kBlack) {
                w->color = kRed;
                x = x->parent;
            } else {
                if (w->left->color == kBlack) {
                    w->right->color = kBlack;
                    w->color = kRed;
                    rotateLeft(t, w);
                    w = x->parent->left;
                }
                w->color = x->parent->color;
                x->parent->color = kBlack;
                w->left->color = kBlack;
                rotateRight(t, x->parent);
                x = t->root;
            }
        }
    }
    x->color = kBlack;
}

RbNode* successor(RbTree* t, RbNode* x) {
    RbNode* nil = nilOf(t);
    if (x->right != nil) return subtreeMin(t, x->right);
    RbNode* y = x->parent;
    while (y != nil && x == y->right) {
        x = y;
        y = y->parent;
    }
    return y == nil ? nullptr : y;
}

void refreshBounds(RbTree* t) {
    if (t->root == nilOf(t)) {
        t->min = t->max = nullptr;
    } else {
        t->min = subtreeMin(t, t->root);
        t->max = subtreeMax(t, t->root);
    }
}

}  // namespace

RbTree* rbTreeInit(int entrySize, int flags, RbCopyFn copy, RbCompareFn compare, RbInitFn init) {
    if (entrySize <= 0 || !copy || !compare || !init) {
        posLogPrint("POS# ERR: rbTreeInit(%d,%d,%d,%d)\n", entrySize,
                    static_cast<int>(reinterpret_cast<intptr_t>(copy)),
                    static_cast<int>(reinterpret_cast<intptr_t>(compare)),
                    static_cast<int>(reinterpret_cast<intptr_t>(init)));
        return nullptr;
    }
    if (entrySize < static_cast<int>(sizeof(RbNode))) entrySize = sizeof(RbNode);
    auto* t = static_cast<RbTree*>(calloc(1, sizeof(RbTree)));
    if (!t) return nullptr;
    pthread_mutex_init(&t->lock, nullptr);
    t->nil.color = kBlack;
    t->nil.left = t->nil.right = t->nil.parent = &t->nil;
    t->root = &t->nil;
    t->entrySize = entrySize;
    t->flags = flags;
    t->copy = copy;
    t->compare = compare;
    t->init = init;
    return t;
}

void* rbTreeInsert(RbTree* t, const void* tmpl) {
    if (!t || !tmpl) return nullptr;
    Guard g(t);
    RbNode* nil = nilOf(t);
    RbNode* parent = nil;
    RbNode* x = t->root;
    int cmp = 0;
    while (x != nil) {
        parent = x;
        cmp = t->compare(tmpl, x);
        if (cmp == 0) {
            if (t->flags & RB_FLAG_REPLACE) t->copy(x, tmpl);
            return x;
        }
        x = cmp < 0 ? x->left : x->right;
    }
    RbNode* z = t->pool;
    if (z) {
        t->pool = z->poolNext;
        t->pooled--;
    } else {
        z = static_cast<RbNode*>(calloc(1, static_cast<size_t>(t->entrySize)));
        if (!z) return nullptr;
        t->created++;
    }
    t->init(z);
    t->copy(z, tmpl);
    z->poolNext = nullptr;
    z->parent = parent;
    z->left = z->right = nil;
    z->color = kRed;
    z->inUse = RB_IN_USE;
    if (parent == nil)
        t->root = z;
    else if (cmp < 0)
        parent->left = z;
    else
        parent->right = z;
    insertFixup(t, z);
    t->count++;
    refreshBounds(t);
    return z;
}

void rbTreeRemove(RbTree* t, void* entry) {
    if (!t || !entry) return;
    Guard g(t);
    auto* z = static_cast<RbNode*>(entry);
    if (z->inUse != RB_IN_USE) return;
    RbNode* nil = nilOf(t);
    RbNode* y = z;
    RbNode* x;
    uint8_t yColor = y->color;
    if (z->left == nil) {
        x = z->right;
        transplant(t, z, z->right);
    } else if (z->right == nil) {
        x = z->left;
        transplant(t, z, z->left);
    } else {
        y = subtreeMin(t, z->right);
        yColor = y->color;
        x = y->right;
        if (y->parent == z) {
            x->parent = y;
        } else {
            transplant(t, y, y->right);
            y->right = z->right;
            y->right->parent = y;
        }
        transplant(t, z, y);
        y->left = z->left;
        y->left->parent = y;
        y->color = z->color;
    }
    if (yColor == kBlack) deleteFixup(t, x);
    // Keep the sentinel clean for the next operation.
    nil->parent = nil->left = nil->right = nil;
    nil->color = kBlack;
    t->count--;
    refreshBounds(t);
    z->inUse = 0;
    z->left = z->right = z->parent = nullptr;
    t->init(z);
    z->poolNext = t->pool;
    t->pool = z;
    t->pooled++;
}

void* rbTreeMin(RbTree* t) {
    if (!t) return nullptr;
    Guard g(t);
    return t->min;
}

void* rbTreeNext(RbTree* t, void* entry) {
    if (!t || !entry) return nullptr;
    Guard g(t);
    auto* x = static_cast<RbNode*>(entry);
    if (x->inUse != RB_IN_USE) return nullptr;
    return successor(t, x);
}

int rbTreeCount(RbTree* t) {
    if (!t) return 0;
    Guard g(t);
    return t->count;
}

void rbTreeStats(RbTree* t, int* created, int* inTree, int* pooled) {
    if (!t) {
        if (created) *created = 0;
        if (inTree) *inTree = 0;
        if (pooled) *pooled = 0;
        return;
    }
    Guard g(t);
    if (created) *created = t->created;
    if (inTree) *inTree = t->count;
    if (pooled) *pooled = t->pooled;
}
