#include "batch/Runner.h"

#include "batch/OpenFileLimit.h"
#include "batch/Output.h"
#include "batch/Progress.h"
#include "batch/ReaderChoice.h"
#include "batch/TranscriptFile.h"
#include "script/ScriptCheck.h"
#include "script/ScriptFormat.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstring>

namespace vortal9::batch {

Runner::Runner(Environment &env)
    : m_env(env)
{
    m_firstCheck.setSingleShot(true);
    QObject::connect(&m_firstCheck, &QTimer::timeout, &m_context, [this] { checkDone(); });
}

Runner::~Runner()
{
    // No handler may outlive the jobs it ends.
    if (m_env.onInterrupt)
        m_env.onInterrupt({});
}

std::vector<std::string> Runner::discoverReaders()
{
    return batch::discoverReaders(*m_env.platform);
}

const std::vector<ReaderDiagnosis> &Runner::diagnoses() const
{
    if (!m_diagnoses)
        m_diagnoses = diagnoseReaders(m_env.system);
    return *m_diagnoses;
}

std::vector<ReaderDiagnosis> Runner::unreachedReaders(const std::vector<std::string> &discovered) const
{
    std::vector<ReaderDiagnosis> unreached;
    for (const ReaderDiagnosis &d : diagnoses()) {
        if (d.hasFeatureReport && !d.usable()
            && std::find(discovered.begin(), discovered.end(), d.hidraw.toStdString()) == discovered.end())
            unreached.push_back(d);
    }
    return unreached;
}

const ReaderDiagnosis *Runner::diagnosisOf(const std::vector<ReaderDiagnosis> &all, const QString &path)
{
    const auto it = std::find_if(all.begin(), all.end(), [&](const ReaderDiagnosis &d) { return d.hidraw == path; });
    return it == all.end() ? nullptr : &*it;
}

void Runner::sayNoReaderAttached()
{
    err() << "No VORTAL9 reader is attached." << Qt::endl;
    for (const QString &line : checksWithoutReader(m_env.system))
        err() << line << Qt::endl;
}

std::optional<QString> Runner::loadScript(const QString &argument)
{
    const script::LoadResult loaded = script::loadScriptFile(argumentBytes(argument));
    QString problem;
    if (loaded.status == script::LoadResult::Status::OpenFailed) {
        using Problem = script::LoadResult::OpenProblem;
        switch (loaded.openProblem) {
        case Problem::NoSuchFile: problem = QStringLiteral("no such file"); break;
        case Problem::PermissionDenied: problem = QStringLiteral("cannot be read: permission denied"); break;
        case Problem::Directory: problem = QStringLiteral("is a folder, not a script file"); break;
        case Problem::NotARegularFile:
            problem = QStringLiteral("is not a regular file (a device, a pipe or a socket), not a script file");
            break;
        case Problem::None:
        case Problem::Other:
            problem = loaded.error != 0
                ? QStringLiteral("cannot be read: %1").arg(QString::fromLocal8Bit(std::strerror(loaded.error)))
                : QStringLiteral("cannot be read as a script file");
            break;
        }
    } else if (loaded.status == script::LoadResult::Status::TooLarge)
        problem = QStringLiteral("is too large for a script (%1 bytes or more)").arg(script::MaxScriptFileBytes);
    else if (const auto why = script::playbackProblem(loaded.text))
        problem = QStringLiteral("cannot be played: %1").arg(*why);
    if (problem.isEmpty())
        return loaded.text;
    err() << "vortal9-batch: " << shown(argument) << ": " << problem << Qt::endl;
    return std::nullopt;
}

Job &Runner::addJob(int number, const QString &path)
{
    const int tries = m_watching ? Job::WatchCaptureTries : 1;
    auto job = std::make_unique<Job>(number, path, *m_env.platform, m_env.capture, m_env.timing, m_script, tries);
    ReaderInfo described;
    if (const ReaderDiagnosis *d = diagnosisOf(diagnoses(), path)) {
        described.usb = d->usbLocation;
        described.serial = d->serial;
    }
    m_described.push_back(described);
    Job *added = job.get();
    QObject::connect(added, &Job::progressed, &m_context, [this, added] { drawProgress(*added); });
    QObject::connect(added, &Job::resultKnown, &m_context, [this, added] {
        drawProgress(*added);
        if (m_watching)
            printResult(*added);
    });
    QObject::connect(added, &Job::released, &m_context, [this] { checkDone(); });
    m_jobs.push_back(std::move(job));
    return *added;
}

void Runner::runJobs(const QString &script, bool json, bool watching)
{
    m_script = script;
    m_json = json;
    m_watching = watching;
    if (m_env.onInterrupt)
        m_env.onInterrupt([this] { interruptAll(); });
}

void Runner::exec()
{
    // Jobs that ended before the loop runs are seen as soon as it does.
    m_firstCheck.start(0);
    m_loop.exec();
}

void Runner::interruptAll()
{
    m_interrupted = true;
    // A job may be added while the others end: go by index.
    for (std::size_t i = 0; i < m_jobs.size(); ++i)
        m_jobs[i]->handle(Job::Event::Interrupted);
    checkDone();
}

void Runner::checkDone()
{
    if (m_watching && !m_interrupted)
        return;
    const bool allDone
        = std::all_of(m_jobs.begin(), m_jobs.end(), [](const auto &job) { return job->state() == Job::State::Done; });
    if (allDone)
        m_loop.quit();
}

QStringList Runner::fixesOf(const Job &job) const
{
    std::vector<ReaderDiagnosis> mine;
    for (const ReaderDiagnosis &d : diagnoses()) {
        if (d.hidraw == job.path())
            mine.push_back(d);
    }
    return fixesFor(mine, m_env.system);
}

void Runner::printResult(const Job &job)
{
    const QStringList fixes = job.result() == Job::Result::NotCaptured ? fixesOf(job) : QStringList();
    batch::printResult(out(), m_json, job, m_described.at(indexOf(job)), fixes);
}

void Runner::makeRoomForReaders(std::size_t count)
{
    batch::makeRoomForReaders(count, err());
}

std::optional<std::vector<int>> Runner::chosenReaders(const Options &options, const std::vector<std::string> &readers)
{
    return chooseReaders(options.readers, options.all, readers, err(), tool());
}

std::size_t Runner::indexOf(const Job &job) const
{
    return std::size_t(
        std::find_if(m_jobs.begin(), m_jobs.end(), [&](const auto &j) { return j.get() == &job; }) - m_jobs.begin());
}

Runner::Proof Runner::prove(const std::optional<transcript::Steps> &reference)
{
    Proof proof;
    for (std::size_t i = 0; i < m_jobs.size(); ++i) {
        const Job &job = *m_jobs[i];
        if (job.result() != Job::Result::Configured || !job.session())
            continue;
        const transcript::Steps steps = job.session()->transcript();
        ReaderInfo &info = m_described[i];
        if (reference)
            info.difference = transcript::firstDifference(*reference, steps);
        if (!info.difference)
            info.cardSwipedStep = transcript::firstVoidStep(steps);
        proof.differs = proof.differs || info.difference.has_value();
        proof.cardSwiped = proof.cardSwiped || info.cardSwipedStep.has_value();
    }
    return proof;
}

QString Runner::writeTranscript(const QString &file, const QString &scriptName) const
{
    QJsonArray readers;
    for (std::size_t i = 0; i < m_jobs.size(); ++i) {
        const Job &job = *m_jobs[i];
        readers.append(QJsonObject { { "reader", job.number() }, { "hidraw", job.path() },
            { "usb", m_described[i].usb }, { "serial", m_described[i].serial },
            { "result", resultText(job, m_described[i]) },
            { "steps", transcript::stepsToJson(job.session() ? job.session()->transcript() : transcript::Steps()) } });
    }
    return writeTranscriptFile(file, scriptName, readers);
}

void Runner::drawProgress(const Job &job)
{
    if (!m_env.terminal || m_json || m_watching)
        return;
    const std::size_t index = indexOf(job);
    progressLine(err(), job, index, m_jobs.size(), resultText(job, m_described.at(index)));
}

} // namespace vortal9::batch
