#pragma once

#include "engine/job/fileanonymizer.h"
#include "engine/job/jobplan.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

class QTextStream;

// The headless command's command line: what it asks for, and the words it answers with.
namespace CliArguments {

constexpr int exitOk = 0;
constexpr int exitFailures = 1;
constexpr int exitUsage = 2;
constexpr int exitInterrupted = 130;

// What the command line asks for.
struct Request
{
    int jobs = 0; // 0: the bridge's default
    // How the files are cleaned and named; its UID map and link file come from the two below,
    // which the command reads and opens.
    FileAnonymizer::Options options;
    QByteArray uidKey; // empty: this installation's own
    QString linkFile; // empty: none
    JobPlan::Shard shard;
    QStringList folders;
};

// Writes "<command>: <message>" and the short usage to `err`; returns the usage error's status.
int usageError(QTextStream &err, const QString &message);

// "K/N" with 1 <= K <= N: this machine's shard of the job.
bool parseShard(const QString &text, JobPlan::Shard &shard);

// Reads `arguments` (the program's name first) into `request`. Returns -1 to go on with the
// job, or the exit status when the command is done already: help or version (written to
// `out`), a new UID key written and no folder given, or a usage error (written to `err`).
int parse(const QStringList &arguments, Request &request, QTextStream &out, QTextStream &err);

} // namespace CliArguments
