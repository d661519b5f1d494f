#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// Runs one external program at a time and gathers what it writes to standard output.
// Built for synchronous use: set the program and its arguments, start, then block on
// the waits or listen for finished(). Standard error is left in the process channel.
class ExecCommand : public QObject
{
    Q_OBJECT

public:
    explicit ExecCommand(QObject *parent = nullptr);

    void setCommand(QString command);
    void setArguments(QStringList arguments);

    bool start();
    bool startDetached();
    bool waitForStarted();
    bool waitForFinished();
    int exitCode();
    bool isRunning();
    void kill();
    QString output();

    // Line mode (set before start): each complete line of standard output goes out as
    // outputLine() without its line break instead of being gathered, so a program that
    // talks for hours costs no memory. A line longer than maxLineLength is dropped
    // whole.
    void setLineMode(qsizetype maxLineLength);
    // Writes to the running program's standard input; false when nothing runs.
    bool writeInput(const QByteArray &data);

signals:
    void finished();
    // The program could not be started; no finished() follows.
    void startFailed();
    void outputLine(const QByteArray &line);

private slots:
    void onStarted();
    void onFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onErrorOccurred(QProcess::ProcessError error);
    void onReadyReadStandardOutput();

private:
    void newProcess();

    // A fresh process object per run, owned by the runner: an ended one is released
    // at the next start, and a child still running when the runner goes is ended with
    // it rather than left behind.
    QProcess *process = nullptr;
    QString command;
    QStringList arguments;
    bool running = false;
    QString outputText;
    qsizetype maxLineLength = 0; // 0: not in line mode
    QByteArray partialLine;
    bool skippingLine = false;
};
