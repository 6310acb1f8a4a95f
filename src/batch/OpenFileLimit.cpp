#include "batch/OpenFileLimit.h"

#include <QTextStream>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace vortal9::batch {

void makeRoomForReaders(std::size_t count, QTextStream &err)
{
#ifdef Q_OS_UNIX
    // The hidraw node, up to three input event nodes, and room for the
    // program's own files (Qt, udev, the terminal).
    constexpr rlim_t PerReader = 4;
    constexpr rlim_t OwnFiles = 64;
    const rlim_t needed = OwnFiles + PerReader * rlim_t(count);
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed)
        return;
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? needed : std::min(needed, limit.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        limit.rlim_cur = before;
    if (limit.rlim_cur >= needed) {
        err << "vortal9-batch: " << count << " readers need up to " << needed
            << " open files: the limit was raised from " << before << " to " << limit.rlim_cur << "." << Qt::endl;
    } else {
        err << "vortal9-batch: " << count << " readers need up to " << needed << " open files, but at most "
            << limit.rlim_cur << " are allowed (ulimit -Hn): some readers may not be opened." << Qt::endl;
    }
#else
    Q_UNUSED(count);
    Q_UNUSED(err);
#endif
}

} // namespace vortal9::batch
