#pragma once

#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

// The table of real-world profile lines in profiles/lines.tsv: each line, what the
// daemon gets of it (empty when dropped) and a part of the notice (empty when it is
// kept as written).
struct ProfileLine
{
    QByteArray line;
    QString written;
    QString reason;
};

inline QList<ProfileLine> readProfileLines(const QString &path)
{
    QList<ProfileLine> table;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return table;
    const QList<QByteArray> rows = file.readAll().split('\n');
    for (const QByteArray &row : rows) {
        if (row.isEmpty() || row.startsWith('#'))
            continue;
        const QList<QByteArray> columns = row.split('\t');
        if (columns.size() != 3)
            return {};  // a broken table fails the tests that read it
        table.append({columns[0], QString::fromUtf8(columns[1]), QString::fromUtf8(columns[2])});
    }
    return table;
}
