#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater per executable and user: the running one listens on a
// local socket, a second one hands it a short text and exits.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT
public:
    explicit SingleInstanceChecker(QObject *parent);
    ~SingleInstanceChecker() override;

    static QString serverName();
    // Name for a given executable path and home directory (serverName() uses
    // the running executable and the user's home).
    static QString serverName(const QString &executablePath, const QString &homePath);
    static bool notifyRunningInstance(const QString &message);

signals:
    void otherInstanceActivate(QString message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    QLocalServer *m_server;
    QLocalSocket *m_socket;
};
