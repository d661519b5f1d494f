#include "vpn/ovpnprofilemerge.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vpn/ovpnlexer.h"

namespace ovpn {

namespace {

// Directives whose first argument names a file that the daemon would read. A file named
// by auth-user-pass is not among them: the credentials come with the domain's
// configuration, and the filter drops the name.
const std::set<std::string> &fileDirectives()
{
    static const std::set<std::string> names = {
        "ca", "cert", "key", "extra-certs", "pkcs12", "dh", "crl-verify",
        "tls-auth", "tls-crypt", "tls-crypt-v2", "secret",
    };
    return names;
}

// A descriptor closed when it goes out of scope.
class Descriptor
{
public:
    explicit Descriptor(int fd)
        : m_fd(fd)
    {
    }
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

std::string systemError(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

// The directory itself, not a link to one: the names below are looked up in it.
int openDirectory(const std::string &path)
{
    return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// A name that stays in its directory: no separator, no "." or "..", no NUL that
// would cut the name short on its way to the system.
bool isPlainName(const std::string &name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos
        && name.find('\0') == std::string::npos;
}

// Reads the regular file `name` of the directory; messages call it `shownAs`. Links
// are not followed, and no FIFO or device is opened: either could hand root something
// else or block for ever.
bool readRegularFile(int directory, const std::string &name, const std::string &shownAs, std::size_t maxSize,
                     std::string *content, std::string *error)
{
    struct stat info = {};
    if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        *error = systemError("cannot read " + shownAs);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = shownAs + " is not a regular file";
        return false;
    }
    const Descriptor file(::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    // Looked at again through the descriptor: the name may have changed in between.
    if (file.get() < 0 || ::fstat(file.get(), &info) != 0) {
        *error = systemError("cannot read " + shownAs);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = shownAs + " is not a regular file";
        return false;
    }
    const std::string tooLarge = "file " + shownAs + " exceeds " + std::to_string(maxSize) + " bytes";
    if (std::size_t(info.st_size) > maxSize) {
        *error = tooLarge;
        return false;
    }

    std::string data(maxSize + 1, '\0');
    std::size_t total = 0;
    while (total < data.size()) {
        const ssize_t n = ::read(file.get(), &data[total], data.size() - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = systemError("cannot read " + shownAs);
            return false;
        }
        if (n == 0)
            break;
        total += std::size_t(n);
    }
    if (total > maxSize) {
        *error = tooLarge;
        return false;
    }
    data.resize(total);
    *content = std::move(data);
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

const std::vector<int> &ProfileMerge::source_lines() const
{
    return m_sourceLines;
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

    const std::string profileDirPath = QFile::encodeName(info.absolutePath()).toStdString();
    const Descriptor profileDir(openDirectory(profileDirPath));
    if (profileDir.get() < 0) {
        fail(MERGE_OVPN_FILE_FAIL, systemError("cannot open the directory " + profileDirPath));
        return;
    }
    std::string original;
    std::string error;
    if (!readRegularFile(profileDir.get(), QFile::encodeName(info.fileName()).toStdString(), profilePath, m_maxSize,
                         &original, &error)) {
        fail(MERGE_OVPN_FILE_FAIL, error);
        return;
    }

    const Descriptor overrideDir(profileDirOverride.empty() ? -1 : openDirectory(profileDirOverride));
    if (!profileDirOverride.empty() && overrideDir.get() < 0) {
        fail(MERGE_OVPN_FILE_FAIL, systemError("cannot open the directory " + profileDirOverride));
        return;
    }
    const int baseDir = profileDirOverride.empty() ? profileDir.get() : overrideDir.get();

    std::set<std::string> referenced;
    std::string merged;
    std::string openTag;
    std::vector<int> sourceLines;
    int lineNumber = 0;
    // Every line the previous profile line turned into comes from that line.
    const auto countLines = [&merged, &sourceLines, &lineNumber] {
        const std::size_t total = std::size_t(std::count(merged.begin(), merged.end(), '\n'));
        sourceLines.resize(total, lineNumber);
    };
    for (const std::string &line : lines(original)) {
        countLines();
        ++lineNumber;
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
            && words[1] != "[inline]" && !(words[0] == "dh" && words[1] == "none");
        const bool isProxyReference = words.size() >= 4 && words[0] == "http-proxy"
            && words[3] != "auto" && words[3] != "auto-nct" && words[3] != "none" && words[3] != "[inline]";
        if (!isReference && !isProxyReference) {
            merged += line + '\n';
            continue;
        }

        const std::string &fileName = isProxyReference ? words[3] : words[1];
        if (follow == FOLLOW_NONE) {
            fail(MERGE_REF_FAIL, words[0] + " names the file " + fileName + ", and files are not followed");
            return;
        }
        // A directory of CRLs cannot be inlined, and the daemon must not look there.
        if (words[0] == "crl-verify" && words.size() >= 3 && words[2] == "dir") {
            fail(MERGE_REF_FAIL, "crl-verify names the directory " + fileName);
            return;
        }
        if (!isPlainName(fileName)) {
            fail(MERGE_REF_FAIL, words[0] + " names " + fileName
                                     + ", which is not a plain file name in the profile's directory");
            return;
        }
        const std::string blockTag = isProxyReference ? "http-proxy-user-pass" : words[0];
        if (!referenced.insert(blockTag).second) {
            fail(MERGE_MULTIPLE_REF_FAIL, "more than one reference for " + blockTag);
            return;
        }
        std::string content;
        if (!readRegularFile(baseDir, fileName, fileName, m_maxSize, &content, &error)) {
            fail(MERGE_REF_FAIL, words[0] + ": " + error);
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
    }

    countLines();
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
    m_sourceLines = std::move(sourceLines);
    m_status = MERGE_SUCCESS;
}

} // namespace ovpn
