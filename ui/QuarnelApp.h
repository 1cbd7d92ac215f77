#pragma once
// The application object: start-up (splash, program directory, document, main window, site
// list) and the objects that live until the program ends.

#include <memory>
#include <string>

class CMainFrame;
class CQuarnelDoc;

class CQuarnelApp {
public:
    static constexpr int kSplashMs = 1000;

    CQuarnelApp();
    ~CQuarnelApp();

    // Runs the start-up; false ends the program.
    bool InitInstance(bool showSplash = true);

    CQuarnelDoc* Document() const { return m_pDoc.get(); }
    CMainFrame* MainFrame() const { return m_pMainFrame.get(); }

    std::string m_strAppDir;

private:
    std::unique_ptr<CQuarnelDoc> m_pDoc;
    std::unique_ptr<CMainFrame> m_pMainFrame;
};
