#pragma once
// Emptying the directories that saves leave in the save area (RemoveSiteLeftovers in
// model/SiteCatalogue.h cleans up a site as a whole).

// What becomes of the other entries of a directory a save leaves behind.
enum class Leftover {
    Discard, // the site is being deleted: files go, nothing is moved
    Salvage, // left by a killed save: the newer of two files of one name stays
    Replaced // the old directory of a save that went through: anything that differs from what
             // was linked into the new one was written while the save ran, and goes over
};

// Empties a directory that a save left behind. Its own files (content.ct, state.st, temporary
// files) go. Any other entry goes to `siteFd` when the site directory lacks it (or, by `what`,
// holds an older or another file of that name) and is dropped when the site directory already
// holds it. Where there is no site directory nothing is moved; directories are never deleted.
// True when something was moved.
bool EmptyLeftover(int leftoverFd, int siteFd, Leftover what);
