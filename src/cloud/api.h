#pragma once

#include <QObject>

// The cloud API client: one call per endpoint, answers by signal pairs.
class Api : public QObject
{
    Q_OBJECT

public:
    explicit Api(QObject *parent = nullptr);
};
