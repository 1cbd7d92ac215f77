#pragma once
// The body of state.st on an archive already open (a file, or bytes in memory): one 32-bit m_bNew
// per node below `root`, in the stored walk order. content.ct's body is the root's Persist.

class CDataArchive;
class CFTPDir;

// Reads flags into the nodes in walk order until the archive ends (CArchiveException endOfFile
// then leaves the rest as they were).
void ReadStateFlags(CDataArchive& ar, CFTPDir& root);
void WriteStateFlags(CDataArchive& ar, const CFTPDir& root);
