// Every test program keeps its settings apart from the user's: a test that empties the core's
// store (to see it made anew) must never take the installation's UID key or account with it,
// also when the program is run by hand, outside ctest's own configuration folder.

#include <QStandardPaths>
#include <QtGlobal>

namespace {

void keepTestSettingsApart()
{
    QStandardPaths::setTestModeEnabled(true);
}

} // namespace

Q_CONSTRUCTOR_FUNCTION(keepTestSettingsApart)
