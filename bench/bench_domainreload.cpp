// The native part of a domain list reload at fleet sizes: parsing and merging the
// cloud's answer, writing the list to the settings, and the page's changed-domains
// text, for an answer that changes nothing and one that flips 1 % of the devices.
// The baseline, measured in the same run, is parsing the answer alone
// (QJsonDocument::fromJson): the least any reload of that text has to do. The settings
// write that follows a change runs on a thread of its own; it is reported apart (and
// waited for between rounds).
//
// Build: cmake --build build --target bench_domainreload
// Run:   build/bench/bench_domainreload [devices] [rounds]   (default 5000 and 20)

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "model/domainlist.h"
#include "model/hlvsettings.h"

namespace {

constexpr int DevicesPerDomain = 25;

// Domains of 25, every fifth device offline, like the fleet benchmark's cloud.
QJsonObject fleet(int deviceCount, int flipRound)
{
    QJsonArray domains;
    int id = 100000;
    const int flipStep = std::max(1, deviceCount / std::max(1, deviceCount / 100));
    for (int d = 0; id - 100000 < deviceCount; ++d) {
        QJsonArray devices;
        for (int i = 0; i < DevicesPerDomain && id - 100000 < deviceCount; ++i, ++id) {
            int online = i % 5 == 4 ? 0 : 1;
            const int index = id - 100000;
            if (flipRound >= 0 && (index - flipRound) % flipStep == 0)
                online = 1 - online;
            devices.append(QJsonObject{
                {QStringLiteral("id"), id},
                {QStringLiteral("name"), QStringLiteral("Device %1 of site %2").arg(id).arg(d)},
                {QStringLiteral("type"), QJsonArray{1, 3, 5, 6}.at(i % 4)},
                {QStringLiteral("domain_id"), 1000 + d},
                {QStringLiteral("data_delivery_enable"), 1},
                {QStringLiteral("remote_access_enable"), 1},
                {QStringLiteral("vpn_status"), online},
                {QStringLiteral("vpn_ip"), QStringLiteral("10.%1.%2.%3").arg(d / 250 + 8).arg(d % 250).arg(i + 2)},
                {QStringLiteral("api_key"), QStringLiteral("key-%1").arg(id)},
            });
        }
        domains.append(QJsonObject{{QStringLiteral("id"), 1000 + d}, {QStringLiteral("name"), QStringLiteral("Site %1").arg(d)},
                                   {QStringLiteral("vpn_enable"), d % 7 == 6 ? 0 : 1}, {QStringLiteral("devices"), devices}});
    }
    return QJsonObject{{QStringLiteral("domains"), domains}};
}

QString text(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int devices = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QLatin1String("/.config")).toUtf8());
    QStandardPaths::setTestModeEnabled(true);

    DomainList list;
    const QString first = text(fleet(devices, -1));
    list.mergeReply(first);
    list.store();
    int revision = QJsonDocument::fromJson(list.changedSince(-1).toUtf8()).object().value(QLatin1String("revision")).toInt();

    std::vector<double> parse, same, flipMerge, flipStore, flipText, write;
    QString previous = first;
    for (int round = 0; round < rounds; ++round) {
        const QString flipped = text(fleet(devices, round % 100));
        QElapsedTimer timer;

        timer.start();
        const QJsonDocument parsed = QJsonDocument::fromJson(flipped.toUtf8());
        parse.push_back(timer.nsecsElapsed() / 1e6);
        Q_UNUSED(parsed)

        // The same text again: what most reloads are.
        timer.start();
        list.mergeReply(previous);
        list.storeInBackground();
        list.changedSince(revision);
        same.push_back(timer.nsecsElapsed() / 1e6);

        timer.start();
        list.mergeReply(flipped);
        flipMerge.push_back(timer.nsecsElapsed() / 1e6);
        timer.start();
        list.storeInBackground();
        flipStore.push_back(timer.nsecsElapsed() / 1e6);
        timer.start();
        const QString changed = list.changedSince(revision);
        flipText.push_back(timer.nsecsElapsed() / 1e6);
        // The write itself, off the reload's path; waited for so that rounds do not overlap.
        timer.start();
        list.waitForStored();
        write.push_back(timer.nsecsElapsed() / 1e6);
        revision = QJsonDocument::fromJson(changed.toUtf8()).object().value(QLatin1String("revision")).toInt();
        previous = flipped;
    }
    const double baseline = median(parse);
    std::printf("%d devices, %d rounds, medians in ms (ratio to parsing the answer alone)\n", devices, rounds);
    const auto row = [&](const char *name, const std::vector<double> &values) {
        std::printf("  %-28s %8.2f  %5.2fx\n", name, median(values), median(values) / baseline);
    };
    row("parse alone (baseline)", parse);
    row("unchanged reload", same);
    row("1% flip: merge", flipMerge);
    row("1% flip: store (handed over)", flipStore);
    row("1% flip: changed domains", flipText);
    std::vector<double> flipTotal;
    for (size_t i = 0; i < flipMerge.size(); ++i)
        flipTotal.push_back(flipMerge[i] + flipStore[i] + flipText[i]);
    row("1% flip: native total", flipTotal);
    row("its write, in the background", write);
    return 0;
}
