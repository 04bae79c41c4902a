#pragma once

#include <QtGlobal>

// The progress rule of a job: the fraction of its files done, sent to the windows at most
// once per throttle interval, except near and at the end, which are always sent.
namespace Progress {

inline constexpr qint64 throttleMs = 50;

// done / total in single precision, both converted before dividing; 0 when total <= 0.
float fraction(int done, int total);

// Whether a report is sent: more than throttleMs since the last one, or the fraction (widened
// to double) above 0.9999, so the last file's 1 is never held back.
bool shouldSend(qint64 elapsedMs, float fraction);

} // namespace Progress
