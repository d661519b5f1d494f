#include <QChar>
#include <QRegularExpression>
#include <QString>

#include <algorithm>
#include <iterator>

#include "shell/sandbox.h"

namespace {

// Switches that change what the engine logs or how it draws, and nothing of how its
// processes are kept apart. Chromium on Linux compares switch names with case.
const char *const AllowedSwitches[] = {
    "enable-logging", "v", "vmodule", "log-level",
    "disable-gpu", "disable-gpu-compositing", "disable-gpu-rasterization", "enable-gpu-rasterization",
    "disable-software-rasterizer", "ignore-gpu-blocklist", "use-gl", "use-angle",
    "force-device-scale-factor", "disable-smooth-scrolling", "lang",
};

// The arguments as Qt takes them from the variable, and more: blanks of any kind
// separate, double quotes group and are dropped. Chromium trims blanks of any kind
// from each argument, so an argument is judged by what is left of it.
QList<QByteArray> splitArguments(const QByteArray &flags)
{
    QList<QByteArray> arguments;
    QByteArray current;
    bool quoted = false;
    bool started = false;
    for (const char c : flags) {
        if (c == '"') {
            quoted = !quoted;
            started = true;
        } else if (!quoted && QChar::isSpace(uchar(c))) {
            if (started)
                arguments.append(current);
            current.clear();
            started = false;
        } else {
            current.append(c);
            started = true;
        }
    }
    if (started)
        arguments.append(current);
    return arguments;
}

} // namespace

QByteArray allowedWebEngineFlags(const QByteArray &flags, QList<QByteArray> *dropped)
{
    // A value goes on only if no reading of the variable can split or join it.
    static const QRegularExpression safeValue(QStringLiteral("^[A-Za-z0-9_.,:*/+=-]*$"));
    QList<QByteArray> kept;
    bool switchesEnded = false;
    for (const QByteArray &argument : splitArguments(flags)) {
        // "--" ends the switches: what follows is no switch, and none of ours.
        if (argument == "--")
            switchesEnded = true;
        const qsizetype prefix = argument.startsWith("--") ? 2 : argument.startsWith('-') ? 1 : 0;
        const qsizetype equals = argument.indexOf('=');
        const QByteArray name = argument.mid(prefix, equals < 0 ? -1 : equals - prefix);
        const bool allowed = !switchesEnded && prefix > 0
            && std::any_of(std::begin(AllowedSwitches), std::end(AllowedSwitches),
                           [&name](const char *known) { return name == known; })
            && (equals < 0 || safeValue.match(QString::fromLatin1(argument.mid(equals + 1))).hasMatch());
        if (allowed)
            kept.append("--" + argument.mid(prefix));
        else if (dropped)
            dropped->append(argument);
    }
    return kept.join(' ');
}

bool carriesWebEngineArguments(const QStringList &arguments)
{
    return std::any_of(arguments.begin(), arguments.end(), [](const QString &argument) {
        return argument.compare(QLatin1String("--webEngineArgs"), Qt::CaseInsensitive) == 0;
    });
}
