#include "bridge/jobworker.h"

#include "bridge/qmlhandler.h"
#include "engine/job/fileanonymizer.h"

#include <QDebug>

void anonymizeFiles(std::shared_ptr<const JobFiles> files, JobPlan::Block block, QMutex *jobMutex,
                    QmlHandler *handler)
{
    handler->workerStarted();
    // Whatever way the loop ends, the bridge hears last that this worker is done with it.
    struct Finished
    {
        QmlHandler *handler;
        ~Finished() { handler->workerFinished(); }
    } finished{ handler };

    // jobSettings() copies the profile and the options under this same mutex.
    Q_UNUSED(jobMutex);
    FileAnonymizer::Folders folders;
    FileAnonymizer::CompiledProfile profile;
    FileAnonymizer::Options options;
    quint64 profileRevision = 0;
    bool compiled = false;
    for (qsizetype i = block.first; i < block.first + block.count; ++i) {
        // Checked between files only: a file once begun is finished, so no half-written
        // output is ever left by a shutdown.
        if (handler->stopRequested())
            return;
        // A copy for every file, so an edit made meanwhile applies from the next file on; the
        // profile is read again only when it was edited.
        quint64 revision = 0;
        const QmlHandler::JobSettings settings = handler->jobSettings(&revision);
        if (!compiled || revision != profileRevision) {
            profile = FileAnonymizer::compileProfile(settings.profile);
            options = FileAnonymizer::Options();
            options.standard = settings.standard;
            options.strict = settings.strict;
            options.uids = settings.uids;
            options.ocr = settings.ocr;
            options.blankText = settings.blankText;
            options.standardOptions = settings.standard ? settings.standardOptions : 0;
            options.rename = settings.rename;
            options.links = settings.links;
            options.claims = settings.claims;
            profileRevision = revision;
            compiled = true;
        }
        const QString input = files->input(i);
        const QString output = files->output(i);
        qint64 bytesRead = 0;
        const FileOutcome outcome = FileAnonymizer::anonymizeFile(input, output, profile, options,
                                                                  folders, &bytesRead);
        handler->addBytesRead(bytesRead);
        // readError() names the file that could not be read or written. A copy refused for its
        // residue was neither a read nor a write that failed.
        if (outcome.status == FileOutcome::Status::Failed && outcome.residue.isEmpty()) {
            const bool inputRead = bytesRead > 0;
            if (!inputRead) {
                emit handler->readError(input);
                qDebug() << "error read file" << input;
            } else {
                emit handler->readError(output);
                qDebug() << "error write file" << input << output;
            }
        }
        emit handler->fileFinished(outcome);
        emit handler->writeFile();
    }
}
