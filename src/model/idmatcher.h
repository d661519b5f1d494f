#pragma once

#include <QHash>
#include <QList>

// Pairs the records a merge holds with fresh records of the same id, in one pass over
// each list: the cloud's lists run to thousands of records, and a search of the fresh
// list for every held record would grow with the square of their length. Held records
// ask in their own order and each gets the first fresh record of its id that no earlier
// one took, so a list with an id twice pairs its duplicates in order.
class IdMatcher
{
public:
    explicit IdMatcher(const QList<int> &freshIds);

    // Position in the fresh list of the first record with `id` not taken yet, now taken;
    // -1 when there is none.
    qsizetype take(int id);
    bool isTaken(qsizetype position) const;

private:
    // First position not taken per id; the later positions of an id follow m_next.
    QHash<int, qsizetype> m_first;
    QList<qsizetype> m_next;
    QList<bool> m_taken;
};
