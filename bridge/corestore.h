#pragma once

#include "engine/cleaning/standardoptions.h"

#include <QByteArray>
#include <QString>

class QSettings;

// The core's own settings store, and every key the core keeps in it. The server client keeps
// the refresh token there too, under a key of its own (NetHandler); the windows keep theirs
// (the folder dialog's last folder, the update notice's skip list) in a store of their own.
namespace CoreStore {

namespace Key {
// The installation's UID key, 64 hex digits, made the first time it is needed.
inline const QString uidKey = QStringLiteral("uidKey");
// The window's switch of the standard clean-up, and the names of its options that are on.
inline const QString standardCleanup = QStringLiteral("standardCleanup");
inline const QString standardOptions = QStringLiteral("standardOptions");
// The installation's account, written by whoever deploys the program.
inline const QString accountName = QStringLiteral("accountName");
inline const QString accountPassword = QStringLiteral("accountPassword");
} // namespace Key

// A new store of the organisation and the core (no parent: it lives until the process ends),
// readable by its owner only: it holds the UID key, the account's password and the refresh
// token.
QSettings *open();

// The installation's UID key; made and stored the first time it is asked for.
QByteArray uidKey(QSettings &store);

// The stored set of options; a set that cannot be applied (both kinds of dates) keeps the
// safer of the two.
StandardOptions::Set standardOptions(const QSettings &store);
void setStandardOptions(QSettings &store, StandardOptions::Set options);

// The options named in a list of names (unknown names are left out), made applicable as
// standardOptions() makes a stored set.
StandardOptions::Set optionsOf(const QStringList &names);

} // namespace CoreStore
