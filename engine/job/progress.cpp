#include "engine/job/progress.h"

namespace Progress {

float fraction(int done, int total)
{
    if (total <= 0)
        return 0.0f;
    return static_cast<float>(done) / static_cast<float>(total);
}

bool shouldSend(qint64 elapsedMs, float fraction)
{
    return elapsedMs > throttleMs || static_cast<double>(fraction) > 0.9999;
}

} // namespace Progress
