// The filter between a profile from the cloud and the openvpn daemon, which runs as
// root. Besides the sanitizers' findings, two properties abort:
//  - what it accepts, it accepts again unchanged (without the IPv4 rewrite, which adds a
//    line each time): its text is a fixed point, not the product of one lucky reading;
//  - its text, read the way the daemon reads a configuration file, holds no directive
//    that runs a program, loads code, writes a file, reads one to send it away, or takes
//    the management channel.
// The first input byte picks the options (IPv4 forced or not, IPv6 kept or not); the
// rest is the profile.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fuzzsupport.h"
#include "vpn/ovpndaemonprofile.h"
#include "vpn/ovpnlexer.h"

namespace {

using Words = std::vector<std::string>;

// An independent list, kept apart from the filter's own on purpose: the oracle must
// not share the filter's blind spots. Each name comes with the number of words (its own
// included) the daemon needs before the directive takes effect; with fewer it refuses
// the whole file.
bool forbidden(const Words &words)
{
    static const std::map<std::string, std::size_t> names = {
        // programs
        {"up", 2}, {"down", 2}, {"route-up", 2}, {"route-pre-down", 2}, {"ipchange", 2},
        {"client-connect", 2}, {"client-disconnect", 2}, {"learn-address", 2}, {"auth-user-pass-verify", 3},
        {"tls-verify", 2}, {"tls-crypt-v2-verify", 2}, {"iproute", 2}, {"script-security", 2}, {"dns-updown", 2},
        // code
        {"plugin", 2}, {"engine", 1}, {"providers", 2}, {"pkcs11-providers", 2},
        // files written, directories entered, devices opened, other configuration read
        {"status", 2}, {"log", 2}, {"log-append", 2}, {"writepid", 2}, {"replay-persist", 2},
        {"ifconfig-pool-persist", 2}, {"tls-export-cert", 2}, {"genkey", 1}, {"daemon", 1}, {"cd", 2},
        {"chroot", 2}, {"tmp-dir", 2}, {"mktun", 1}, {"rmtun", 1}, {"port-share", 3}, {"client-config-dir", 2},
        {"config", 2}, {"askpass", 1}, {"capath", 2}, {"dev-node", 2}, {"auth-gen-token-secret", 2},
        // the channel our layer owns
        {"management", 3}, {"management-client", 1}, {"management-hold", 1}, {"management-query-passwords", 1},
        {"management-query-proxy", 1}, {"management-query-remote", 1}, {"management-forget-disconnect", 1},
        {"management-signal", 1}, {"management-up-down", 1}, {"management-client-auth", 1},
        {"management-client-user", 2}, {"management-client-group", 2}, {"management-log-cache", 2},
        {"management-external-key", 1}, {"management-external-cert", 2},
    };
    const std::string &name = words[0];
    const auto entry = names.find(name);
    if (entry != names.end() && words.size() >= entry->second)
        return true;
    if (name == "crl-verify" && words.size() >= 3 && words[2] == "dir")
        return true;
    // Credentials read from a file go to the server or the proxy: a way to send any file
    // root can read to whoever wrote the profile.
    if (name == "auth-user-pass" && words.size() >= 2 && words[1] != "[inline]")
        return true;
    if (name == "http-proxy" && words.size() >= 4 && words[3] != "auto" && words[3] != "auto-nct"
        && words[3] != "[inline]")
        return true;
    if (name == "socks-proxy" && words.size() >= 4 && words[3] != "[inline]")
        return true;
    return false;
}

// The daemon's reading of a file, as far as it decides what is a directive: lines come
// from fgets() into a buffer of 257 bytes (a longer line is an error), C strings end at
// the first NUL, and a line holding one word in angle brackets opens an inline block
// whose lines are read in pieces of 255 bytes until one begins, after blanks, with the
// closing tag. Words are split with our lexer.
class DaemonReading
{
public:
    explicit DaemonReading(const std::string &text)
        : m_text(text)
    {
    }

    // False when the daemon refuses the file outright (nothing of it takes effect);
    // otherwise the directives in order, an inline block as its tag and "[inline]".
    bool read(std::vector<Words> *directives)
    {
        std::string chunk;
        int lineNumber = 0;
        while (gets(257, &chunk)) {
            ++lineNumber;
            std::string line = cString(chunk);
            if (line.size() == 256)
                return false;
            if (lineNumber == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
                line.erase(0, 3);
            Words words = ovpn::splitLine(line);
            if (words.empty())
                continue;
            if (words.size() == 1 && words[0].size() >= 2 && words[0].front() == '<' && words[0].back() == '>') {
                const std::string tag = words[0].substr(1, words[0].size() - 2);
                std::string content;
                if (!readInline(tag, &content))
                    return false;
                if (tag == "connection")
                    readConnection(content, directives);
                directives->push_back({tag, "[inline]"});
                continue;
            }
            directives->push_back(words);
        }
        return true;
    }

private:
    // fgets(): at most size - 1 bytes, up to and with the first newline.
    bool gets(std::size_t size, std::string *chunk)
    {
        if (m_position >= m_text.size())
            return false;
        chunk->clear();
        while (chunk->size() < size - 1 && m_position < m_text.size()) {
            const char c = m_text[m_position++];
            chunk->push_back(c);
            if (c == '\n')
                break;
        }
        return true;
    }

    static std::string cString(const std::string &chunk)
    {
        return chunk.substr(0, chunk.find('\0'));
    }

    static bool isSpace(char c)
    {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    }

    bool readInline(const std::string &tag, std::string *content)
    {
        const std::string closing = "</" + tag + '>';
        std::string chunk;
        while (gets(256, &chunk)) {
            const std::string line = cString(chunk);
            std::size_t start = 0;
            while (start < line.size() && isSpace(line[start]))
                ++start;
            if (line.compare(start, closing.size(), closing) == 0)
                return true;
            *content += line;
        }
        return false;
    }

    // A connection block's lines are directives too; the daemon refuses most of the
    // forbidden ones there, but what it would take must not be forbidden either.
    static void readConnection(const std::string &content, std::vector<Words> *directives)
    {
        std::size_t start = 0;
        while (start < content.size()) {
            std::size_t end = content.find('\n', start);
            if (end == std::string::npos)
                end = content.size();
            const Words words = ovpn::splitLine(content.substr(start, end - start));
            if (!words.empty())
                directives->push_back(words);
            start = end + 1;
        }
    }

    const std::string &m_text;
    std::size_t m_position = 0;
};

std::string describe(const Words &words)
{
    return ovpn::joinLine(words);
}

// The first line where two texts part.
std::string firstDifference(const std::string &first, const std::string &second)
{
    std::size_t start = 0;
    while (true) {
        const std::size_t end1 = first.find('\n', start);
        const std::size_t end2 = second.find('\n', start);
        const std::string line1 = first.substr(start, end1 == std::string::npos ? std::string::npos : end1 - start);
        const std::string line2 = second.substr(start, end2 == std::string::npos ? std::string::npos : end2 - start);
        if (line1 != line2 || end1 == std::string::npos || end2 == std::string::npos)
            return "first:  " + line1 + "\nsecond: " + line2;
        start = end1 + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    ovpn::Config config;
    config.protoVersionOverride = (data[0] & 1) ? 4 : 0;
    config.ipv6 = (data[0] & 2) ? "yes" : "no";
    config.content = FuzzSupport::text(data + 1, size - 1);

    const ovpn::DaemonProfile profile(config);
    if (profile.eval().error) {
        FuzzSupport::require(profile.text().empty(), "a refused profile has no text");
        return 0;
    }

    std::vector<Words> directives;
    if (DaemonReading(profile.text()).read(&directives)) {
        for (const Words &words : directives)
            FuzzSupport::require(!forbidden(words), "no forbidden directive reaches the daemon", describe(words));
    }

    if (config.protoVersionOverride == 0) {
        ovpn::Config again = config;
        again.content = profile.text();
        const ovpn::DaemonProfile second(again);
        FuzzSupport::require(!second.eval().error, "an accepted profile's text is accepted again",
                             second.eval().message);
        FuzzSupport::require(second.text() == profile.text(), "the filter's text is a fixed point",
                             firstDifference(profile.text(), second.text()));
    }
    return 0;
}
