#pragma once
// Merging read marks between two trees of one site: the one in memory and one another program
// saved.

#include <cstddef>
#include <cstdint>
#include <vector>

class CFTPDir;

// Sets to read every entry below `to` whose counterpart below `from` (same path, same kind) is
// read. Marks only ever go from new to read, except on entries an update creates, so a read mark
// found anywhere is one somebody set. The number of marks changed.
std::size_t CarryReadMarks(const CFTPDir& from, CFTPDir& to);

// The marks CarryReadMarks would set to read, found without reading or changing any mark of `to`,
// so that only setting them needs the tree lock where the caller owns the shape of `to`.
std::vector<int32_t*> FindCarriedReadMarks(const CFTPDir& from, CFTPDir& to);
