// The lists of node records (QV_NODE_S) that the peer and group classes keep of the objects
// attached to one of their objects. A record is on a list exactly when its list pointer is
// set; lpList points at the list's head-and-tail pair.
#pragma once

#include "qvNodeDef.h"

struct QV_NODE_LIST_S {
    QV_NODE_S* pHead;
    QV_NODE_S* pTail;
};

// Appends the record unless it is on a list already (0 then).
inline u32 qvNodeListPush(QV_NODE_LIST_S* l, QV_NODE_S* n)
{
    if (!l || !n || n->lpList)
        return 0;
    n->lpPrev = l->pTail;
    n->lpNext = nullptr;
    n->lpList = l;
    if (l->pTail)
        l->pTail->lpNext = n;
    else
        l->pHead = n;
    l->pTail = n;
    return 1;
}

// Takes the record off this list; 0 when it is not on it.
inline u32 qvNodeListRemove(QV_NODE_LIST_S* l, QV_NODE_S* n)
{
    if (!l || !n || n->lpList != l)
        return 0;
    if (n->lpPrev)
        n->lpPrev->lpNext = n->lpNext;
    else
        l->pHead = n->lpNext;
    if (n->lpNext)
        n->lpNext->lpPrev = n->lpPrev;
    else
        l->pTail = n->lpPrev;
    n->lpPrev = n->lpNext = nullptr;
    n->lpList = nullptr;
    return 1;
}
