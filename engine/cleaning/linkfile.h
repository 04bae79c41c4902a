#pragma once

#include "engine/cleaning/cleanup.h"

#include <QString>
#include <QStringList>

#include <mutex>
#include <vector>

// The site's link file: for every copy, each original-to-new pair the cleaning made (the
// patient's ID and its issuer to the pseudonym, each UID to its new UID, the patient's date
// offset), appended
// as CSV rows "copy,kind,element,original,new". It identifies patients: it is made readable by
// its owner only and is never written inside or beside the folders a job reads or writes.
//
// Shared by every worker of a job; append() is safe on any thread.
class LinkFile
{
public:
    LinkFile() = default;
    ~LinkFile();
    LinkFile(const LinkFile &) = delete;
    LinkFile &operator=(const LinkFile &) = delete;

    // Why `path` may not hold a link file for a job over `droppedFolders`: it lies inside a
    // dropped folder or an output folder (any folder named "…_depersonification…"), or beside
    // them (in a dropped folder's parent), or it is no regular file. Empty when it may.
    static QString refusal(const QString &path, const QStringList &droppedFolders);

    // Opens `path` to append to, creating it with mode 0600 (an existing file is set to 0600
    // and must belong to this user). False, with `error` set, on failure.
    bool open(const QString &path, QString *error);

    // The rows of one copy, written at once. False, with `error` set, when they could not be
    // written whole.
    bool append(const QString &copy, const std::vector<Cleanup::Link> &links, QString *error);

    // One CSV field: quoted where it holds a comma, a quote, a line break or edge spaces.
    static QByteArray field(const QByteArray &text);

private:
    std::mutex m_mutex;
    int m_fd = -1;
};
