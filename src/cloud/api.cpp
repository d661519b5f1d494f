#include "cloud/api.h"

Api::Api(QObject *parent)
    : QObject(parent)
{
}
