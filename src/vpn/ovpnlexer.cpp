#include "vpn/ovpnlexer.h"

namespace ovpn {

namespace {

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

} // namespace

std::vector<std::string> splitLine(const std::string &line)
{
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (!inWord && isBlank(c)) {
            ++i;
            continue;
        }
        if (!inWord && (c == '#' || c == ';'))
            break;
        inWord = true;
        if (isBlank(c)) {
            words.push_back(word);
            word.clear();
            inWord = false;
            ++i;
        } else if (c == '"') {
            ++i;
            while (i < line.size() && line[i] != '"') {
                if (line[i] == '\\' && i + 1 < line.size())
                    ++i;
                word += line[i++];
            }
            ++i;
        } else if (c == '\'') {
            ++i;
            while (i < line.size() && line[i] != '\'')
                word += line[i++];
            ++i;
        } else if (c == '\\' && i + 1 < line.size()) {
            word += line[i + 1];
            i += 2;
        } else {
            word += c;
            ++i;
        }
    }
    if (inWord)
        words.push_back(word);
    if (!words.empty() && words.front().compare(0, 2, "--") == 0)
        words.front().erase(0, 2);
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

} // namespace ovpn
