#include <QWebChannel>
#include <QWebEnginePage>

#include "bridge/hlv.h"
#include "shell/application.h"
#include "shell/mainwindow.h"
#include "signalhook.h"

// The application as it is, plus the test hook on the web channel of every main window.
int main(int argc, char *argv[])
{
    return runApplication(argc, argv, [](MainWindow *window) {
        auto *hook = new SignalHook(window->bridge(), window);
        window->page()->webChannel()->registerObject(QStringLiteral("TestHook"), hook);
    });
}
