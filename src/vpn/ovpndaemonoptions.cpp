#include "vpn/ovpndaemonoptions.h"

#include "vpn/ovpnlexer.h"

namespace ovpn {

namespace {

// Options every session gets besides the management channel's.
const char *const FixedOptions[] = {"--auth-retry", "none", "--auth-nocache"};

// The options as groups of a name and its values ("--pull-filter", "ignore", "x").
std::vector<std::vector<std::string>> optionGroups(const std::vector<std::string> &options)
{
    std::vector<std::vector<std::string>> groups;
    for (const std::string &word : options) {
        if (groups.empty() || word.compare(0, 2, "--") == 0)
            groups.emplace_back();
        groups.back().push_back(word);
    }
    return groups;
}

// A pull filter is first match wins, and the daemon reads its arguments in order: ours
// go before the profile's, so that no filter of the profile lets through what the
// client configuration keeps out.
bool precedesProfile(const std::vector<std::string> &group)
{
    return group.front() == "--pull-filter";
}

} // namespace

Config applicationConfig()
{
    Config config;
    config.guiVersion = "VIDeru 1.0";
    config.connTimeout = 0;
    config.disableClientCert = true;
    config.dco = false;
    config.info = true;
    config.protoVersionOverride = 4;
    config.ipv6 = "no";
    config.compressionMode = "yes";
    return config;
}

std::vector<std::string> configOptions(const Config &config)
{
    std::vector<std::string> options;
    if (!config.guiVersion.empty())
        options.insert(options.end(), {"--setenv", "IV_GUI_VER", config.guiVersion});
    if (!config.dco)
        options.push_back("--disable-dco");
    if (config.ipv6 == "no") {
        options.insert(options.end(), {"--pull-filter", "ignore", "ifconfig-ipv6",
                                       "--pull-filter", "ignore", "route-ipv6"});
    }
    if (config.compressionMode == "yes" || config.compressionMode == "asym" || config.compressionMode == "no")
        options.insert(options.end(), {"--allow-compression", config.compressionMode});
    if (config.connTimeout > 0) {
        // The daemon has no overall limit; bounding every attempt comes closest.
        options.insert(options.end(), {"--connect-timeout", std::to_string(config.connTimeout)});
    }
    // protoVersionOverride: applied to the profile text by DaemonProfile, which also
    // removes persist-tun from it.
    // disableClientCert: no option; the daemon accepts a pulling client with
    // auth-user-pass and no certificate.
    return options;
}

std::vector<std::string> daemonArguments(const std::string &profilePath, const std::string &managementSocket,
                                         const std::vector<std::string> &options)
{
    std::vector<std::string> before;
    std::vector<std::string> after;
    for (const std::vector<std::string> &group : optionGroups(options)) {
        std::vector<std::string> &list = precedesProfile(group) ? before : after;
        list.insert(list.end(), group.begin(), group.end());
    }
    std::vector<std::string> arguments = before;
    arguments.insert(arguments.end(), {"--config", profilePath,
                                       "--management", managementSocket, "unix",
                                       "--management-client",
                                       "--management-hold",
                                       "--management-query-passwords"});
    arguments.insert(arguments.end(), std::begin(FixedOptions), std::end(FixedOptions));
    arguments.insert(arguments.end(), after.begin(), after.end());
    return arguments;
}

std::string daemonConfigText(const std::string &profileText, const std::vector<std::string> &options)
{
    std::string before;
    std::string after;
    std::vector<std::string> all = options;
    all.insert(all.end(), std::begin(FixedOptions), std::end(FixedOptions));
    for (std::vector<std::string> group : optionGroups(all)) {
        std::string &part = precedesProfile(group) ? before : after;
        group.front().erase(0, 2);  // "--pull-filter" is "pull-filter" in a file
        part += joinLine(group) + '\n';
    }
    std::string text = before + profileText;
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    return text + after;
}

} // namespace ovpn
