#pragma once

#include "engine/job/jobfiles.h"
#include "engine/job/jobplan.h"

#include <memory>

class JobController;

// The worker function of a job, run on a pool thread: anonymizes the files of `block` in
// `files`, each from its input into its output, one after the other. Every file ends in exactly
// one fileFinished() and then one writeFile() of the controller; a failure also emits
// readError() first, with the input's path when the input could not be read, with the output's
// when the copy could not be written. Stops between files once the controller asks it to. The
// controller waits for its workers before it is destroyed.
//
// The settings are copied from the controller at the start of every file, so an edit made
// meanwhile applies from the next file on.
void anonymizeFiles(std::shared_ptr<const JobFiles> files, JobPlan::Block block,
                    JobController *controller);
