#pragma once

#include <QThread>

#include "vpn/videruclient.h"

class VidEruTransportStats;

// The worker of one connection attempt: run() holds the client's blocking connect().
// Made by VidEru with no parent; once its thread has started it deletes itself when
// the thread finishes (VidEru connects finished() to deleteLater()).
class VidEruThread : public QThread
{
    Q_OBJECT

public:
    VidEruThread();
    ~VidEruThread() override;

    // Asks the connection to end; does not wait. Callable while run() blocks.
    bool stop();
    // Whether stop() was called, whatever it answered. GUI thread only.
    bool stopRequested() const;
    // A new snapshot of the counters, owned by the caller.
    VidEruTransportStats *getTransportStats();

    VidEruClient client;

protected:
    void run() override;

private:
    bool m_stopRequested = false;
};
