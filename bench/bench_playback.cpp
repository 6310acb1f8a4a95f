// A playback ("Setting") at real speed on the emulated reader, against the
// protocol's minimum for its script: the waits that playback must make (the
// pacing wait before every report, the pause after every break that no
// answer follows, the quiet period after every answer). Also the process's
// CPU time against the wall time of the playback.
#include "EmulatedPlatform.h"
#include "EmulatedReader.h"
#include "config/ScriptTokenizer.h"
#include "device/CommandChunks.h"
#include "ui/MainForm.h"
#include "ui/UserDialogs.h"

#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

class FixedDialogs : public vortal9::UserDialogs
{
public:
    QString file;
    bool askYesNo(QWidget *, const QString &, const QString &) override { return false; }
    QString openFileName(QWidget *, const QString &, const QString &) override { return file; }
    QString saveFileName(QWidget *, const QString &) override { return {}; }
    void warn(QWidget *, const QString &, const QString &) override {}
};

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The waits the protocol mandates for a script, in milliseconds: the pacing
// wait before every report, the pause after every break that no answer
// follows, and the quiet period after every answer. A reader may start its
// answer at the report before the one that precedes the marker (a key's make
// rather than its break), so each quiet period counts only beyond one pacing
// wait.
int protocolMinimumMs(const QString &script, const vortal9::Timing &t)
{
    const int quietBeyondPacing = std::max(0, t.quietMs - t.pacingMs);
    int ms = 2 * t.pacingMs + quietBeyondPacing; // the hot key, then its answer
    for (qsizetype p = vortal9::script::PlaybackStart;;) {
        const vortal9::script::Token token = vortal9::script::cutToken(script, p);
        ms += t.pacingMs * static_cast<int>(vortal9::chunkCommand(token.text).size());
        if (token.waitForAnswer)
            ms += quietBeyondPacing;
        else if (token.isBreak)
            ms += t.breakPauseMs;
        if (!vortal9::script::hasNextToken(script, token.next))
            break;
        p = token.next;
    }
    return ms;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Beep off, next terminator, preamble "Ab" (with Shift), save and exit.
    const QString script = QStringLiteral("141109F009F011F014FF"
                                          "2EF02EFF26F026FF16F016FF121CF01CFFF01232F032FF5AF05AFF3EF03EFF");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.TXT"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return 2;
    file.write(script.toLatin1() + "\r\n");
    file.close();

    vortal9::emu::EmulatedPlatform platform;
    vortal9::emu::EmulatedReader *reader = platform.addReader("/dev/hidraw1");
    FixedDialogs dialogs;
    dialogs.file = path;
    const vortal9::Timing timing = vortal9::Timing::real();
    vortal9::MainForm form(platform, nullptr, dialogs, timing);
    form.show();
    QApplication::processEvents();
    form.findChild<QPushButton *>(QStringLiteral("BtnLoadFile"))->click();

    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    QEventLoop playing;
    QObject::connect(&form.session(), &vortal9::ReaderSession::playbackFinished, &playing, &QEventLoop::quit);
    form.findChild<QPushButton *>(QStringLiteral("BtnConSetting"))->click();
    playing.exec();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;

    const int minimum = protocolMinimumMs(script, timing);
    std::printf("playback of a %lld-character script on the emulated reader:\n", static_cast<long long>(script.size()));
    std::printf("  wall %.3f s, protocol minimum %.3f s, ratio %.2f (the rest is the reader typing)\n", wall,
                minimum / 1000.0, wall * 1000.0 / minimum);
    std::printf("  CPU %.3f s during the playback, CPU/wall %.3f\n", cpu, cpu / wall);
    const bool configured = reader->storedSettings().value(QStringLiteral("preamble")) == QLatin1String("Ab");
    std::printf("  reader configured: %s\n", configured ? "yes" : "NO");
    return configured ? 0 : 1;
}
