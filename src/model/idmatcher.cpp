#include "model/idmatcher.h"

IdMatcher::IdMatcher(const QList<int> &freshIds)
    : m_next(freshIds.size(), -1)
    , m_taken(freshIds.size(), false)
{
    m_first.reserve(freshIds.size());
    // Backwards, so that each id ends up pointing at its first position.
    for (qsizetype position = freshIds.size() - 1; position >= 0; --position) {
        const auto found = m_first.find(freshIds.at(position));
        if (found == m_first.end()) {
            m_first.insert(freshIds.at(position), position);
        } else {
            m_next[position] = *found;
            *found = position;
        }
    }
}

qsizetype IdMatcher::take(int id)
{
    const auto found = m_first.find(id);
    if (found == m_first.end())
        return -1;
    const qsizetype position = *found;
    if (m_next.at(position) < 0)
        m_first.erase(found);
    else
        *found = m_next.at(position);
    m_taken[position] = true;
    return position;
}

bool IdMatcher::isTaken(qsizetype position) const
{
    return m_taken.at(position);
}
