#include "bridge/jobworker.h"

#include "bridge/jobcontroller.h"
#include "engine/job/fileanonymizer.h"

#include <QDebug>

void anonymizeFiles(std::shared_ptr<const JobFiles> files, JobPlan::Block block,
                    JobController *controller)
{
    controller->workerStarted();
    // Whatever way the loop ends, the controller hears last that this worker is done with it.
    struct Finished
    {
        JobController *controller;
        ~Finished() { controller->workerFinished(); }
    } finished{ controller };

    FileAnonymizer::Folders folders;
    FileAnonymizer::CompiledProfile profile;
    JobController::FileSettings settings;
    bool compiled = false;
    for (qsizetype i = block.first; i < block.first + block.count; ++i) {
        // Checked between files only: a file once begun is finished, so no half-written
        // output is ever left by a stop.
        if (controller->stopRequested())
            return;
        // A copy for every file; the profile is compiled again only when it was edited.
        const quint64 lastRevision = settings.revision;
        settings = controller->settingsForFile();
        if (!compiled || settings.revision != lastRevision) {
            profile = FileAnonymizer::compileProfile(settings.profile);
            compiled = true;
        }
        const QString input = files->input(i);
        const QString output = files->output(i);
        qint64 bytesRead = 0;
        const FileOutcome outcome = FileAnonymizer::anonymizeFile(
                input, output, profile, settings.options, folders, &bytesRead);
        controller->addBytesRead(bytesRead);
        // readError() names the file that could not be read or written. A copy refused for its
        // residue was neither a read nor a write that failed.
        if (outcome.status == FileOutcome::Status::Failed && outcome.residue.isEmpty()) {
            if (bytesRead == 0) {
                emit controller->readError(input);
                qDebug() << "error read file" << input;
            } else {
                emit controller->readError(output);
                qDebug() << "error write file" << input << output;
            }
        }
        emit controller->fileFinished(outcome);
        emit controller->writeFile();
    }
}
