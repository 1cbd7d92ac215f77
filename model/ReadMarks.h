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

// What another program saved of the pair since this process last read or wrote it.
enum class SavedElsewhereChange {
    Nothing,
    MarksOnly, // state.st, beside the content.ct this process knows
    Tree       // content.ct (and state.st with it)
};

// How a save of the read marks goes.
enum class MarkSave {
    MarksAlone,       // state.st alone, from the tree in memory
    WholePair,        // the tree in memory is not on disk: it goes, with its marks
    MergedMarksAlone, // the marks saved elsewhere are carried into memory; state.st alone
    MergedWholePair,  // the marks saved elsewhere are carried into memory; the pair goes
    TheirTree         // a newer tree saved elsewhere stays: the two trees take each other's read
                      // marks, and state.st is written from the tree on disk
};

// The save that keeps both sides' marks. `readTheirs`: the pair saved elsewhere was read.
// `treeUnchanged`: the tree in memory is still the one content.ct held when this process last
// read or wrote it.
MarkSave PlanMarkSave(SavedElsewhereChange change, bool readTheirs, bool treeUnchanged);
