#include "vpn/ovpnlexer.h"

namespace ovpn {

namespace {

// The daemon's parameter buffer holds 256 bytes and refuses to fill it.
constexpr std::size_t MaxWordLength = 255;

// isspace() in the C locale, which the daemon uses; the end of the text counts too.
bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string trimmed(const std::string &text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

bool failWith(std::string *error, const std::string &message)
{
    if (error)
        *error = message;
    return false;
}

enum class LexState {
    Initial,
    Unquoted,
    DoubleQuoted,
    SingleQuoted,
};

bool lexLine(const std::string &line, std::vector<std::string> *words, std::string *error)
{
    LexState state = LexState::Initial;
    bool backslash = false;
    std::string word;
    bool comment = false;
    // The daemon walks the line up to and including its terminating NUL, which
    // counts as a blank and so ends an unquoted last word.
    for (std::size_t i = 0; i <= line.size() && !comment; ++i) {
        const char in = i < line.size() ? line[i] : '\0';
        const bool blank = in == '\0' || isBlank(in);
        if (in == '\0' && i < line.size())
            return failWith(error, "a NUL byte");
        if (!backslash && in == '\\' && state != LexState::SingleQuoted) {
            backslash = true;
            continue;
        }
        bool emit = false;
        bool done = false;
        switch (state) {
        case LexState::Initial:
            if (!blank) {
                if (in == ';' || in == '#') {
                    comment = true;
                    continue;
                }
                if (!backslash && in == '"') {
                    state = LexState::DoubleQuoted;
                } else if (!backslash && in == '\'') {
                    state = LexState::SingleQuoted;
                } else {
                    emit = true;
                    state = LexState::Unquoted;
                }
            }
            break;
        case LexState::Unquoted:
            if (!backslash && blank)
                done = true;
            else
                emit = true;
            break;
        case LexState::DoubleQuoted:
            if (!backslash && in == '"')
                done = true;
            else
                emit = true;
            break;
        case LexState::SingleQuoted:
            if (in == '\'')
                done = true;
            else
                emit = true;
            break;
        }
        // The end of the text inside quotes is no character of the word.
        if (in == '\0')
            emit = false;
        if (done) {
            words->push_back(word);
            word.clear();
            state = LexState::Initial;
        }
        if (backslash && emit && !(in == '\\' || in == '"' || blank))
            return failWith(error, "a backslash before a character other than \\, \" or a blank");
        backslash = false;
        if (emit) {
            if (word.size() >= MaxWordLength)
                return failWith(error, "a word longer than " + std::to_string(MaxWordLength) + " bytes");
            word += in;
        }
        if (words->size() > MaxDirectiveWords)
            return failWith(error, "more than " + std::to_string(MaxDirectiveWords) + " words");
    }
    if (state == LexState::DoubleQuoted)
        return failWith(error, "no closing quotation (\")");
    if (state == LexState::SingleQuoted)
        return failWith(error, "no closing single quotation (')");
    if (state != LexState::Initial)
        return failWith(error, "a backslash at the end of the line");
    if (!words->empty() && words->front().size() >= 3 && words->front().compare(0, 2, "--") == 0)
        words->front().erase(0, 2);
    return true;
}

bool opensBlock(const std::vector<std::string> &words)
{
    return words.size() == 1 && words[0].size() >= 2 && words[0].front() == '<' && words[0].back() == '>';
}

bool closesBlock(const std::string &line, const std::string &closeTag)
{
    std::size_t begin = 0;
    while (begin < line.size() && isBlank(line[begin]))
        ++begin;
    return line.compare(begin, closeTag.size(), closeTag) == 0;
}

} // namespace

std::vector<std::string> splitLine(const std::string &line, std::string *error)
{
    std::vector<std::string> words;
    if (!lexLine(line, &words, error))
        words.clear();
    return words;
}

std::string quoteWord(const std::string &word)
{
    bool plain = !word.empty();
    for (char c : word) {
        if (isBlank(c) || c == '"' || c == '\'' || c == '\\' || c == '#' || c == ';')
            plain = false;
    }
    if (plain)
        return word;
    std::string quoted = "\"";
    for (char c : word) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string joinLine(const std::vector<std::string> &words)
{
    std::string line;
    for (const std::string &word : words) {
        if (!line.empty())
            line += ' ';
        line += quoteWord(word);
    }
    return line;
}

std::string inlineTag(const std::string &line, bool *closing)
{
    const std::string text = trimmed(line);
    *closing = false;
    if (text.size() < 3 || text.front() != '<' || text.back() != '>')
        return std::string();
    std::string tag = text.substr(1, text.size() - 2);
    if (!tag.empty() && tag.front() == '/') {
        *closing = true;
        tag.erase(0, 1);
    }
    for (char c : tag) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || c == '-' || c == '_';
        if (!allowed)
            return std::string();
    }
    return tag;
}

std::vector<std::string> physicalLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

bool readDirectives(const std::string &text, std::vector<Directive> *directives, std::string *error)
{
    directives->clear();
    if (text.find('\0') != std::string::npos)
        return failWith(error, "the profile contains a NUL byte");
    std::string body = text;
    // The daemon skips a UTF-8 byte order mark at the start of a file.
    if (body.compare(0, 3, "\xEF\xBB\xBF") == 0)
        body.erase(0, 3);

    const std::vector<std::string> lines = physicalLines(body);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].size() > MaxProfileLineLength) {
            return failWith(error, "line " + std::to_string(i + 1) + " is longer than "
                                       + std::to_string(MaxProfileLineLength) + " bytes");
        }
    }

    for (std::size_t i = 0; i < lines.size(); ++i) {
        const int lineNumber = int(i) + 1;
        std::string lexError;
        std::vector<std::string> words;
        if (!lexLine(lines[i], &words, &lexError))
            return failWith(error, "line " + std::to_string(lineNumber) + ": " + lexError);
        if (words.empty())
            continue;
        Directive directive;
        directive.line = lineNumber;
        if (!opensBlock(words)) {
            directive.words = words;
            directives->push_back(directive);
            continue;
        }
        const std::string tag = words[0].substr(1, words[0].size() - 2);
        const std::string closeTag = "</" + tag + ">";
        std::string content;
        std::size_t j = i + 1;
        while (j < lines.size() && !closesBlock(lines[j], closeTag)) {
            content += lines[j] + '\n';
            ++j;
        }
        if (j == lines.size()) {
            return failWith(error, "inline block <" + tag + "> opened on line " + std::to_string(lineNumber)
                                       + " is not closed");
        }
        directive.words = {tag, content};
        directive.isInline = true;
        directives->push_back(directive);
        i = j;
    }
    return true;
}

} // namespace ovpn
