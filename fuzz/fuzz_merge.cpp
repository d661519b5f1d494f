// The profile merger reads the profile file from the cloud and every file it names.
// The input is written to profile.ovpn in a private directory made once per run, so
// that the profile's own name and directory are there to be referenced. Besides the
// sanitizers' findings, the bounds it promises abort when broken: a merged profile
// within the size and line limits, a failure with a message and no text.

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzzsupport.h"
#include "vpn/ovpnprofilemerge.h"

namespace {

constexpr std::size_t MaxLineLength = 512;
constexpr std::size_t MaxSize = 262144;

// Made on the first input and removed with its contents when the run ends.
const QString &profilePath()
{
    static QTemporaryDir directory;
    static const QString path = directory.filePath(QStringLiteral("profile.ovpn"));
    FuzzSupport::require(directory.isValid(), "a private directory for the profile");
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString &path = profilePath();
    {
        QFile file(path);
        FuzzSupport::require(file.open(QIODevice::WriteOnly | QIODevice::Truncate), "the profile file is written");
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }

    const ovpn::ProfileMerge merge(path.toStdString(), "ovpn", std::string(), ovpn::ProfileMerge::FOLLOW_FULL,
                                   MaxLineLength, MaxSize);
    if (merge.status() != ovpn::ProfileMerge::MERGE_SUCCESS) {
        FuzzSupport::require(merge.profile_content().empty(), "a failed merge has no text", merge.status_string());
        FuzzSupport::require(!merge.error().empty(), "a failed merge says why", merge.status_string());
        return 0;
    }
    const std::string &merged = merge.profile_content();
    FuzzSupport::require(merged.size() <= MaxSize, "the merged profile stays within its size");
    std::size_t start = 0;
    while (start < merged.size()) {
        std::size_t end = merged.find('\n', start);
        if (end == std::string::npos)
            end = merged.size();
        FuzzSupport::require(end - start <= MaxLineLength, "every merged line stays within the line limit",
                             merged.substr(start, 80));
        start = end + 1;
    }
    return 0;
}
