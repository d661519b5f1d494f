#include "vpn/profilecheck.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include "vpn/ovpndaemonoptions.h"
#include "vpn/videruclient.h"

ProfileCheck::ProfileCheck(const QString &path)
{
    // A start reads the cloud's "client.ovpn"; a file checked by hand may be named
    // anything, so its own extension is the one the merge asks for.
    const ovpn::ProfileMerge merge = VidEruClient::mergeProfile(path, QFile::encodeName(QFileInfo(path).suffix()).toStdString());
    if (merge.status() != ovpn::ProfileMerge::MERGE_SUCCESS) {
        const bool fileItself = merge.status() == ovpn::ProfileMerge::MERGE_OVPN_FILE_FAIL
            || merge.status() == ovpn::ProfileMerge::MERGE_OVPN_EXT_FAIL;
        m_verdict = fileItself ? Unreadable : Refused;
        m_summary = QStringLiteral("profile cannot be read: ") + QString::fromStdString(merge.error());
        return;
    }

    ovpn::Config config = ovpn::applicationConfig();
    config.content = merge.profile_content();
    config.contentLines = merge.source_lines();
    const ovpn::DaemonProfile profile(config);
    m_notices = profile.notices();
    const ovpn::EvalConfig &eval = profile.eval();
    if (eval.error) {
        m_verdict = profile.isNoProfile() ? Unreadable : Refused;
        m_summary = QString::fromStdString(eval.message);
        return;
    }
    m_verdict = Accepted;
    m_summary = QStringLiteral("profile accepted");
    m_daemonConfig = ovpn::daemonConfigText(profile.text(), ovpn::configOptions(config));
}

ProfileCheck::Verdict ProfileCheck::verdict() const
{
    return m_verdict;
}

QString ProfileCheck::summary() const
{
    return m_summary;
}

QStringList ProfileCheck::notices() const
{
    QStringList lines;
    for (const ovpn::ProfileNotice &notice : m_notices)
        lines << QString::fromStdString(notice.describe());
    return lines;
}

std::string ProfileCheck::daemonConfig() const
{
    return m_daemonConfig;
}
