// One script played at real speed to 1, 2 and 4 emulated readers at the same
// time, each in its own captured session on the one thread: the wall time of
// each round against one reader alone, and the process's CPU time against
// the wall time.
#include "EmulatedPlatform.h"
#include "EmulatedReader.h"
#include "session/ReaderSession.h"

#include <QApplication>
#include <QEventLoop>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Round
{
    double wall = 0;
    double cpu = 0;
    int configured = 0;
};

// Beep off, next terminator, preamble "Ab" (with Shift), save and exit.
const QString Script = QStringLiteral("141109F009F011F014FF"
                                      "2EF02EFF26F026FF16F016FF121CF01CFFF01232F032FF5AF05AFF3EF03EFF");

Round playTo(int readers, int round)
{
    vortal9::emu::EmulatedPlatform platform;
    std::vector<std::unique_ptr<vortal9::ReaderSession>> sessions;
    std::vector<vortal9::emu::EmulatedReader *> emulated;
    int finished = 0;
    QEventLoop loop;
    for (int i = 0; i < readers; ++i) {
        const std::string path = "/dev/hidraw" + std::to_string(round * 10 + i);
        emulated.push_back(platform.addReader(path));
        auto session = std::make_unique<vortal9::ReaderSession>(platform, &platform);
        QObject::connect(session.get(), &vortal9::ReaderSession::playbackFinished, &loop, [&] {
            if (++finished == readers)
                loop.quit();
        });
        session->open(path);
        sessions.push_back(std::move(session));
    }
    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (auto &session : sessions)
        session->playScript(Script);
    loop.exec();
    Round r;
    r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.cpu = cpuSeconds() - cpuBefore;
    for (auto *reader : emulated)
        r.configured += reader->storedSettings().value(QStringLiteral("preamble")) == QLatin1String("Ab");
    return r;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    std::printf("a %lld-character script played to N emulated readers at once, real intervals:\n",
                static_cast<long long>(Script.size()));
    std::printf("  readers   wall s   wall / one alone   CPU s   CPU / wall   configured\n");
    double alone = 0;
    bool allConfigured = true;
    int round = 0;
    for (int readers : {1, 2, 4}) {
        const Round r = playTo(readers, round++);
        if (readers == 1)
            alone = r.wall;
        std::printf("  %7d   %6.3f   %16.3f   %5.3f   %10.4f   %d of %d\n", readers, r.wall, r.wall / alone, r.cpu,
                    r.cpu / r.wall, r.configured, readers);
        allConfigured = allConfigured && r.configured == readers;
    }
    return allConfigured ? 0 : 1;
}
