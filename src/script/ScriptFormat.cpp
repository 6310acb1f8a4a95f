// The script file: one line of hexadecimal digit pairs followed by CR LF.
#include "script/ScriptFormat.h"

#include "device/ScanCodes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vortal9::script {

namespace {

constexpr char LineEnd[] = "\r\n";
constexpr qsizetype LineEndLength = 2;

bool isPathSeparator(QChar c)
{
    return c == u'\\' || c == u'/';
}

} // namespace

QByteArray scriptFileBytes(const QString &recordBuffer)
{
    QByteArray bytes = recordBuffer.toLatin1();
    bytes.append(LineEnd, LineEndLength);
    return bytes;
}

QString scriptTextFromBytes(const QByteArray &bytes)
{
    // A file edited elsewhere may end in a bare LF: that byte alone is the
    // line end. Otherwise the last two bytes are, whatever they hold, so a
    // file without any line end loses its last two characters.
    const qsizetype lineEnd = bytes.endsWith('\n') && !bytes.endsWith(LineEnd) ? 1 : LineEndLength;
    if (bytes.size() < lineEnd)
        return {};
    return QString::fromLatin1(bytes.first(bytes.size() - lineEnd));
}

QString displayedName(const QString &path)
{
    // Scripts may come from Windows paths, so both separators end a folder.
    qsizetype start = path.size();
    while (start > 0 && !isPathSeparator(path.at(start - 1)))
        --start;
    return path.mid(start);
}

bool isHexText(const QString &text)
{
    return std::all_of(text.begin(), text.end(), scancode::isHexDigit);
}

bool playsAsWholePairs(const QString &text)
{
    return text.size() % 2 == 0 && isHexText(text);
}

QString normalizedScript(const QString &text)
{
    QString normalized = text;
    for (QChar &c : normalized) {
        if (c >= u'a' && c <= u'f')
            c = QChar(c.unicode() - u'a' + u'A');
    }
    return normalized;
}

namespace {

// Reads a file that is open: TooLarge at MaxScriptFileBytes bytes or more.
LoadResult readOpenScript(QFile &file)
{
    LoadResult result;
    if (file.size() >= MaxScriptFileBytes) {
        result.status = LoadResult::Status::TooLarge;
        return result;
    }
    // Read no more than the limit, in case the file grew after its size was taken.
    const QByteArray bytes = file.read(MaxScriptFileBytes);
    if (bytes.size() >= MaxScriptFileBytes) {
        result.status = LoadResult::Status::TooLarge;
        return result;
    }
    result.status = LoadResult::Status::Loaded;
    result.text = scriptTextFromBytes(bytes);
    return result;
}

} // namespace

LoadResult loadScriptFile(const QString &path)
{
    // Only a regular file, or a link to one, is opened: opening a FIFO waits
    // for a writer that may never come, and a device may never end.
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return {};
    return readOpenScript(file);
}

LoadResult loadScriptFile(const QByteArray &nativePath)
{
#ifdef Q_OS_UNIX
    // Opened without waiting (a FIFO would wait for a writer), then taken
    // only when what was opened is a regular file.
    LoadResult refused;
    const int fd = ::open(nativePath.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        refused.error = errno;
        if (errno == ENOENT || errno == ENOTDIR)
            refused.openProblem = LoadResult::OpenProblem::NoSuchFile;
        else if (errno == EACCES || errno == EPERM)
            refused.openProblem = LoadResult::OpenProblem::PermissionDenied;
        return refused;
    }
    struct stat info = {};
    QFile file;
    if (::fstat(fd, &info) != 0) {
        refused.error = errno;
    } else if (S_ISDIR(info.st_mode)) {
        refused.openProblem = LoadResult::OpenProblem::Directory;
    } else if (!S_ISREG(info.st_mode)) {
        refused.openProblem = LoadResult::OpenProblem::NotARegularFile;
    } else if (file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        return readOpenScript(file);
    }
    ::close(fd);
    return refused;
#else
    // The tool's arguments reach here as UTF-8 (Windows gives them as
    // UTF-16); what keeps the file from being read is told as on Unix.
    const QString path = QString::fromUtf8(nativePath);
    const QFileInfo info(path);
    LoadResult refused;
    if (!info.exists())
        refused.openProblem = LoadResult::OpenProblem::NoSuchFile;
    else if (info.isDir())
        refused.openProblem = LoadResult::OpenProblem::Directory;
    else if (!info.isFile())
        refused.openProblem = LoadResult::OpenProblem::NotARegularFile;
    else {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            return readOpenScript(file);
        if (file.error() == QFileDevice::PermissionsError || !info.isReadable())
            refused.openProblem = LoadResult::OpenProblem::PermissionDenied;
    }
    return refused;
#endif
}

QString saveScriptFile(const QString &path, const QString &recordBuffer)
{
    // QSaveFile writes to a temporary file next to the target and renames it
    // over the target only in commit(), so a failure anywhere before that
    // leaves an existing file of that name as it was. A folder that forbids
    // new files still lets an existing file that may be written be replaced
    // in place: the only way to save there, without that guarantee.
    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    const auto failure = [&file, &path] {
        return QStringLiteral("Cannot save \"%1\": %2").arg(QDir::toNativeSeparators(path), file.errorString());
    };
    if (!file.open(QIODevice::WriteOnly))
        return failure();
    const QByteArray bytes = scriptFileBytes(recordBuffer);
    // On failure the destructor discards the temporary file. The explicit
    // flush matters: commit() does not notice a write error that only shows
    // when its own flush pushes out the buffered bytes (a full disk or a file
    // size limit part way through), and would then rename a truncated file
    // over the old one.
    if (file.write(bytes) != bytes.size() || !file.flush() || !file.commit())
        return failure();
    return {};
}

} // namespace vortal9::script
