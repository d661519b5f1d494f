#pragma once

#include <QStringList>

// Collects what the logging facility writes, from every thread, while it exists, with
// the facility opened to every category at the given verbosity.
class LogCapture
{
public:
    explicit LogCapture(int verbosity = 4);
    ~LogCapture();

    QStringList lines() const;
    bool contains(const QString &text) const;
    void clear();
};
