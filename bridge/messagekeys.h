#pragma once

#include <QString>

// Every key of the messages between the windows and the core, in one place. Keys are compared
// exactly and case-sensitively.
namespace MessageKey {
// From the windows to the core.
inline const QString openFolder = QStringLiteral("openFolder");
inline const QString changeGUI = QStringLiteral("changeGUI");
inline const QString changeTagText = QStringLiteral("changeTagText");
inline const QString qmlCompleted = QStringLiteral("qmlCompleted");
inline const QString settingsSubmit = QStringLiteral("settings:submit");
// Stops the running job between files (no value).
inline const QString stopJob = QStringLiteral("stopJob");
// Asks for a report's text (value: its "file:" URL) where no program opens it.
inline const QString readReport = QStringLiteral("readReport");

// Both ways: the window's switch of the standard clean-up sends it (1 or 0); the core sends
// the stored state (a boolean) after "qmlCompleted".
inline const QString standardCleanup = QStringLiteral("standardCleanup");
// Both ways: the names of the standard clean-up's options that are on; the window's list
// sends the whole set at each change, joined by commas ("modified-dates,retain-uids"), the
// core answers it, and sends the stored set after "qmlCompleted", as a list of strings.
inline const QString standardOptions = QStringLiteral("standardOptions");

// From the core to the windows.
inline const QString setDeviceID = QStringLiteral("setDeviceID");
inline const QString loadTagsList = QStringLiteral("loadTagsList");
inline const QString updateProgress = QStringLiteral("updateProgress");
inline const QString updateStatusConnection = QStringLiteral("updateStatusConnection");
inline const QString updateServerContent = QStringLiteral("updateServerContent");
inline const QString checkVersion = QStringLiteral("checkVersion");
inline const QString jobOutcome = QStringLiteral("jobOutcome");
// With each "updateProgress": {"done": files done, "total": the job's files}.
inline const QString jobCount = QStringLiteral("jobCount");
// The answer to "readReport": {"path": its native path, "text": its text (or why it could not
// be read)}.
inline const QString reportText = QStringLiteral("reportText");
} // namespace MessageKey
