#include "vpn/viderutransportstats.h"

VidEruTransportStats::VidEruTransportStats(QObject *parent)
    : QObject(parent)
{
}
