#pragma once
// A pool of equal-sized blocks for the most numerous record, the file node. A million files cost
// one malloc header each (16 bytes) with the general allocator; from the pool they cost nothing
// beyond their own size. Each thread keeps a small cache of free blocks and trades batches with a
// shared list under a lock, so allocation is usually lock-free and a block may be freed by a
// thread other than the one that took it. Memory taken by the pool is kept for reuse, not given
// back to the system. Under AddressSanitizer the pool steps aside so that it sees every block.

#include <cstddef>

class CNodePool {
public:
    explicit CNodePool(std::size_t blockSize);
    CNodePool(const CNodePool&) = delete;
    CNodePool& operator=(const CNodePool&) = delete;

    void* Allocate();
    void Free(void* block) noexcept;

    struct Shared;

private:
    std::size_t m_nBlockSize;
    Shared* m_pShared; // never destroyed: blocks may be freed during static destruction
};

// The pool behind CFTPFile's operator new and delete.
CNodePool& FileNodePool();
