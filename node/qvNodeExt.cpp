// Extension instances: streams that classes open on the attached extension modules (files,
// forwarded TCP sockets), named by index-cookie handles.
#include "qvLog.h"
#include "qvNode.h"

u32 CQVNodeClassProc::ExtOpen(u32 uExt, const char* lpszS1, const char* lpszS2, u32 uValue, u32 uParam,
                              u32 uClass)
{
    CQVNode& n = *m_pNode;
    CQVNode::EXTINST_S* x = n.m_ExtInst.Alloc();
    if (!x)
        return 0;
    u32 uHandle = n.m_ExtInst.Handle(x);
    void* lpInst = nullptr;
    if (uExt >= QV_EXT_MAX || !n.m_Ext[uExt].p || !n.m_Ext[uExt].uInit ||
        !n.m_Ext[uExt].p->OnOpen(&lpInst, lpszS1, lpszS2, uValue, uHandle, nullptr) || !lpInst) {
        n.m_ExtInst.Free(x);
        return 0;
    }
    x->pInst = lpInst;
    x->uExt = (u16)uExt;
    x->uParam = uParam;
    x->uClass = (u16)(uClass < QV_CLASS_MAX ? uClass : 0xFFFF);
    n.m_ExtInstOpen.PushTail(x);
    return uHandle;
}

void CQVNodeClassProc::ExtClose(u32 uInst, u32 uValue)
{
    CQVNode& n = *m_pNode;
    CQVNode::EXTINST_S* x = n.ExtInstGet(uInst);
    if (!x)
        return;
    if (x->uExt < QV_EXT_MAX && n.m_Ext[x->uExt].p && n.m_Ext[x->uExt].uInit && x->pInst &&
        !n.ExtCloseLater(x->uExt, x->pInst, uValue))
        n.m_Ext[x->uExt].p->OnClose(x->pInst, uValue);
    x->pInst = nullptr;
    x->uExt = 0xFFFF;
    x->uClass = 0xFFFF;
    x->uParam = 0;
    n.m_ExtInst.Free(x);   // off the open list, new cookie, to the free list's tail
}

int CQVNodeClassProc::ExtWrite(u32 uInst, u32 uValue, const void* lpData, u32* lpuSize, u64 uPos)
{
    CQVNode& n = *m_pNode;
    CQVNode::EXTINST_S* x = n.ExtInstGet(uInst);
    if (!x || x->uExt >= QV_EXT_MAX || !n.m_Ext[x->uExt].p || !n.m_Ext[x->uExt].uInit || !x->pInst)
        return 0;
    return n.m_Ext[x->uExt].p->OnWrite(x->pInst, uValue, lpData, lpuSize, uPos);
}

int CQVNodeClassProc::ExtRead(u32 uInst, u32 uValue, void* lpBuf, u32* lpuSize, u64 uPos)
{
    CQVNode& n = *m_pNode;
    CQVNode::EXTINST_S* x = n.ExtInstGet(uInst);
    if (!x || x->uExt >= QV_EXT_MAX || !n.m_Ext[x->uExt].p || !n.m_Ext[x->uExt].uInit || !x->pInst)
        return 0;
    return n.m_Ext[x->uExt].p->OnRead(x->pInst, uValue, lpBuf, lpuSize, uPos);
}

int CQVNodeClassProc::ExtCtrl(u32 uInst, u32 uValue, const void* lpIn, u32 uInSize, void* lpOut, u32* lpuOutSize)
{
    CQVNode& n = *m_pNode;
    CQVNode::EXTINST_S* x = n.ExtInstGet(uInst);
    if (!x || x->uExt >= QV_EXT_MAX || !n.m_Ext[x->uExt].p || !n.m_Ext[x->uExt].uInit || !x->pInst)
        return 0;
    return n.m_Ext[x->uExt].p->OnCtrl(x->pInst, uValue, lpIn, uInSize, lpOut, lpuOutSize);
}

void CQVNode::ExtInstClean()
{
    m_ExtInstOpen.Reset();
    m_ExtInst.Clean();
}
