// QTWEBENGINE_CHROMIUM_FLAGS as the application filters it before the web engine reads
// it (allowedWebEngineFlags). Besides the sanitizers' findings: what goes on is only
// "--name" or "--name=value" words separated by single blanks, without quotes or other
// blanks, none of them a switch that touches the sandbox or how processes are started,
// and filtering it again changes nothing.

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>

#include "fuzzsupport.h"
#include "shell/sandbox.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray flags = FuzzSupport::bytes(data, size);
    QList<QByteArray> dropped;
    const QByteArray kept = allowedWebEngineFlags(flags, &dropped);
    const std::string shown = FuzzSupport::printable(kept.toStdString());
    FuzzSupport::require(!kept.contains('"') && !kept.contains('\t') && !kept.contains('\n') && !kept.contains('\r')
                             && !kept.contains("  ") && !kept.startsWith(' ') && !kept.endsWith(' '),
                         "the kept switches are words separated by single blanks", shown);
    for (const QByteArray &word : kept.split(' ')) {
        if (kept.isEmpty())
            break;
        FuzzSupport::require(word.startsWith("--") && word.size() > 2 && word.at(2) != '-', "each word is --name", shown);
        const QByteArray name = word.mid(2, word.indexOf('=') < 0 ? -1 : word.indexOf('=') - 2);
        for (const char *touchy : {"sandbox", "single-process", "zygote", "in-process", "cmd-prefix", "launcher",
                                   "subprocess", "remote-debugging", "js-flags", "features", "web-security"})
            FuzzSupport::require(!name.contains(touchy), "no switch that touches the sandbox goes on", shown);
    }
    FuzzSupport::require(allowedWebEngineFlags(kept) == kept, "filtering twice changes nothing", shown);
    return 0;
}
