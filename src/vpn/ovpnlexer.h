#pragma once

#include <string>
#include <vector>

// The word splitting of openvpn's configuration files, shared by the profile merger
// and the preparation of the daemon's profile.
namespace ovpn {

// Splits one configuration line into its words the way the daemon does: blanks
// separate, double quotes group with backslash escapes, single quotes group
// literally, and '#' or ';' at the start of a word begins a comment. A leading "--"
// on the first word is dropped, as the daemon accepts it there too.
std::vector<std::string> splitLine(const std::string &line);

// A word written so that splitLine reads it back unchanged.
std::string quoteWord(const std::string &word);

// Words joined into one line that splitLine reads back as the same words.
std::string joinLine(const std::vector<std::string> &words);

// The tag of an inline block opened ("<ca>") or closed ("</ca>") by the line, or ""
// when the line is neither; closing is true for the latter.
std::string inlineTag(const std::string &line, bool *closing);

} // namespace ovpn
