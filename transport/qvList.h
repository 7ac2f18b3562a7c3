// Links of the doubly linked record lists (lpPrev, lpNext, a head and a tail) that the socket
// process and the drivers keep. Neither helper touches a list's count or frees anything.
#pragma once

template <class T>
void qvListUnlink(T*& lpHead, T*& lpTail, T* e)
{
    if (e->lpPrev)
        e->lpPrev->lpNext = e->lpNext;
    else
        lpHead = e->lpNext;
    if (e->lpNext)
        e->lpNext->lpPrev = e->lpPrev;
    else
        lpTail = e->lpPrev;
}

template <class T>
void qvListAppend(T*& lpHead, T*& lpTail, T* e)
{
    e->lpPrev = lpTail;
    if (lpTail)
        lpTail->lpNext = e;
    else
        lpHead = e;
    lpTail = e;
}
