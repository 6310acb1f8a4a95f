// vortal9-batch-emulated: vortal9-batch's own command line (batch::run) on
// emulated readers, for demos and for tests of scripts that drive the tool
// (never installed, never packaged). The readers are described by the JSON
// fleet file that VORTAL9_EMULATED_FLEET names (see Fleet.h); their stored
// settings live as long as the process.
//
// Their sysfs and /dev trees are laid out in a scratch folder that is
// removed at the end. Output shows the readers by the paths that the fleet
// file gives them (/dev/hidrawN), and --reader takes those paths.
#include "EmulatedMonitor.h"
#include "EmulatedPlatform.h"
#include "Fleet.h"
#include "batch/BatchTool.h"
#include "capture/KeyDecoder.h"
#include "platform/EndingSignals.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QIODevice>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

// Standard output or error with the scratch root taken out of every path,
// so that /tmp/vortal9-fleet-XXXXXX/dev/hidraw1 prints as /dev/hidraw1. A
// written piece that ends in the beginning of the root is held back until
// the next piece shows whether the root follows.
class RootHidingOutput final : public QIODevice
{
public:
    RootHidingOutput(FILE *file, const QByteArray &root)
        : m_file(file)
        , m_root(root)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    ~RootHidingOutput() override { put(std::exchange(m_held, {})); }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 length) override
    {
        QByteArray text = m_held + QByteArray(data, length);
        text.replace(m_root, QByteArray());
        m_held.clear();
        for (qsizetype keep = std::min(text.size(), m_root.size() - 1); keep > 0; --keep) {
            if (m_root.startsWith(text.right(keep))) {
                m_held = text.right(keep);
                text.chop(keep);
                break;
            }
        }
        put(text);
        return length;
    }

private:
    void put(const QByteArray &text)
    {
        std::fwrite(text.constData(), 1, std::size_t(text.size()), m_file);
        std::fflush(m_file);
    }

    FILE *m_file;
    QByteArray m_root;
    QByteArray m_held;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vortal9-batch-emulated"));
    // Held until the process ends: a signal while the program tears down,
    // after its result, must not change its exit status.
    vortal9::EndingSignals endingSignals;
    endingSignals.holdUntilExit();

    const QString fleetFile = qEnvironmentVariable("VORTAL9_EMULATED_FLEET");
    if (fleetFile.isEmpty()) {
        std::fprintf(stderr, "vortal9-batch-emulated: set VORTAL9_EMULATED_FLEET to a fleet file (JSON)\n");
        return vortal9::batch::UsageError;
    }
    QFile file(fleetFile);
    QString problem;
    std::optional<vortal9::emu::Fleet> fleet;
    if (!file.open(QIODevice::ReadOnly))
        problem = QStringLiteral("cannot be read");
    else
        fleet = vortal9::emu::parseFleet(file.read(1 << 20), &problem);
    if (!fleet) {
        std::fprintf(stderr, "vortal9-batch-emulated: %s: %s\n", qPrintable(fleetFile), qPrintable(problem));
        return vortal9::batch::UsageError;
    }

    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/vortal9-fleet-XXXXXX"));
    vortal9::emu::EmulatedPlatform platform;
    vortal9::emu::EmulatedMonitor monitor(platform);
    if (!root.isValid() || !vortal9::emu::installFleet(*fleet, root.path(), platform, &problem)) {
        std::fprintf(stderr, "vortal9-batch-emulated: %s\n", qPrintable(problem));
        return vortal9::batch::NotAllConfigured;
    }

    // The readers type as U.S. keyboards; where XKB_DEFAULT_LAYOUT names
    // another layout, the host decodes their keys with it, as the real
    // tool decodes a reader's keys with the system's layout.
    if (!qEnvironmentVariableIsEmpty("XKB_DEFAULT_LAYOUT")) {
        std::shared_ptr<vortal9::KeyDecoder> decoder(
            vortal9::KeyDecoder::fromNames(vortal9::systemKeymapNames(), &problem).release());
        if (!decoder) {
            std::fprintf(stderr, "vortal9-batch-emulated: %s\n", qPrintable(problem));
            return vortal9::batch::UsageError;
        }
        platform.setHostKeymap(
            [decoder](quint16 code, bool shifted) { return decoder->typedAlone(int(code), shifted); });
    }

    vortal9::batch::Environment env;
    env.platform = &platform;
    env.capture = &platform;
    env.monitor = &monitor;
    env.system.sysRoot = root.filePath(QStringLiteral("sys"));
    env.system.devRoot = root.filePath(QStringLiteral("dev"));
    env.system.udevRuleDirs = { root.filePath(QStringLiteral("etc/udev/rules.d")) };
    // The emulated monitor announces plug-ins as a udev daemon would.
    env.system.udevControl = root.filePath(QStringLiteral("run/udev/control"));
    env.system.batchCommand
        = vortal9::batchCommandFor(QCoreApplication::applicationFilePath(), qEnvironmentVariable("PATH"));
    RootHidingOutput outDevice(stdout, QFile::encodeName(root.path()));
    RootHidingOutput errDevice(stderr, QFile::encodeName(root.path()));
    QTextStream out(&outDevice);
    QTextStream err(&errDevice);
    env.out = &out;
    env.err = &err;
    env.terminal = ::isatty(STDERR_FILENO) != 0;
    env.onInterrupt = [&endingSignals](std::function<void()> handler) { endingSignals.setHandler(std::move(handler)); };

    // A reader's path as the fleet file gives it stands for its node below the root.
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        QString argument = vortal9::batch::argumentFromBytes(QByteArray(argv[i]));
        for (const vortal9::emu::FleetReader &reader : fleet->readers) {
            if (argument == reader.path)
                argument = root.path() + argument;
        }
        arguments << argument;
    }
    const int status = vortal9::batch::run(arguments, env);
    out.flush();
    err.flush();
    return status;
}
