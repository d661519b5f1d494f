#pragma once

#include <cstddef>
#include <string>

// Turns a profile file into one self-contained profile text: every file the profile
// references (certificates, keys, credentials files) is read and written into the
// text as an inline block, so that the daemon never needs the profile's directory.
namespace ovpn {

class ProfileMerge
{
public:
    enum Status {
        MERGE_UNDEFINED,
        MERGE_SUCCESS,
        MERGE_EXCEPTION,
        MERGE_OVPN_EXT_FAIL,
        MERGE_OVPN_FILE_FAIL,
        MERGE_REF_FAIL,
        MERGE_MULTIPLE_REF_FAIL,
    };

    enum Follow {
        FOLLOW_NONE,     // references stay as they are
        FOLLOW_PARTIAL,  // only plain file names in the profile's directory are inlined
        FOLLOW_FULL,     // every reference is inlined, wherever it points
    };

    // Merges at once. profileExt is the required extension without the dot;
    // profileDirOverride, when not empty, replaces the profile's directory as the
    // base of relative references. maxLineLength and maxSize bound every line and
    // the merged text.
    ProfileMerge(const std::string &profilePath, const std::string &profileExt,
                 const std::string &profileDirOverride, Follow follow,
                 std::size_t maxLineLength, std::size_t maxSize);

    Status status() const;
    const std::string &error() const;
    const std::string &profile_content() const;
    std::string status_string() const;
    static const char *status_string(Status status);

private:
    void merge(const std::string &profilePath, const std::string &profileExt,
               const std::string &profileDirOverride, Follow follow);
    void fail(Status status, const std::string &error);

    std::size_t m_maxLineLength;
    std::size_t m_maxSize;
    Status m_status = MERGE_UNDEFINED;
    std::string m_error;
    std::string m_content;
};

} // namespace ovpn
