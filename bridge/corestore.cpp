#include "bridge/corestore.h"

#include "appinfo.h"
#include "engine/cleaning/uidmap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace CoreStore {

namespace {

// The file is made 0600 before anything is written to it (QSettings then writes through a
// temporary file that takes the permissions of the file it replaces), and one left more open
// by an earlier version is closed down.
void keepPrivate(const QSettings &store)
{
#ifdef Q_OS_UNIX
    if (store.format() != QSettings::NativeFormat && store.format() != QSettings::IniFormat)
        return;
    const QByteArray path = QFile::encodeName(store.fileName());
    QDir().mkpath(QFileInfo(store.fileName()).absolutePath());
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd >= 0)
        ::close(fd);
    ::chmod(path.constData(), S_IRUSR | S_IWUSR);
#else
    Q_UNUSED(store); // the registry keeps the user's own keys
#endif
}

} // namespace

QSettings *open()
{
    auto *store = new QSettings(QString::fromLatin1(AppInfo::organisationName),
                                QString::fromLatin1(AppInfo::coreSettingsApplication));
    keepPrivate(*store);
    return store;
}

QByteArray uidKey(QSettings &store)
{
    QByteArray key = UidKey::fromText(store.value(Key::uidKey).toByteArray());
    if (key.isEmpty()) {
        key = UidKey::generate();
        store.setValue(Key::uidKey, QString::fromLatin1(key.toHex()));
        store.sync();
    }
    return key;
}

StandardOptions::Set optionsOf(const QStringList &names)
{
    StandardOptions::Set set = 0;
    for (const QString &name : names)
        set |= StandardOptions::byName(name);
    if (!StandardOptions::conflict(set).isEmpty())
        set &= ~StandardOptions::Set(StandardOptions::RetainFullDates);
    return set;
}

StandardOptions::Set standardOptions(const QSettings &store)
{
    return optionsOf(store.value(Key::standardOptions).toStringList());
}

void setStandardOptions(QSettings &store, StandardOptions::Set options)
{
    store.setValue(Key::standardOptions, StandardOptions::names(options));
}

} // namespace CoreStore
