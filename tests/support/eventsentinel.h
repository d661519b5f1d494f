#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QTest>

#include <memory>

// "Nothing happened" needs a moment after which it would have: a call queued to
// `context`'s thread now is delivered only after everything already posted there (queued
// signals and calls), so once it has run, whatever those would have done is done. True
// when it ran within the time. The context must outlive the call (an object that may
// delete itself meanwhile takes its pending calls with it): the application by default.
inline bool deliverPostedEvents(QObject *context = QCoreApplication::instance(), int timeoutMs = 10000)
{
    auto reached = std::make_shared<bool>(false);
    QMetaObject::invokeMethod(context, [reached] { *reached = true; }, Qt::QueuedConnection);
    return QTest::qWaitFor([reached] { return *reached; }, timeoutMs);
}
