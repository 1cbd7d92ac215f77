#pragma once
// The wait box shown while the main window closes and update workers are still ending:
// no caption, no buttons, one line "正在关闭连接,请稍后" that gains a dot every second.
// Each tick asks `isIdle`; when it answers true (or Finish() is called) the box closes itself.

#include <QDialog>

#include <functional>

class QLabel;
class QTimer;

class CCloseDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kTimerPeriodMs = 1000;
    static constexpr int kMaxDots = 5;

    // `isIdle` answers whether nothing runs and nothing waits any more.
    explicit CCloseDlg(std::function<bool()> isIdle = {}, QWidget* parent = nullptr);

    // The text the line shows now.
    QString Text() const;

    // The animated text lives for the whole run, so a second box goes on where the first
    // stopped; tests put it back to its start with this.
    static void ResetAnimation();

public slots:
    // Timer tick: close when idle, else advance the dots.
    void OnTimer();
    // Closes the box now, whatever the engine says.
    void Finish();

    // Esc must not end the wait; only the engine (or the caller) does.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    std::function<bool()> m_isIdle;
    QLabel* m_pText;
    QTimer* m_pTimer;
    bool m_bFinishing = false;
};
