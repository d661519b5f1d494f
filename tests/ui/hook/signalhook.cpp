#include "signalhook.h"

#include <QMetaMethod>
#include <QMetaObject>
#include <QVariant>

SignalHook::SignalHook(QObject *bridge, QObject *parent)
    : QObject(parent)
    , m_bridge(bridge)
{
}

bool SignalHook::emitSignal(QString property, QString signal)
{
    QObject *target = m_bridge;
    if (!property.isEmpty())
        target = m_bridge->property(property.toUtf8().constData()).value<QObject *>();
    if (target == nullptr)
        return false;
    const QMetaObject *meta = target->metaObject();
    const int index = meta->indexOfSignal(QMetaObject::normalizedSignature((signal + QStringLiteral("()")).toUtf8().constData()));
    if (index < 0)
        return false;
    // Invoking a signal's meta-method emits it, to every receiver the page connected.
    return meta->method(index).invoke(target, Qt::DirectConnection);
}
