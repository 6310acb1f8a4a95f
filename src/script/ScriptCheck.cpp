#include "script/ScriptCheck.h"

#include "config/ScriptTokenizer.h"
#include "device/ScanCodes.h"
#include "script/ScriptFormat.h"

namespace vortal9::script {

std::optional<QString> playbackProblem(const QString &text)
{
    const QLatin1StringView hotKey = scancode::HotKey;
    if (text.size() <= PlaybackStart)
        return QStringLiteral("it is too short: a script holds the configuration hot key, the marker of its "
                              "answer and at least one key, more than %1 characters")
            .arg(PlaybackStart);
    if (!text.startsWith(hotKey, Qt::CaseInsensitive))
        return QStringLiteral("it does not start with the configuration hot key %1").arg(hotKey);
    if (playsAsWholePairs(text.mid(PlaybackStart)))
        return std::nullopt;
    for (qsizetype i = PlaybackStart; i < text.size(); ++i) {
        if (!isHexText(text.mid(i, 1)))
            return QStringLiteral("character %1 is not a hexadecimal digit").arg(i + 1);
    }
    return QStringLiteral("its keys end in a single digit: every key code is a pair of digits");
}

} // namespace vortal9::script
