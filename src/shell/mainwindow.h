#pragma once

#include <QUrl>
#include <QWebEngineView>

class Hlv;
class QWebChannel;

// The application window: a web view on the page in the resources, with the bridge
// published to it as "HLV". The window never deletes its bridge.
class MainWindow : public QWebEngineView
{
    Q_OBJECT

public:
    MainWindow(QWidget *parent, QUrl url);

    Hlv *bridge() const;

protected:
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onKill();

private:
    void enableWebAttributes();

    QWebChannel *m_channel = nullptr;
    Hlv *m_hlv = nullptr;
};
