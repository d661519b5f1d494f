#include "base/terminationsignals.h"

// Windows ends a GUI application through its window; nothing to catch here.
TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
}

TerminationSignals::~TerminationSignals() = default;

void TerminationSignals::readPending()
{
}
