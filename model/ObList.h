#pragma once
// CObList: the ordered, owning list of a directory's children and of the document's sites.
// Only append, remove, walk and count are needed, so an array of owning pointers serves: smaller
// and faster than a linked list, and insertion order is kept. The list itself is a pointer and two
// 32-bit counts, 16 bytes where a vector takes 24: every directory holds two.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>
#include <vector>

template <class T> class CObList {
public:
    using Ptr = std::unique_ptr<T>;

    CObList() = default;
    CObList(const CObList&) = delete;
    CObList& operator=(const CObList&) = delete;
    ~CObList() { RemoveAll(); }

    std::size_t GetCount() const { return m_nCount; }
    bool IsEmpty() const { return m_nCount == 0; }
    T* GetAt(std::size_t index) const { return m_items[index]; }
    T* GetHead() const { return m_items[0]; }
    T* GetTail() const { return m_items[m_nCount - 1]; }

    T* AddTail(Ptr item) {
        if (m_nCount == m_nCapacity)
            Grow(m_nCapacity ? std::size_t{m_nCapacity} * 2 : 1);
        m_items[m_nCount++] = item.release();
        return m_items[m_nCount - 1];
    }

    // Unlinks the element at `index` and hands it to the caller, who decides when it dies.
    Ptr RemoveAt(std::size_t index) {
        Ptr item(m_items[index]);
        for (std::size_t i = index + 1; i < m_nCount; ++i)
            m_items[i - 1] = m_items[i];
        --m_nCount;
        return item;
    }

    // Unlinks every element for which `pred` holds, keeping the order of the rest, and
    // returns the unlinked ones in list order. One pass, whatever the number removed.
    template <class Pred> std::vector<Ptr> ExtractIf(Pred pred) {
        std::vector<Ptr> removed;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < m_nCount; ++i) {
            if (pred(m_items[i])) {
                removed.emplace_back(m_items[i]);
                m_items[i] = nullptr;
            } else {
                m_items[kept++] = m_items[i];
            }
        }
        m_nCount = static_cast<uint32_t>(kept);
        return removed;
    }

    // Destroys every element, head to tail, then empties the list.
    void RemoveAll() {
        for (std::size_t i = 0; i < m_nCount; ++i) {
            delete m_items[i];
            m_items[i] = nullptr;
        }
        m_nCount = 0;
        std::free(m_items);
        m_items = nullptr;
        m_nCapacity = 0;
    }

    void Reserve(std::size_t n) {
        if (n > m_nCapacity)
            Grow(n);
    }

    // Walk from head to tail: `for (T* x : list)`.
    class const_iterator {
    public:
        explicit const_iterator(T* const* at) : m_at(at) {}
        T* operator*() const { return *m_at; }
        const_iterator& operator++() {
            ++m_at;
            return *this;
        }
        bool operator!=(const const_iterator& other) const { return m_at != other.m_at; }
        bool operator==(const const_iterator& other) const { return m_at == other.m_at; }

    private:
        T* const* m_at;
    };
    const_iterator begin() const { return const_iterator(m_items); }
    const_iterator end() const { return const_iterator(m_items + m_nCount); }

private:
    void Grow(std::size_t capacity) {
        if (capacity > UINT32_MAX)
            throw std::bad_alloc();
        void* grown = std::realloc(m_items, capacity * sizeof(T*));
        if (!grown)
            throw std::bad_alloc();
        m_items = static_cast<T**>(grown);
        m_nCapacity = static_cast<uint32_t>(capacity);
    }

    T** m_items = nullptr;
    uint32_t m_nCount = 0;
    uint32_t m_nCapacity = 0;
};
