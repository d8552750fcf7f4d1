#pragma once

#include <QHash>
#include <QMetaType>
#include <QPair>
#include <QString>

// Channel name -> (version number as decimal text, version display string), as the version server announced
// them.
typedef QHash<QString, QPair<QString, QString>> UpdateVersions;

Q_DECLARE_METATYPE(UpdateVersions)
