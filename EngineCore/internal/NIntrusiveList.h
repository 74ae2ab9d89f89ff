#pragma once

// A doubly linked list whose links live in the listed objects: adding and removing never allocate
// (the allocation-failure runs fail every allocation in turn) and removing is O(1). An object may
// sit on several lists, one NListLink member for each. Header-only and never installed, like
// NThreadSafety.h: EngineCore's pool and the Linux layer's loop both use it.
template <typename T> class NListLink
{
public:
    NListLink() = default;
    NListLink(const NListLink&) = delete;
    NListLink& operator=(const NListLink&) = delete;

    bool Linked() const { return m_pPrev != nullptr; }

private:
    template <typename U, NListLink<U> U::*> friend class NIntrusiveList;

    T* m_pOwner = nullptr;
    NListLink* m_pPrev = nullptr;
    NListLink* m_pNext = nullptr;
};

template <typename T, NListLink<T> T::*Link> class NIntrusiveList
{
public:
    NIntrusiveList() { m_Head.m_pPrev = m_Head.m_pNext = &m_Head; }
    NIntrusiveList(const NIntrusiveList&) = delete;
    NIntrusiveList& operator=(const NIntrusiveList&) = delete;

    bool Empty() const { return m_Head.m_pNext == &m_Head; }

    // Appends Item unless it is listed already; returns whether it was appended.
    bool PushBack(T& Item)
    {
        NListLink<T>& Node = Item.*Link;
        if (Node.Linked())
            return false;
        Node.m_pOwner = &Item;
        Node.m_pPrev = m_Head.m_pPrev;
        Node.m_pNext = &m_Head;
        m_Head.m_pPrev->m_pNext = &Node;
        m_Head.m_pPrev = &Node;
        return true;
    }

    // Takes Item off the list, if it is on it.
    void Remove(T& Item)
    {
        NListLink<T>& Node = Item.*Link;
        if (!Node.Linked())
            return;
        Node.m_pPrev->m_pNext = Node.m_pNext;
        Node.m_pNext->m_pPrev = Node.m_pPrev;
        Node.m_pPrev = Node.m_pNext = nullptr;
    }

    T* PopFront() { return Empty() ? nullptr : Pop(*m_Head.m_pNext); }
    T* PopBack() { return Empty() ? nullptr : Pop(*m_Head.m_pPrev); }

private:
    T* Pop(NListLink<T>& Node)
    {
        T* const pItem = Node.m_pOwner;
        Remove(*pItem);
        return pItem;
    }

    NListLink<T> m_Head; // the sentinel: first is m_Head.m_pNext, last is m_Head.m_pPrev
};
