#include "session/updateinidata.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// "key=value;..." into group `current` of update.ini beside the test; "@dir" stands for an existing
// directory.
void writeRecord(const QString &path, const QString &entries, const QString &existingDir)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup("current");
    for (const QString &entry : entries.split(';', Qt::SkipEmptyParts)) {
        const int eq = entry.indexOf('=');
        settings.setValue(entry.left(eq), QString(entry.mid(eq + 1)).replace("@dir", existingDir));
    }
    settings.endGroup();
}

} // namespace

class TestUpdateIniData : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void readsSessionRecord_data();
    void readsSessionRecord();
    void storesOnlyRequestedValues();
    void modifyKeepsOtherGroups();
    void tempIniContinuesAsClientUpdate();
    void tempIniNeedsValidRecord();

private:
    QString m_ini;
    std::unique_ptr<QTemporaryDir> m_temp;
};

void TestUpdateIniData::initTestCase()
{
    QLoggingCategory::setFilterRules("*.debug=false");
    m_ini = QCoreApplication::applicationDirPath() + "/update.ini";
    QCOMPARE(UpdateIniData::iniPath(), m_ini);
}

void TestUpdateIniData::init()
{
    m_temp = std::make_unique<QTemporaryDir>();
    QFile::remove(m_ini);
}

void TestUpdateIniData::cleanup()
{
    QFile::remove(m_ini);
    m_temp.reset();
}

void TestUpdateIniData::readsSessionRecord_data()
{
    QTest::addColumn<QString>("record");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("vx3dir");

    QTest::newRow("complete") << "version=42;dir=@dir;vx3dir=/opt/vx3;type=client_linux_amd64" << true << 42
                              << "/opt/vx3";
    QTest::newRow("empty vx3dir is valid")
        << "version=42;dir=@dir;vx3dir=;type=client_linux_amd64" << true << 42 << "";
    QTest::newRow("dir deleted") << "version=42;dir=@dir/gone;type=client_linux_amd64" << false << 0 << "";
    QTest::newRow("version not a number")
        << "version=4x;dir=@dir;type=client_linux_amd64" << false << 0 << "";
    QTest::newRow("version missing") << "dir=@dir;type=client_linux_amd64" << false << 0 << "";
    QTest::newRow("type empty") << "version=42;dir=@dir;type=" << false << 0 << "";
    QTest::newRow("dir empty") << "version=42;dir=;type=client_linux_amd64" << false << 0 << "";
    QTest::newRow("no file") << "" << false << 0 << "";
}

void TestUpdateIniData::readsSessionRecord()
{
    QFETCH(QString, record);
    QFETCH(bool, valid);
    QFETCH(int, version);
    QFETCH(QString, vx3dir);
    writeRecord(m_ini, record, m_temp->path());

    int readVersion = -1;
    QString type = "untouched";
    QString dir = "untouched";
    QString readVx3dir = "untouched";
    QCOMPARE(UpdateIniData::get(&readVersion, &type, &dir, &readVx3dir), valid);
    if (!valid) {
        QCOMPARE(readVersion, -1);
        QCOMPARE(type + dir + readVx3dir, QString("untoucheduntoucheduntouched"));
        return;
    }
    QCOMPARE(readVersion, version);
    QCOMPARE(type, QString("client_linux_amd64"));
    QCOMPARE(dir, m_temp->path());
    QCOMPARE(readVx3dir, vx3dir);
}

void TestUpdateIniData::storesOnlyRequestedValues()
{
    UpdateIniData::modify(7, m_temp->path(), "/opt/vx3", "update_linux_amd64");
    QString type;
    QString vx3dir;
    QVERIFY(UpdateIniData::get(nullptr, &type, nullptr, &vx3dir));
    QCOMPARE(type, QString("update_linux_amd64"));
    QCOMPARE(vx3dir, QString("/opt/vx3"));
    QVERIFY(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
}

void TestUpdateIniData::modifyKeepsOtherGroups()
{
    {
        QSettings settings(m_ini, QSettings::IniFormat);
        settings.setValue("Channel/beta", "true");
        settings.setValue("update/streams", 3);
        settings.setValue("current/version", 1);
    }
    UpdateIniData::modify(9, m_temp->path(), "", "client_linux_amd64");
    QSettings settings(m_ini, QSettings::IniFormat);
    QCOMPARE(settings.value("Channel/beta").toString(), QString("true"));
    QCOMPARE(settings.value("update/streams").toInt(), 3);
    QCOMPARE(settings.value("current/version").toString(), QString("9"));
    QCOMPARE(settings.value("current/dir").toString(), m_temp->path());
    QCOMPARE(settings.value("current/vx3dir").toString(), QString());
    QCOMPARE(settings.value("current/type").toString(), QString("client_linux_amd64"));
}

void TestUpdateIniData::tempIniContinuesAsClientUpdate()
{
    UpdateIniData::modify(11, m_temp->path(), "/opt/vx3", "update_linux_amd64");
    const QString target = m_temp->filePath("session");
    QVERIFY(QDir().mkdir(target));
    UpdateIniData::modifyTempIni(target);

    QSettings copy(target + "/update.ini", QSettings::IniFormat);
    QCOMPARE(copy.value("current/version").toInt(), 11);
    QCOMPARE(copy.value("current/dir").toString(), m_temp->path());
    QCOMPARE(copy.value("current/vx3dir").toString(), QString("/opt/vx3"));
    QCOMPARE(copy.value("current/type").toString(), QString("client_linux_amd64"));
    // The record beside the running updater is left as it was.
    QSettings own(m_ini, QSettings::IniFormat);
    QCOMPARE(own.value("current/type").toString(), QString("update_linux_amd64"));
}

void TestUpdateIniData::tempIniNeedsValidRecord()
{
    UpdateIniData::modify(11, m_temp->filePath("gone"), "/opt/vx3", "update_linux_amd64");
    UpdateIniData::modifyTempIni(m_temp->path());
    QVERIFY(!QFile::exists(m_temp->filePath("update.ini")));
}

QTEST_GUILESS_MAIN(TestUpdateIniData)
#include "testupdateinidata.moc"
