#pragma once

// A doubly linked list whose links live in the listed objects: adding and removing never allocate
// (the allocation-failure runs fail every allocation in turn) and removing is O(1). An object may
// sit on several lists, one ListLink member for each.
namespace tarn
{
namespace inet
{
template <typename T> class ListLink
{
public:
    ListLink() = default;
    ListLink(const ListLink&) = delete;
    ListLink& operator=(const ListLink&) = delete;

    bool Linked() const { return m_pPrev != nullptr; }

private:
    template <typename U, ListLink<U> U::*> friend class IntrusiveList;

    T* m_pOwner = nullptr;
    ListLink* m_pPrev = nullptr;
    ListLink* m_pNext = nullptr;
};

template <typename T, ListLink<T> T::*Link> class IntrusiveList
{
public:
    IntrusiveList() { m_Head.m_pPrev = m_Head.m_pNext = &m_Head; }
    IntrusiveList(const IntrusiveList&) = delete;
    IntrusiveList& operator=(const IntrusiveList&) = delete;

    bool Empty() const { return m_Head.m_pNext == &m_Head; }

    // Appends Item unless it is listed already; returns whether it was appended.
    bool PushBack(T& Item)
    {
        ListLink<T>& Node = Item.*Link;
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
        ListLink<T>& Node = Item.*Link;
        if (!Node.Linked())
            return;
        Node.m_pPrev->m_pNext = Node.m_pNext;
        Node.m_pNext->m_pPrev = Node.m_pPrev;
        Node.m_pPrev = Node.m_pNext = nullptr;
    }

    T* PopFront()
    {
        if (Empty())
            return nullptr;
        T* pItem = m_Head.m_pNext->m_pOwner;
        Remove(*pItem);
        return pItem;
    }

private:
    ListLink<T> m_Head; // the sentinel: first is m_Head.m_pNext, last is m_Head.m_pPrev
};
} // namespace inet
} // namespace tarn
