// The script file: one line of hexadecimal digit pairs followed by CR LF.
#pragma once

#include <QByteArray>
#include <QString>

namespace vortal9::script {

// Files of this many bytes or more are refused by the loader.
inline constexpr qint64 MaxScriptFileBytes = 65535;

// Bytes of the file for a recording: the text in Latin-1 followed by CR LF.
QByteArray scriptFileBytes(const QString &recordBuffer);

// Script text for the file's bytes, decoded as Latin-1, without the line
// end: the last byte when the file ends in a bare LF, otherwise the last two
// bytes (CR LF, or the last two characters of a file without a line end).
// Fewer bytes than that give empty text.
QString scriptTextFromBytes(const QByteArray &bytes);

// The name shown for a script path: the file's name, everything after the
// last '/' or '\'. Empty when the path is empty or ends in a separator.
QString displayedName(const QString &path);

// True when text consists only of the characters 0-9, A-F and a-f.
bool isHexText(const QString &text);

// True when text is whole hexadecimal pairs: nothing but 0-9, A-F and a-f,
// and an even number of them. Playback sends only whole pairs, so an odd
// last character of a playback part would never reach the reader.
bool playsAsWholePairs(const QString &text);

// The script with the letters a-f in upper case, so that lower-case digits
// and "ff" markers play as the upper-case ones the program writes. Nothing
// else is touched.
QString normalizedScript(const QString &text);

struct LoadResult
{
    enum class Status { Loaded, OpenFailed, TooLarge };
    // Why a file was not opened (with OpenFailed).
    enum class OpenProblem {
        None,
        NoSuchFile, // no file of that name (or a folder on its path is missing)
        PermissionDenied, // the user may not read it
        Directory, // the name is a folder's
        NotARegularFile, // a device, a pipe or a socket
        Other, // another error of the system: error says which
    };
    Status status = Status::OpenFailed;
    QString text;
    OpenProblem openProblem = OpenProblem::Other;
    int error = 0; // the system's error number, with Other
};

// Reads a script file: refused as OpenFailed when it is not a regular file
// (after following links) or cannot be opened, and as TooLarge when it has
// MaxScriptFileBytes bytes or more; otherwise its text without the line end.
LoadResult loadScriptFile(const QString &path);
// The same for a file name as the system's bytes (a command line's argument),
// opened as it is: a name that is not valid UTF-8 is found too. Where it
// was not opened, openProblem says why.
LoadResult loadScriptFile(const QByteArray &nativePath);

// Writes the recording as a script file through QSaveFile, so that a failed
// or interrupted write leaves any earlier file of that name untouched. In a
// folder that forbids new files, an existing file that may be written is
// written in place instead, without that guarantee. Returns an empty string
// when the file was written completely, otherwise what failed and where.
[[nodiscard]] QString saveScriptFile(const QString &path, const QString &recordBuffer);

} // namespace vortal9::script
