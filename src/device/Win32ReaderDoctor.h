// The reader doctor on Windows (capture/ReaderDoctor.h's functions have
// their Windows meaning there): every HID interface with the reader's
// identifiers, whether the program can open it (for reading and writing,
// or with no access rights, which is enough for its feature report: Windows
// keeps a keyboard's collection for itself), whether it has a feature
// report, and the keyboards Raw Input lists for it (ReaderDiagnosis'
// eventNodes: how its typing is heard). Its USB location and serial come
// from the device tree, or the serial from the HID interface itself.
#pragma once

#include "capture/ReaderDoctor.h"

#include <vector>

namespace vortal9 {

class HidPlatform;
struct Win32DeviceTree;

// The diagnoses on the given platform and device tree (diagnoseReaders()
// passes Windows' own).
std::vector<ReaderDiagnosis> diagnoseWin32Readers(HidPlatform &platform, const Win32DeviceTree &tree);

} // namespace vortal9
