#pragma once
// CObList: the ordered, owning list of a directory's children and of the document's sites.
// Only append, remove, walk and count are needed, so a vector of owning pointers serves:
// smaller and faster than a linked list, and insertion order is kept.

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

template <class T> class CObList {
public:
    using Ptr = std::unique_ptr<T>;

    CObList() = default;
    CObList(const CObList&) = delete;
    CObList& operator=(const CObList&) = delete;
    ~CObList() { RemoveAll(); }

    std::size_t GetCount() const { return m_items.size(); }
    bool IsEmpty() const { return m_items.empty(); }
    T* GetAt(std::size_t index) const { return m_items[index].get(); }
    T* GetHead() const { return m_items.front().get(); }
    T* GetTail() const { return m_items.back().get(); }

    T* AddTail(Ptr item) {
        m_items.push_back(std::move(item));
        return m_items.back().get();
    }

    // Unlinks the element at `index` and hands it to the caller, who decides when it dies.
    Ptr RemoveAt(std::size_t index) {
        Ptr item = std::move(m_items[index]);
        m_items.erase(m_items.begin() + static_cast<std::ptrdiff_t>(index));
        return item;
    }

    // Unlinks every element for which `pred` holds, keeping the order of the rest, and
    // returns the unlinked ones in list order. One pass, whatever the number removed.
    template <class Pred> std::vector<Ptr> ExtractIf(Pred pred) {
        std::vector<Ptr> removed;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < m_items.size(); ++i) {
            if (pred(m_items[i].get()))
                removed.push_back(std::move(m_items[i]));
            else
                m_items[kept++] = std::move(m_items[i]);
        }
        m_items.resize(kept);
        return removed;
    }

    // Destroys every element, head to tail, then empties the list.
    void RemoveAll() {
        for (auto& item : m_items)
            item.reset();
        m_items.clear();
    }

    void Reserve(std::size_t n) { m_items.reserve(n); }

    // Walk from head to tail: `for (T* x : list)`.
    class const_iterator {
    public:
        explicit const_iterator(typename std::vector<Ptr>::const_iterator it) : m_it(it) {}
        T* operator*() const { return m_it->get(); }
        const_iterator& operator++() {
            ++m_it;
            return *this;
        }
        bool operator!=(const const_iterator& other) const { return m_it != other.m_it; }
        bool operator==(const const_iterator& other) const { return m_it == other.m_it; }

    private:
        typename std::vector<Ptr>::const_iterator m_it;
    };
    const_iterator begin() const { return const_iterator(m_items.begin()); }
    const_iterator end() const { return const_iterator(m_items.end()); }

private:
    std::vector<Ptr> m_items;
};
