#include "vpn/ovpndaemonoptions.h"

namespace ovpn {

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
    std::vector<std::string> arguments{"--config", profilePath,
                                       "--management", managementSocket, "unix",
                                       "--management-client",
                                       "--management-hold",
                                       "--management-query-passwords",
                                       "--auth-retry", "none",
                                       "--auth-nocache"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return arguments;
}

} // namespace ovpn
