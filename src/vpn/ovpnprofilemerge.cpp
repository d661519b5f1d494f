#include "vpn/ovpnprofilemerge.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <set>
#include <sstream>
#include <vector>

#include "vpn/ovpnlexer.h"

namespace ovpn {

namespace {

// Directives whose first argument names a file that the daemon would read.
const std::set<std::string> &fileDirectives()
{
    static const std::set<std::string> names = {
        "ca", "cert", "key", "extra-certs", "pkcs12", "dh", "crl-verify",
        "tls-auth", "tls-crypt", "tls-crypt-v2", "secret", "auth-user-pass",
    };
    return names;
}

bool readFile(const QString &path, std::size_t maxSize, std::string *content, std::string *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = "cannot read " + path.toStdString() + ": " + file.errorString().toStdString();
        return false;
    }
    const QByteArray data = file.read(qint64(maxSize) + 1);
    if (std::size_t(data.size()) > maxSize) {
        *error = "file " + path.toStdString() + " exceeds " + std::to_string(maxSize) + " bytes";
        return false;
    }
    content->assign(data.constData(), std::size_t(data.size()));
    return true;
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> result;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        result.push_back(line);
    }
    return result;
}

} // namespace

ProfileMerge::ProfileMerge(const std::string &profilePath, const std::string &profileExt,
                           const std::string &profileDirOverride, Follow follow,
                           std::size_t maxLineLength, std::size_t maxSize)
    : m_maxLineLength(maxLineLength)
    , m_maxSize(maxSize)
{
    merge(profilePath, profileExt, profileDirOverride, follow);
}

ProfileMerge::Status ProfileMerge::status() const
{
    return m_status;
}

const std::string &ProfileMerge::error() const
{
    return m_error;
}

const std::string &ProfileMerge::profile_content() const
{
    return m_content;
}

std::string ProfileMerge::status_string() const
{
    return status_string(m_status);
}

const char *ProfileMerge::status_string(Status status)
{
    switch (status) {
    case MERGE_UNDEFINED:
        return "MERGE_UNDEFINED";
    case MERGE_SUCCESS:
        return "MERGE_SUCCESS";
    case MERGE_EXCEPTION:
        return "MERGE_EXCEPTION";
    case MERGE_OVPN_EXT_FAIL:
        return "MERGE_OVPN_EXT_FAIL";
    case MERGE_OVPN_FILE_FAIL:
        return "MERGE_OVPN_FILE_FAIL";
    case MERGE_REF_FAIL:
        return "MERGE_REF_FAIL";
    case MERGE_MULTIPLE_REF_FAIL:
        return "MERGE_MULTIPLE_REF_FAIL";
    }
    return "MERGE_UNDEFINED";
}

void ProfileMerge::fail(Status status, const std::string &error)
{
    m_status = status;
    m_error = error;
    m_content.clear();
}

void ProfileMerge::merge(const std::string &profilePath, const std::string &profileExt,
                         const std::string &profileDirOverride, Follow follow)
{
    const QString path = QString::fromStdString(profilePath);
    const QFileInfo info(path);
    if (info.suffix() != QString::fromStdString(profileExt)) {
        fail(MERGE_OVPN_EXT_FAIL, "profile " + profilePath + " does not have the extension ." + profileExt);
        return;
    }

    std::string original;
    std::string error;
    if (!readFile(path, m_maxSize, &original, &error)) {
        fail(MERGE_OVPN_FILE_FAIL, error);
        return;
    }

    const QDir baseDir(profileDirOverride.empty() ? info.absolutePath()
                                                  : QString::fromStdString(profileDirOverride));
    std::set<std::string> referenced;
    std::string merged;
    std::string openTag;
    for (const std::string &line : lines(original)) {
        if (line.size() > m_maxLineLength) {
            fail(MERGE_EXCEPTION, "line longer than " + std::to_string(m_maxLineLength) + " characters");
            return;
        }

        bool closing = false;
        const std::string tag = inlineTag(line, &closing);
        if (!openTag.empty()) {
            if (closing && tag == openTag)
                openTag.clear();
            merged += line + '\n';
            continue;
        }
        if (!tag.empty() && !closing && tag != "connection") {
            openTag = tag;
            merged += line + '\n';
            continue;
        }

        std::vector<std::string> words = splitLine(line);
        const bool isReference = words.size() >= 2 && fileDirectives().count(words[0]) != 0
            && words[1] != "[inline]" && !(words[0] == "dh" && words[1] == "none")
            && !(words[0] == "crl-verify" && words.size() >= 3 && words[2] == "dir");
        const bool isProxyReference = words.size() >= 4 && words[0] == "http-proxy"
            && words[3] != "auto" && words[3] != "auto-nct" && words[3] != "none" && words[3] != "[inline]";
        if ((!isReference && !isProxyReference) || follow == FOLLOW_NONE) {
            merged += line + '\n';
            continue;
        }

        const std::string &fileName = isProxyReference ? words[3] : words[1];
        const QString filePath = QDir::cleanPath(baseDir.absoluteFilePath(QString::fromStdString(fileName)));
        if (follow == FOLLOW_PARTIAL && QFileInfo(QString::fromStdString(fileName)).fileName().toStdString() != fileName) {
            merged += line + '\n';
            continue;
        }
        const std::string blockTag = isProxyReference ? "http-proxy-user-pass" : words[0];
        if (!referenced.insert(blockTag).second) {
            fail(MERGE_MULTIPLE_REF_FAIL, "more than one reference for " + blockTag);
            return;
        }
        std::string content;
        if (!readFile(filePath, m_maxSize, &content, &error)) {
            fail(MERGE_REF_FAIL, error);
            return;
        }
        if (!content.empty() && content.back() != '\n')
            content += '\n';

        if (isProxyReference) {
            // The daemon takes inline proxy credentials when the method word is "auto".
            words[3] = "auto";
            merged += joinLine(words) + '\n';
        } else if ((words[0] == "tls-auth" || words[0] == "secret") && words.size() >= 3) {
            // An inline key carries no direction argument of its own.
            merged += "key-direction " + words[2] + '\n';
        }
        merged += '<' + blockTag + ">\n" + content + "</" + blockTag + ">\n";
        if (words[0] == "auth-user-pass")
            merged += "auth-user-pass\n";
    }

    for (const std::string &line : lines(merged)) {
        if (line.size() > m_maxLineLength) {
            fail(MERGE_EXCEPTION, "line longer than " + std::to_string(m_maxLineLength) + " characters");
            return;
        }
    }
    if (merged.size() > m_maxSize) {
        fail(MERGE_EXCEPTION, "merged profile exceeds " + std::to_string(m_maxSize) + " bytes");
        return;
    }
    m_content = merged;
    m_status = MERGE_SUCCESS;
}

} // namespace ovpn
