// Logs through the application's message handler, as the updater does, so that
// tests can watch the handler in a process of its own (a fatal message aborts).
// Arguments: d:text, i:text, w:text, c:text or f:text, logged in order.
#include "shell/logfile.h"

#include <QDebug>
#include <QString>

int main(int argc, char **argv)
{
    LogFile::instance();
    qInstallMessageHandler(logMessageHandler);
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        const QString text = arg.mid(2);
        switch (arg.at(0).toLatin1()) {
        case 'd':
            qDebug().noquote() << text;
            break;
        case 'i':
            qInfo().noquote() << text;
            break;
        case 'w':
            qWarning().noquote() << text;
            break;
        case 'c':
            qCritical().noquote() << text;
            break;
        case 'f':
            qFatal("%s", qPrintable(text));
        }
    }
    LogFile::instance()->close();
    return 0;
}
