#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The lists one stage of an update run hands to the next, compiled from the
// product ini.

// A file to fetch from the update server into the temporary directory.
struct DownloadEntry
{
    QString section; // server directory
    QString name;    // name on the server and in the temporary directory
    QString hash;    // expected SHA-512 of the download, hexadecimal
    quint64 size = 0;
};

// A file to put in place: copied when plain, unpacked or patched when packed.
struct ReplaceEntry
{
    QString section;
    QString name;     // the downloaded file in the temporary directory
    QString hash;     // packed: installed digest; plain: empty
    quint64 size = 0; // packed: installed size; plain: 0
    QString target;   // packed: installed path; plain: empty
    QString patch;    // patch file name when patched, else empty

    bool isPacked() const { return !target.isEmpty(); }
    bool hasPatch() const { return !patch.isEmpty(); }
    // Where the finished file goes, relative to the directory being updated.
    QString installName() const { return target.isEmpty() ? name : target; }
};

// A file or directory, relative to the installation directory, to delete.
struct DeleteEntry
{
    QString name;
    bool recursive = false;
};

// A program, relative to the temporary directory, to run with its arguments.
struct InstallCommand
{
    QString command;
    QStringList args;
};

struct UpdateLists
{
    QList<DownloadEntry> downloadList;
    QList<ReplaceEntry> replaceList;
    QList<DeleteEntry> deleteList;
    QList<InstallCommand> preInstallList;
    QList<InstallCommand> postInstallList;

    void clear()
    {
        downloadList.clear();
        replaceList.clear();
        deleteList.clear();
        preInstallList.clear();
        postInstallList.clear();
    }
};
