#pragma once

#include <QObject>
#include <QString>

// Test-only companion of the bridge, published beside it as "TestHook": lets a UI test
// have the application's own objects emit their signals, so the page meets them
// exactly as it meets them from the tunnel or the cloud.
class SignalHook : public QObject
{
    Q_OBJECT

public:
    explicit SignalHook(QObject *bridge, QObject *parent = nullptr);

public slots:
    // Emits `signal` (a signal without arguments, by name) of the bridge when
    // `property` is empty, otherwise of the object held in that bridge property.
    // False when there is no such object or signal.
    bool emitSignal(QString property, QString signal);
    // The same for a signal with one string argument.
    bool emitSignalWith(QString property, QString signal, QString argument);

private:
    bool emitOn(const QString &property, const QString &signature, QGenericArgument argument);

    QObject *m_bridge;
};
