#include "batch/Runner.h"

#include "batch/Output.h"
#include "device/AccessUSBIO.h"
#include "script/ScriptCheck.h"
#include "script/ScriptFormat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QJsonObject>
#include <QTextStream>
#include <QTimer>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace vortal9::batch {

namespace {

// Discovery reports its failures to the window's status bar; here they are
// only kept.
class QuietView final : public DeviceView
{
public:
    void setReaderCountCaption(const QString &) override { }
    void clearReaderList() override { }
    void addReaderEntry(const QString &) override { }
    void selectReaderEntry(int) override { }
    void setPanelText(int, const QString &) override { }
};

const QString ConfigModeAdvice = QStringLiteral(
    "the reader may be left in its configuration mode: choose its exit choice in the window's Enter Config "
    "session, or unplug it and plug it in again");

} // namespace

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
    QuietView view;
    AccessUSBIO usb(*m_env.platform, view);
    usb.FindReaders();
    usb.CloseReader();
    std::vector<std::string> paths;
    for (const std::string &path : usb.DevicePaths) {
        if (!path.empty())
            paths.push_back(path);
    }
    return paths;
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
    if (loaded.status == script::LoadResult::Status::OpenFailed)
        problem = QStringLiteral("cannot be read as a script file");
    else if (loaded.status == script::LoadResult::Status::TooLarge)
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
    Described described;
    const std::vector<ReaderDiagnosis> all = diagnoses();
    if (const ReaderDiagnosis *d = diagnosisOf(all, path)) {
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

QString Runner::resultText(const Job &job) const
{
    switch (job.result()) {
    case Job::Result::None: break;
    case Job::Result::Ready: return QStringLiteral("ready");
    case Job::Result::Configured:
        return m_described.at(indexOf(job)).difference ? QStringLiteral("differs") : QStringLiteral("configured");
    case Job::Result::NotResponding: return QStringLiteral("reader not responding");
    case Job::Result::WriteError: return QStringLiteral("write error");
    case Job::Result::Unplugged: return QStringLiteral("unplugged");
    case Job::Result::Interrupted: return QStringLiteral("interrupted");
    case Job::Result::InUse: return QStringLiteral("in use");
    case Job::Result::CannotOpen:
    case Job::Result::NotAReader:
    case Job::Result::NotCaptured: return QStringLiteral("refused");
    }
    return {};
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
    const Described &described = m_described.at(indexOf(job));
    QString message;
    QStringList fixes;
    if (job.result() == Job::Result::CannotOpen) {
        message = QStringLiteral("it cannot be opened");
    } else if (job.result() == Job::Result::NotAReader) {
        message = QStringLiteral("another device than a VORTAL9 reader answers there now (the node was given to it "
                                 "after the readers were listed); nothing was sent to it");
    } else if (job.result() == Job::Result::InUse) {
        message = QStringLiteral("another program holds the reader; nothing was sent to it. Try again when it has "
                                 "finished");
    } else if (job.result() == Job::Result::NotCaptured) {
        const QString why = job.captureRefusal().isEmpty() ? QStringLiteral("no capture") : job.captureRefusal();
        message = QStringLiteral("its keys cannot be captured (%1): without capture its typing would land in this "
                                 "terminal")
                      .arg(why);
        fixes = fixesOf(job);
    } else if (job.mayBeInConfigMode()) {
        message = ConfigModeAdvice;
    } else if (described.difference) {
        message = QStringLiteral("step %1 answered otherwise than the reference").arg(described.difference->step);
    }

    if (m_json) {
        QJsonObject o { { "reader", job.number() }, { "hidraw", job.path() }, { "usb", described.usb },
            { "serial", described.serial }, { "result", resultText(job) } };
        if (!message.isEmpty())
            o.insert(QStringLiteral("message"), message);
        if (!fixes.isEmpty())
            o.insert(QStringLiteral("fix"), QJsonArray::fromStringList(fixes));
        if (job.mayBeInConfigMode())
            o.insert(QStringLiteral("mayBeInConfigMode"), true);
        if (const auto &d = described.difference) {
            o.insert(QStringLiteral("step"), d->step);
            o.insert(QStringLiteral("expected"), d->expected);
            o.insert(QStringLiteral("typed"), d->typed);
        }
        out() << jsonLine(o) << Qt::endl;
        return;
    }
    out() << "reader " << job.number() << " (" << shown(job.path())
          << (described.usb.isEmpty() ? QString() : ", USB " + shown(described.usb)) << "): " << resultText(job)
          << (message.isEmpty() ? QString() : ": " + message);
    // Each fix on a line of its own, as printed ready to be pasted.
    if (!fixes.isEmpty())
        out() << ". To fix:";
    out() << Qt::endl;
    for (const QString &fix : fixes)
        out() << fix << Qt::endl;
    // What the reader typed is its menu's text, shown as safe text, tracks masked.
    if (const auto &d = described.difference) {
        out() << "  expected: " << shown(d->expected) << Qt::endl;
        out() << "  typed:    " << shown(d->typed) << Qt::endl;
    }
}

void Runner::makeRoomForReaders(std::size_t count)
{
#ifdef Q_OS_UNIX
    // The hidraw node, up to three input event nodes, and room for the
    // program's own files (Qt, udev, the terminal).
    constexpr rlim_t PerReader = 4;
    constexpr rlim_t OwnFiles = 64;
    const rlim_t needed = OwnFiles + PerReader * rlim_t(count);
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed)
        return;
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? needed : std::min(needed, limit.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        limit.rlim_cur = before;
    if (limit.rlim_cur >= needed) {
        err() << "vortal9-batch: " << count << " readers need up to " << needed << " open files: the limit was raised from "
              << before << " to " << limit.rlim_cur << "." << Qt::endl;
    } else {
        err() << "vortal9-batch: " << count << " readers need up to " << needed << " open files, but at most "
              << limit.rlim_cur << " are allowed (ulimit -Hn): some readers may not be opened." << Qt::endl;
    }
#else
    Q_UNUSED(count);
#endif
}

std::optional<std::vector<int>> Runner::chosenReaders(const Options &options, const std::vector<std::string> &readers)
{
    std::vector<int> numbers;
    if (options.all || (options.readers.isEmpty() && readers.size() == 1)) {
        for (int i = 1; i <= int(readers.size()); ++i)
            numbers.push_back(i);
    } else if (options.readers.isEmpty()) {
        err() << "vortal9-batch: " << readers.size()
                     << " readers are attached: choose them with --reader N or --all (" << tool()
                     << " list numbers them)." << Qt::endl;
        return std::nullopt;
    }
    for (const QString &choice : options.readers) {
        bool isNumber = false;
        const int n = choice.toInt(&isNumber);
        const auto found = std::find(readers.begin(), readers.end(), argumentBytes(choice).toStdString());
        const int number = isNumber ? n : (found == readers.end() ? 0 : int(found - readers.begin()) + 1);
        if (number < 1 || number > int(readers.size())) {
            err() << "vortal9-batch: no reader " << shown(choice) << " is attached (" << tool()
                         << " list shows them)." << Qt::endl;
            return std::nullopt;
        }
        if (std::find(numbers.begin(), numbers.end(), number) == numbers.end())
            numbers.push_back(number);
    }
    return numbers;
}

std::size_t Runner::indexOf(const Job &job) const
{
    return std::size_t(
        std::find_if(m_jobs.begin(), m_jobs.end(), [&](const auto &j) { return j.get() == &job; }) - m_jobs.begin());
}

bool Runner::compareWith(const transcript::Steps &reference)
{
    bool anyDiffers = false;
    for (std::size_t i = 0; i < m_jobs.size(); ++i) {
        const Job &job = *m_jobs[i];
        if (job.result() != Job::Result::Configured || !job.session())
            continue;
        m_described[i].difference = transcript::firstDifference(reference, job.session()->transcript());
        anyDiffers = anyDiffers || m_described[i].difference.has_value();
    }
    return anyDiffers;
}

QString Runner::writeTranscript(const QString &file, const QString &scriptName) const
{
    QJsonArray readers;
    for (std::size_t i = 0; i < m_jobs.size(); ++i) {
        const Job &job = *m_jobs[i];
        readers.append(QJsonObject { { "reader", job.number() }, { "hidraw", job.path() },
            { "usb", m_described[i].usb }, { "serial", m_described[i].serial }, { "result", resultText(job) },
            { "steps",
                transcript::stepsToJson(job.session() ? job.session()->transcript() : transcript::Steps()) } });
    }
    const QJsonObject document { { "schema", QLatin1String(transcript::SchemaName) },
        { "version", transcript::SchemaVersion }, { "script", scriptName }, { "readers", readers } };
    QSaveFile saved(file);
    if (!saved.open(QIODevice::WriteOnly) || saved.write(QJsonDocument(document).toJson()) < 0 || !saved.commit())
        return saved.errorString();
    return {};
}

void Runner::drawProgress(const Job &job)
{
    if (!m_env.terminal || m_json || m_watching)
        return;
    // One line per reader, rewritten in place: up to the reader's line,
    // rewrite it, and back down below the last one.
    const qsizetype index
        = std::find_if(m_jobs.begin(), m_jobs.end(), [&](const auto &j) { return j.get() == &job; }) - m_jobs.begin();
    const qsizetype up = qsizetype(m_jobs.size()) - index;
    QString text = QStringLiteral("reader %1 (%2): ").arg(job.number()).arg(shown(job.path()));
    text += job.result() == Job::Result::None ? QStringLiteral("step %1 of %2").arg(job.step()).arg(job.steps())
                                              : resultText(job);
    err() << "\x1b[" << up << "A\r\x1b[2K" << text << "\x1b[" << up << "B\r" << Qt::flush;
}

} // namespace vortal9::batch
