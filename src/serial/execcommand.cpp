#include "serial/execcommand.h"

#include <QCoreApplication>

#include "base/logging.h"

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

namespace {

const char Category[] = "exec_command";
constexpr int WaitMs = 30000;

} // namespace

ExecCommand::ExecCommand(QObject *parent)
    : QObject(parent)
{
}

void ExecCommand::setCommand(QString command)
{
    this->command = std::move(command);
}

void ExecCommand::setArguments(QStringList arguments)
{
    this->arguments = std::move(arguments);
}

void ExecCommand::newProcess()
{
    running = true;
    if (process) {
        // The previous run has ended (a start is refused while one runs); its late
        // signals must not touch the new run's state.
        process->disconnect(this);
        if (process->state() == QProcess::NotRunning)
            process->deleteLater();
    }
    process = new QProcess(this);
    outputText.clear();
    partialLine.clear();
    skippingLine = false;
    connect(process, &QProcess::started, this, &ExecCommand::onStarted);
    connect(process, &QProcess::finished, this, &ExecCommand::onFinished);
    connect(process, &QProcess::errorOccurred, this, &ExecCommand::onErrorOccurred);
    connect(process, &QProcess::readyReadStandardOutput, this, &ExecCommand::onReadyReadStandardOutput);
}

bool ExecCommand::start()
{
    if (running) {
        logMessage(2, Category, "start", command + QLatin1String(" already running"));
        return false;
    }
    newProcess();
    process->setWorkingDirectory(QCoreApplication::applicationDirPath());
#ifdef Q_OS_LINUX
    // A program we start and wait for must not outlive us, not even when we are
    // killed outright: a relay left behind would keep the port pair and its TCP
    // session. The death signal follows the thread that forks, the GUI thread, which
    // lasts as long as the process. A program that means to stay (setupc's pair
    // holder) forks away from it, and its children do not inherit the signal.
    const pid_t parent = ::getpid();
    process->setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // We may have died before the line above.
        if (::getppid() != parent)
            ::_exit(127);
    });
#endif
    process->start(command, arguments, QIODevice::ReadWrite);
    return true;
}

bool ExecCommand::startDetached()
{
    if (running) {
        logMessage(2, Category, "startDetached", command + QLatin1String(" already running"));
        return false;
    }
    // The process object is never started, so no slot ever clears the flag: a runner
    // used once for a detached launch refuses every later start.
    newProcess();
    QProcess::startDetached(command, arguments, QString());
    return true;
}

bool ExecCommand::waitForStarted()
{
    return process && process->waitForStarted(WaitMs);
}

bool ExecCommand::waitForFinished()
{
    return process && process->waitForFinished(WaitMs);
}

int ExecCommand::exitCode()
{
    return process ? process->exitCode() : -1;
}

bool ExecCommand::isRunning()
{
    return running;
}

void ExecCommand::kill()
{
    if (!running)
        return;
    process->kill();
    process->waitForFinished(WaitMs);
}

QString ExecCommand::output()
{
    return outputText;
}

void ExecCommand::onStarted()
{
    logMessage(4, Category, "onStarted", command);
}

void ExecCommand::onFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    Q_UNUSED(exitStatus)
    running = false;
    logMessage(4, Category, "onFinished", command + QLatin1String(" exitCode: ") + QString::number(exitCode));
    emit finished();
}

void ExecCommand::onErrorOccurred(QProcess::ProcessError error)
{
    running = false;
    logMessage(4, Category, "onErrorOccurred",
               command + QLatin1String(" error: ") + QString::number(static_cast<int>(error)));
    if (error == QProcess::FailedToStart)
        emit startFailed();
}

void ExecCommand::setLineMode(qsizetype maxLength)
{
    maxLineLength = maxLength;
}

bool ExecCommand::writeInput(const QByteArray &data)
{
    // While the program starts, QProcess keeps what is written until it runs.
    if (!running || !process || process->state() == QProcess::NotRunning)
        return false;
    return process->write(data) == data.size();
}

void ExecCommand::onReadyReadStandardOutput()
{
    if (maxLineLength > 0) {
        const QByteArray chunk = process->readAllStandardOutput();
        qsizetype start = 0;
        for (qsizetype end; (end = chunk.indexOf('\n', start)) >= 0; start = end + 1) {
            const QByteArrayView piece = QByteArrayView(chunk).sliced(start, end - start);
            const bool whole = !skippingLine && partialLine.size() + piece.size() <= maxLineLength;
            if (whole) {
                partialLine += piece;
                // The receiver may end this run; the line is its own copy.
                const QByteArray line = std::exchange(partialLine, QByteArray());
                emit outputLine(line);
            }
            partialLine.clear();
            skippingLine = false;
        }
        const QByteArrayView rest = QByteArrayView(chunk).sliced(start);
        if (skippingLine || partialLine.size() + rest.size() > maxLineLength) {
            partialLine.clear();
            skippingLine = true;
        } else {
            partialLine += rest;
        }
        return;
    }
    logMessage(4, Category, "onReadyReadStandardOutput", command);
    const QString chunk = QString::fromUtf8(process->readAllStandardOutput());
    outputText += chunk;
    logMessage(4, Category, "onReadyReadStandardOutput", chunk);
}
