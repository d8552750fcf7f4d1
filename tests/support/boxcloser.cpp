// Qt generic plugin for tests that run a GUI executable as a child process: it
// answers every message box the moment it is shown, so that modal error boxes
// do not wait for a user who is not there.
//
// Load it into the child with
//   QT_PLUGIN_PATH=<build>/tests/plugins  QT_QPA_GENERIC_PLUGINS=vxboxcloser
// The box is answered with its escape button (Ok or Abort for a single-button
// box, No or Cancel for a question). With VX_TEST_BOX_LOG=<file> each box is
// appended to that file as one line: title, a tab, the text with line feeds
// written as "\n".
#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QGenericPlugin>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

namespace {

class BoxCloser : public QObject
{
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *box = event->type() == QEvent::Show ? qobject_cast<QMessageBox *>(watched) : nullptr;
        if (box) {
            record(box);
            QPointer<QMessageBox> guard(box);
            QTimer::singleShot(0, box, [guard] {
                if (!guard)
                    return;
                if (QAbstractButton *button = guard->escapeButton())
                    button->click();
                else
                    guard->reject();
            });
        }
        return false;
    }

private:
    static void record(const QMessageBox *box)
    {
        const QString path = qEnvironmentVariable("VX_TEST_BOX_LOG");
        if (path.isEmpty())
            return;
        QFile log(path);
        if (log.open(QIODevice::Append))
            log.write(
                (box->windowTitle() + '\t' + QString(box->text()).replace('\n', "\\n") + '\n').toUtf8());
    }
};

} // namespace

class BoxCloserPlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "boxcloser.json")

public:
    // The application deletes what this returns when it ends.
    QObject *create(const QString &, const QString &) override
    {
        auto *closer = new BoxCloser;
        QCoreApplication::instance()->installEventFilter(closer);
        return closer;
    }
};

#include "boxcloser.moc"
