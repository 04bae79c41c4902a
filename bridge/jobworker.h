#pragma once

#include "engine/job/jobfiles.h"
#include "engine/job/jobplan.h"

#include <memory>

class QMutex;
class QmlHandler;

// The worker function of a job, run on a pool thread: anonymizes the files of `block` in
// `files`, each from its input into its output, one after the other. Every file ends in exactly one
// fileFinished() and then one writeFile() of the bridge; a failure also emits readError() first,
// with the input's path when the input could not be read, with the output's when the copy could
// not be written. Stops between files once the bridge asks it to (shutdown). The bridge
// waits for its workers before it is destroyed.
//
// The per-file copy of the profile and the job's options is taken through the bridge, under
// the job mutex that is passed here too.
void anonymizeFiles(std::shared_ptr<const JobFiles> files, JobPlan::Block block, QMutex *jobMutex,
                    QmlHandler *handler);
