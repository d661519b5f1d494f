#pragma once

#include <QString>

#include <sys/types.h>

// Who may use the helper: root, and the users the group database lists as members of
// one group (as primary or supplementary group). The database decides, not the groups
// the connecting process happens to hold: a user added to the group may use the helper
// without logging in again, one removed from it is refused at the next request, and a
// process cannot gain access by a group it kept from elsewhere.
class AccessPolicy
{
public:
    explicit AccessPolicy(const QString &group);

    QString group() const;
    // Why the user may not use the helper; empty when it may.
    QString refusal(uid_t uid) const;

    // The user's login name; empty when the uid has none.
    static QString userName(uid_t uid);

private:
    QString m_group;
};
