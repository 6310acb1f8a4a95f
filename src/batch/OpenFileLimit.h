// Room in the open-file limit for the readers a command is about to hold.
#pragma once

#include <cstddef>

class QTextStream;

namespace vortal9::batch {

// Each reader held costs open files: its hidraw node and its input event
// nodes. Raises the soft limit of open files (up to the hard limit) when
// count readers would not fit, and says so on err; warns when even the hard
// limit is too low.
void makeRoomForReaders(std::size_t count, QTextStream &err);

} // namespace vortal9::batch
