#pragma once

#include <QObject>

class QSocketNotifier;

// Delivers the requests to end the process (Ctrl-C, SIGTERM, the end of the terminal
// session) as a Qt signal on the GUI thread, so that they end the application the way
// closing its window does: tunnel stopped, virtual serial ports removed, geometry kept.
// A second request while the first is handled ends the process at once.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

signals:
    void requested();

private:
    void readPending();

    QSocketNotifier *m_notifier = nullptr;
};
