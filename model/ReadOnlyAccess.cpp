#include "model/ReadOnlyAccess.h"

#include <atomic>

namespace {

std::atomic<bool> g_bReadOnlyAccess{false};

} // namespace

void SetReadOnlyAccess(bool readOnly) {
    g_bReadOnlyAccess.store(readOnly, std::memory_order_relaxed);
}

bool IsReadOnlyAccess() {
    return g_bReadOnlyAccess.load(std::memory_order_relaxed);
}
