#pragma once
// Whether a catalogue entry lies at or below another one. Used when an entry leaves the
// catalogue: everything the window holds that points into the removed subtree must go.

#include "model/Records.h"

inline bool IsDirAtOrBelow(const CFTPDir* dir, const CObject* entry) {
    for (const CFTPDir* d = dir; d; d = d->m_pParent)
        if (static_cast<const CObject*>(d) == entry)
            return true;
    return false;
}

inline bool IsFileAtOrBelow(const CFTPFile* file, const CObject* entry) {
    return static_cast<const CObject*>(file) == entry || IsDirAtOrBelow(file->m_pParent, entry);
}
