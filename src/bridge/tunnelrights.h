#pragma once

#include <QString>

// Whether this process can bring a tunnel up. As root it starts the VPN daemon itself;
// otherwise the root helper corrivo2-helper must accept this user. The helper's answer
// is kept for a few seconds, because the login page asks several times in a row and
// each question blocks the window.
class TunnelRights
{
public:
    struct Answer
    {
        bool present = false;
        QString problem;  // why not, in words for the user; empty when present
    };

    static Answer current();
};
