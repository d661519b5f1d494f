#pragma once

#include <QThread>

// Ends the simulator when its standard input reaches its end, so a test that dies
// without cleaning up (its end of the pipe closes) does not leave a server behind.
class StdinWatcher : public QThread
{
    Q_OBJECT

public:
    using QThread::QThread;

signals:
    void endOfInput();

protected:
    void run() override;
};
