#pragma once

#include <QObject>
#include <QStringList>

class QLocalServer;

// One application per user: a later start hands its command line to the running one,
// which raises its window, and ends. The socket lives in a directory only the user may
// enter ($XDG_RUNTIME_DIR/corrivo2, else /tmp/corrivo2-<uid>), and a lock held from the
// look for a running instance until this one listens keeps two starts from both
// becoming the first.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    SingleInstance();
    ~SingleInstance() override;

    // Looks for a running instance and gives it the arguments; true when it took them
    // (this process then ends). Needs a core application.
    bool handOver(const QStringList &arguments);
    // Starts answering later starts; releases the lock.
    bool listen();

    static QString directory();

signals:
    // A later start's command line (without the program).
    void started(const QStringList &arguments);

private:
    void takeConnection();

    int m_lock = -1;
    QString m_socketPath;
    QLocalServer *m_server = nullptr;
};
