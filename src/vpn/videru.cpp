#include "vpn/videru.h"

VidEru::VidEru(QObject *parent)
    : QObject(parent)
{
}
