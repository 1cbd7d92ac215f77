// Temporary: filled in with the archive stream.
#include "model/Records.h"
void CFTPSite::LoadCatalogue() {}
void CFTPSite::LoadState() {}
bool CFTPSite::SaveCatalogue() { return false; }
bool CFTPSite::SaveState() { return false; }
void CFTPSite::Persist(CDataArchive&) {}
void CFTPDir::Persist(CDataArchive&) {}
void CFTPFile::Persist(CDataArchive&) {}
