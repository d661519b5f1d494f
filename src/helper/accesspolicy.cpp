#include "accesspolicy.h"

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <vector>

namespace {

// The reentrant look-ups need a buffer whose size the system only suggests; grow it
// while they say it is too small, up to a limit no sane entry reaches.
constexpr std::size_t MaxLookupBuffer = 1 << 20;

// Runs a reentrant look-up (getpwuid_r, getgrnam_r) with a buffer grown while it is
// too small, and hands the entry to use() while the buffer its strings point into
// still exists; false when there is no entry.
template<typename Entry, typename Call, typename Use>
bool lookUp(Call call, Use use)
{
    std::vector<char> buffer(4096);
    while (true) {
        Entry entry;
        Entry *result = nullptr;
        const int status = call(&entry, buffer.data(), buffer.size(), &result);
        if (status == ERANGE && buffer.size() < MaxLookupBuffer) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status != 0 || !result)
            return false;
        use(entry);
        return true;
    }
}

bool lookupUser(uid_t uid, std::string *name, gid_t *primaryGroup)
{
    return lookUp<passwd>(
        [uid](passwd *entry, char *buffer, std::size_t size, passwd **result) {
            return ::getpwuid_r(uid, entry, buffer, size, result);
        },
        [name, primaryGroup](const passwd &entry) {
            *name = entry.pw_name;
            *primaryGroup = entry.pw_gid;
        });
}

bool lookupGroup(const QByteArray &name, gid_t *gid)
{
    return lookUp<group>(
        [&name](group *entry, char *buffer, std::size_t size, group **result) {
            return ::getgrnam_r(name.constData(), entry, buffer, size, result);
        },
        [gid](const group &entry) { *gid = entry.gr_gid; });
}

bool isMember(const std::string &user, gid_t primaryGroup, gid_t group)
{
    int count = 64;
    std::vector<gid_t> groups(std::size_t(count), 0);
    while (::getgrouplist(user.c_str(), primaryGroup, groups.data(), &count) < 0) {
        // count now holds the number needed.
        if (count <= int(groups.size()) || count > 65536)
            return false;
        groups.resize(std::size_t(count));
    }
    for (int i = 0; i < count; ++i) {
        if (groups[std::size_t(i)] == group)
            return true;
    }
    return false;
}

} // namespace

AccessPolicy::AccessPolicy(const QString &group)
    : m_group(group)
{
}

QString AccessPolicy::group() const
{
    return m_group;
}

QString AccessPolicy::refusal(uid_t uid) const
{
    if (uid == 0)
        return QString();
    std::string user;
    gid_t primaryGroup = 0;
    if (!lookupUser(uid, &user, &primaryGroup)) {
        return QStringLiteral("uid %1 has no entry in the user database; only root and members of the group %2 "
                              "may start a VPN connection")
            .arg(QString::number(uid), m_group);
    }
    const QString name = QString::fromStdString(user);
    gid_t gid = 0;
    if (!lookupGroup(m_group.toUtf8(), &gid)) {
        return QStringLiteral("the group %1 does not exist; ask an administrator to create it and add you: "
                              "sudo groupadd --system %1 && sudo usermod -aG %1 %2")
            .arg(m_group, name);
    }
    if (isMember(user, primaryGroup, gid))
        return QString();
    return QStringLiteral("user %1 (uid %2) is not in the group %3; ask an administrator to add you: "
                          "sudo usermod -aG %3 %1")
        .arg(name, QString::number(uid), m_group);
}

QString AccessPolicy::userName(uid_t uid)
{
    std::string user;
    gid_t primaryGroup = 0;
    return lookupUser(uid, &user, &primaryGroup) ? QString::fromStdString(user) : QString();
}
