#include "vpn/viderusignals.h"

namespace {

// Made during static initialisation, with no parent, for the whole process.
VidEruSignals *const g_relay = new VidEruSignals();

} // namespace

VidEruSignals::VidEruSignals(QObject *parent)
    : QObject(parent)
{
}

VidEruSignals *VidEruSignals::instance()
{
    return g_relay;
}
