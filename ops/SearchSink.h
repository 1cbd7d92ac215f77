#pragma once
// How a search shows its progress and results while it runs. The window implements it (file
// list rows, progress window, busy cursor); the CLI and the tests collect or ignore.

#include <cstdint>

class CFTPDir;
class CFTPFile;

struct SearchStart {
    int32_t total = 0;         // sites the search will walk (the progress bar's range)
    bool showProgress = false; // open the progress window with a stop button
    bool busyCursor = false;   // show the busy cursor until SearchEnded
};

class ISearchSink {
public:
    virtual ~ISearchSink() = default;
    // The found lists were just emptied: clear the result rows and switch to them.
    virtual void SearchStarted(const SearchStart& start) { (void)start; }
    // One entry was appended to m_foundDirs / m_foundFiles: add its row now.
    virtual void FoundDir(CFTPDir* dir) { (void)dir; }
    virtual void FoundFile(CFTPFile* file) { (void)file; }
    // A site was begun (m_nSearchDone raised).
    virtual void SearchProgress(int32_t done, int32_t total) { (void)done, (void)total; }
    // The walk ended, finished or stopped: close the progress window, drop the busy cursor.
    virtual void SearchEnded() {}
};
