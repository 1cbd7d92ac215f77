#pragma once
// SIGTERM, SIGHUP and SIGINT (a logout, `kill`, Ctrl-C in the terminal that started the window)
// turned into a Qt signal in the window thread, so that the program ends the way closing the
// window ends it, read marks saved. The handler only writes the signal's number to a pipe.

#include <QObject>

class QSocketNotifier;

class CQuitSignals : public QObject {
    Q_OBJECT
public:
    explicit CQuitSignals(QObject* parent = nullptr);
    // Puts the default handlers back.
    ~CQuitSignals() override;
    // False when the pipe could not be made: the signals then end the program as before.
    bool IsInstalled() const { return m_pNotifier != nullptr; }

signals:
    void Received(int signalNumber);

private:
    void OnReadable();
    QSocketNotifier* m_pNotifier = nullptr;
};
