#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The reading of openvpn's configuration files, shared by the profile merger and the
// filter that prepares the daemon's profile. It follows the daemon's own reader
// (openvpn 2.6, options.c: parse_line, read_config_file, read_inline_file) step by
// step, because a filter that splits a line differently from the daemon lets through
// what the daemon then runs.
namespace ovpn {

// The daemon reads a configuration in pieces of 255 bytes (fgets into 256); a longer
// line would be cut into several, so a profile line may hold at most this many bytes
// besides its line feed.
constexpr std::size_t MaxProfileLineLength = 254;
// The daemon keeps at most 15 words of a line and drops the rest silently.
constexpr std::size_t MaxDirectiveWords = 15;

// Splits one line into its words as the daemon does: blanks separate; a double-quoted
// word ends at its closing quote and takes backslash escapes of '\\', '"' and blanks;
// a single-quoted word ends at its closing quote and is literal; a quote inside an
// unquoted word is an ordinary character; '#' or ';' where a word could begin starts
// a comment; a backslash before anything but '\\', '"' or a blank is an error, as are
// an unclosed quote and a word of more than 255 bytes. A leading "--" on a first word
// of three or more bytes is dropped. On an error the result is empty and *error (when
// given) says why.
std::vector<std::string> splitLine(const std::string &line, std::string *error = nullptr);

// A word written so that splitLine reads it back unchanged.
std::string quoteWord(const std::string &word);

// Words joined into one line that splitLine reads back as the same words.
std::string joinLine(const std::vector<std::string> &words);

// The tag of an inline block opened ("<ca>") or closed ("</ca>") by the line, or ""
// when the line is neither; closing is true for the latter.
std::string inlineTag(const std::string &line, bool *closing);

// The text's lines without their line feeds; a last line without one counts too.
std::vector<std::string> physicalLines(const std::string &text);

// One directive of a profile as the daemon sees it. An inline block ("<ca>" ...
// "</ca>") is the directive named by its tag with the block's text as its one
// argument.
struct Directive
{
    std::vector<std::string> words;  // the name first
    bool isInline = false;
    int line = 0;                    // the line it starts on, from 1
};

// Reads a whole profile into its directives, or fails with a reason a person can read
// (naming the line). Beyond the daemon's own rules it refuses what would make the
// daemon read the text differently from a line-by-line reading: NUL bytes, lines longer
// than MaxProfileLineLength and lines of more than MaxDirectiveWords words. An inline
// block ends at the first line that begins, after blanks, with its closing tag, as in
// the daemon; whatever follows the tag on that line is ignored there too.
bool readDirectives(const std::string &text, std::vector<Directive> *directives, std::string *error);

} // namespace ovpn
