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
    return emitOn(property, signal + QStringLiteral("()"), QGenericArgument());
}

bool SignalHook::emitSignalWith(QString property, QString signal, QString argument)
{
    return emitOn(property, signal + QStringLiteral("(QString)"), Q_ARG(QString, argument));
}

bool SignalHook::emitOn(const QString &property, const QString &signature, QGenericArgument argument)
{
    QObject *target = m_bridge;
    if (!property.isEmpty())
        target = m_bridge->property(property.toUtf8().constData()).value<QObject *>();
    if (target == nullptr)
        return false;
    const QMetaObject *meta = target->metaObject();
    const int index = meta->indexOfSignal(QMetaObject::normalizedSignature(signature.toUtf8().constData()));
    if (index < 0)
        return false;
    // Invoking a signal's meta-method emits it, to every receiver the page connected.
    return meta->method(index).invoke(target, Qt::DirectConnection, argument);
}
