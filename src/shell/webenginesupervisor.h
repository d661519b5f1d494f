#pragma once

#include <QObject>

class MainWindow;

// Replaces the main window whenever its renderer process ends. Replaced windows
// (and their bridges) stay in memory until the process ends.
class WebengineSupervisor : public QObject
{
    Q_OBJECT

public:
    explicit WebengineSupervisor(QObject *parent = nullptr);

    void setMainWindow(MainWindow *window);
    MainWindow *mainWindow() const;

public slots:
    void onMainWindowCrash();

signals:
    // A new main window is in place (the first one too), before it is shown.
    void mainWindowChanged(MainWindow *window);

private:
    MainWindow *m_mainWindow = nullptr;
};
