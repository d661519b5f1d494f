#pragma once

#include <QObject>

// The relay that carries VPN events from the worker thread to the controller. The one
// instance is made before main runs, so it belongs to the GUI thread and every
// emission from the worker thread is queued to the controller. It is never deleted.
class VidEruSignals : public QObject
{
    Q_OBJECT

public:
    explicit VidEruSignals(QObject *parent = nullptr);

    // The process-wide instance.
    static VidEruSignals *instance();

signals:
    void connecting();
    void connected();
    void disconnected();
    void operationNotPermitted();
};
