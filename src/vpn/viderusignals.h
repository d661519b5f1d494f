#pragma once

#include <QObject>

// The relay that carries VPN events from the worker thread to the controller. The one
// instance is made before main runs, so it belongs to the GUI thread and every
// emission from the worker thread is queued to the controller. It is never deleted.
//
// Every event names its worker (VidEruClient::id()): the workers of one controller
// overlap while an old one winds down, and a process can hold more than one
// controller (a replaced window's bridge keeps its own). 0 names no worker.
class VidEruSignals : public QObject
{
    Q_OBJECT

public:
    explicit VidEruSignals(QObject *parent = nullptr);

    // The process-wide instance.
    static VidEruSignals *instance();

signals:
    void connecting(quint64 worker = 0);
    void connected(quint64 worker = 0);
    void disconnected(quint64 worker = 0);
    void operationNotPermitted(quint64 worker = 0);
    // The tunnel's DNS settings were applied to its link, or not (with the reason).
    void dnsReported(quint64 worker, bool applied, const QString &reason);
};
