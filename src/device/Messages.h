// The program's own words in the status bar, used by several handlers.
#pragma once

#include <QString>

namespace vortal9::text {

inline const QString Connect = QStringLiteral("Connect");
inline const QString Disconnect = QStringLiteral("Disconnect");
inline const QString CantFindReader = QStringLiteral("Can't Find VORTAL9");
inline const QString CantGetPath = QStringLiteral("Can't Get Device Path Name");
inline const QString OpenError = QStringLiteral("Open VORTAL9 Error");
inline const QString LengthError = QStringLiteral("Write Data Length Error");
inline const QString WriteError = QStringLiteral("Write Data Error");
inline const QString CantLoadFile = QStringLiteral("Can't Load File");
inline const QString LoadFileError = QStringLiteral("Load file error");
inline const QString CantSaveFile = QStringLiteral("Can't Save File");
inline const QString NotResponding = QStringLiteral("Reader Not Responding");

} // namespace vortal9::text
