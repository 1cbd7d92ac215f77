#pragma once
// The modeless progress window of a search ("正在搜索..."): a bar of the sites begun so far
// and a stop button. The search runs in the window thread and lets events through, so the
// bar moves on a 100 ms timer and the stop button is handled while the walk goes on.

#include <QDialog>

#include <cstdint>

class QProgressBar;
class QPushButton;
class QTimer;

class CSearchDialog : public QDialog {
    Q_OBJECT
public:
    enum ControlId : int { IDC_PROGRESS = 1006, IDC_STOP = 2 };
    static constexpr int kTimerPeriodMs = 100;

    // `total` is the number of sites the search will walk (m_nTotal).
    explicit CSearchDialog(int32_t total, QWidget* parent = nullptr);
    ~CSearchDialog() override;

    int32_t m_nTotal = 0;
    int32_t m_nDone = 0; // sites begun so far; raised by the search, shown on the next tick

    void SetDone(int32_t done) { m_nDone = done; }

    // Places the window with its centre on `window`'s centre (size unchanged) and shows it.
    void ShowCentredOver(QWidget* window);

    // The bar's position as last shown (for tests and the window's own tick).
    int ShownPosition() const;

public slots:
    // Timer tick: the bar shows m_nDone.
    void OnTimer();

signals:
    // The user pressed "停止", Esc or the close box. The window has hidden itself; its owner
    // stops the search at its next check and then destroys the window.
    void StopRequested();

public:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QProgressBar* m_pProgress;
    QPushButton* m_pStopButton;
    QTimer* m_pTimer;
    bool m_bStopSent = false;
};
