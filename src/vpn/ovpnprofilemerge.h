#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Turns a profile file into one self-contained profile text: every file the profile
// references (certificates, keys, credentials files) is read and written into the
// text as an inline block, so that the daemon never needs the profile's directory.
// The profile comes from the cloud and the reader may be root: a reference is only
// ever a plain name of a regular file in the profile's own directory, and anything
// else fails the merge rather than reaching the daemon.
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
        FOLLOW_NONE,  // a profile that references a file fails
        FOLLOW_FULL,  // every reference is inlined (plain names in the directory only)
    };

    // Merges at once. profileExt is the required extension without the dot;
    // profileDirOverride, when not empty, replaces the profile's directory as the
    // directory of the referenced files. maxLineLength and maxSize bound every line,
    // every file read and the merged text.
    ProfileMerge(const std::string &profilePath, const std::string &profileExt,
                 const std::string &profileDirOverride, Follow follow,
                 std::size_t maxLineLength, std::size_t maxSize);

    Status status() const;
    const std::string &error() const;
    const std::string &profile_content() const;
    // For each line of profile_content(), the line of the profile file it comes from
    // (an inlined file's lines come from the line that named the file), from 1.
    const std::vector<int> &source_lines() const;
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
    std::vector<int> m_sourceLines;
};

} // namespace ovpn
