#include "cloud/auth.h"

Auth::Auth(QObject *parent)
    : QObject(parent)
{
}
