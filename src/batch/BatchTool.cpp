#include "batch/BatchTool.h"

#include "device/AccessUSBIO.h"
#include "device/DeviceMonitor.h"
#include "device/HidPlatform.h"
#include "device/KeyCapture.h"
#include "script/ScriptCheck.h"
#include "script/ScriptFormat.h"
#include "session/ReaderSession.h"

#include <QCommandLineParser>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

namespace vortal9::batch {

namespace {

const QString Program = QStringLiteral("vortal9-batch");
const QString NoReaderAttached = QStringLiteral("No VORTAL9 reader is attached");

// A freshly plugged reader gets its input device a moment after its hidraw
// node; its capture is tried this often before it is refused.
constexpr int CaptureTries = 12;
constexpr int CaptureRetryMs = 250;

const QString Help = QStringLiteral(
    "Usage: vortal9-batch COMMAND [OPTIONS]\n"
    "Configure VORTAL9 card readers from the command line.\n"
    "\n"
    "Commands:\n"
    "  list                   every attached reader, numbered as \"Select Device\" numbers them\n"
    "  doctor                 what keeps each attached reader from being used, and the fix\n"
    "  apply SCRIPT [--reader N|PATH]... [--all]\n"
    "                         play SCRIPT to the chosen readers at the same time\n"
    "                         (with one reader attached it is chosen without --reader)\n"
    "  watch SCRIPT           play SCRIPT to every reader as it is plugged in, until Ctrl+C\n"
    "\n"
    "Options:\n"
    "  --json                 results as JSON lines, one object per reader\n"
    "  -h, --help             this text\n"
    "  --version              the program's version\n"
    "\n"
    "A reader is configured only while the program holds its keys (capture): without it, the\n"
    "reader's typing would land in this terminal. \"doctor\" tells how to allow it.\n"
    "\n"
    "Exit status:\n"
    "  0    every reader configured (doctor: every reader can be used)\n"
    "  1    a reader was not configured (doctor: a reader cannot be used)\n"
    "  2    wrong command line, or a chosen reader is not attached\n"
    "  3    the script cannot be read or played; no reader was touched\n"
    "  4    no reader attached\n"
    "  130  apply stopped by Ctrl+C\n");

// Discovery reports its failures to the window's status bar; here they are
// only kept.
class QuietView final : public DeviceView
{
public:
    void setReaderCountCaption(const QString &) override {}
    void clearReaderList() override {}
    void addReaderEntry(const QString &) override {}
    void selectReaderEntry(int) override {}
    void setPanelText(int, const QString &) override {}
};

// The readers' paths in the order "Select Device" numbers them.
std::vector<std::string> discoverReaders(HidPlatform &platform)
{
    QuietView view;
    AccessUSBIO usb(platform, view);
    usb.FindReaders();
    usb.CloseReader();
    std::vector<std::string> paths;
    for (const std::string &path : usb.DevicePaths) {
        if (!path.empty())
            paths.push_back(path);
    }
    return paths;
}

bool isAttached(HidPlatform &platform, const std::string &path)
{
    const HidDeviceSet set = platform.createDeviceSet();
    bool found = false;
    for (int i = 0; !found && platform.enumInterface(set, i); ++i)
        found = platform.interfacePath(set, i) == path;
    platform.destroyDeviceSet(set);
    return found;
}

const ReaderDiagnosis *diagnosisOf(const std::vector<ReaderDiagnosis> &all, const QString &path)
{
    const auto it = std::find_if(all.begin(), all.end(), [&](const ReaderDiagnosis &d) { return d.hidraw == path; });
    return it == all.end() ? nullptr : &*it;
}

QString yesNo(bool value)
{
    return value ? QStringLiteral("yes") : QStringLiteral("no");
}

QString orDash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

// One reader that a script is played to.
struct Job
{
    int number = 0;
    QString path;
    QString usb;
    QString serial;
    std::unique_ptr<ReaderSession> session;
    int step = 0;
    int steps = 0;
    QString result; // "" while it runs
    QString message;
    bool playing = false;
    bool released = true; // the session holds nothing of the reader
    int captureTriesLeft = CaptureTries;
    QTimer *retry = nullptr;
};

class Runner
{
public:
    explicit Runner(Environment &env)
        : m_env(env)
        , m_out(*env.out)
        , m_err(*env.err)
    {
        m_firstCheck.setSingleShot(true);
        QObject::connect(&m_firstCheck, &QTimer::timeout, &m_context, [this] { checkDone(); });
    }

    int list(bool json);
    int doctor(bool json);
    int apply(const QString &scriptPath, const QStringList &chosen, bool all, bool json);
    int watch(const QString &scriptPath, bool json);

private:
    // The script, or nullopt after saying what is wrong with it.
    std::optional<QString> loadScript(const QString &path);
    Job &addJob(int number, const QString &path);
    void describe(Job &job, const std::vector<ReaderDiagnosis> &diagnoses);
    // Opens and captures the reader, then plays; a reader that cannot be
    // captured yet is tried again (watch) or refused.
    void start(Job &job, bool retryCapture);
    void finish(Job &job, const QString &result, const QString &message = {});
    // Ends a job from outside (unplugged, Ctrl+C): a retry is dropped, a
    // result given if it has none yet, and the session closed at once.
    void end(Job &job, const QString &result);
    void print(const Job &job);
    void drawProgress(const Job &job);
    void stopAll(const QString &result);
    void checkDone();
    static QString resultOf(ReaderSession::Outcome outcome);
    QString refusalOf(const Job &job, const QString &why);

    Environment &m_env;
    QTextStream &m_out;
    QTextStream &m_err;
    QObject m_context;
    QEventLoop m_loop;
    QTimer m_firstCheck;
    QString m_script;
    bool m_json = false;
    bool m_watching = false;
    bool m_stopped = false;
    bool m_progressDrawn = false;
    std::vector<std::unique_ptr<Job>> m_jobs;
};

std::optional<QString> Runner::loadScript(const QString &path)
{
    const script::LoadResult loaded = script::loadScriptFile(path);
    QString problem;
    if (loaded.status == script::LoadResult::Status::OpenFailed)
        problem = QStringLiteral("cannot be read as a script file");
    else if (loaded.status == script::LoadResult::Status::TooLarge)
        problem = QStringLiteral("is too large for a script (%1 bytes or more)").arg(script::MaxScriptFileBytes);
    else if (const auto why = script::playbackProblem(loaded.text))
        problem = QStringLiteral("cannot be played: %1").arg(*why);
    if (problem.isEmpty())
        return loaded.text;
    m_err << Program << ": " << path << ": " << problem << Qt::endl;
    return std::nullopt;
}

int Runner::list(bool json)
{
    const std::vector<std::string> readers = discoverReaders(*m_env.platform);
    const std::vector<ReaderDiagnosis> diagnoses = diagnoseReaders(m_env.system);
    auto line = [&](const QString &number, const QString &path, const QString &usb, const QString &manufacturer,
                    const QString &serial, bool opens, const QString &captureProblem) {
        if (json) {
            QJsonObject o{{"reader", number == QLatin1String("-") ? QJsonValue() : QJsonValue(number.toInt())},
                          {"hidraw", path},
                          {"usb", usb},
                          {"manufacturer", manufacturer},
                          {"serial", serial},
                          {"open", opens},
                          {"capture", opens && captureProblem.isEmpty()}};
            if (!captureProblem.isEmpty())
                o.insert(QStringLiteral("problem"), captureProblem);
            m_out << QJsonDocument(o).toJson(QJsonDocument::Compact) << Qt::endl;
            return;
        }
        m_out << qSetFieldWidth(3) << Qt::left << number << qSetFieldWidth(14) << path << qSetFieldWidth(9)
              << orDash(usb) << qSetFieldWidth(14) << orDash(manufacturer) << qSetFieldWidth(14) << orDash(serial)
              << qSetFieldWidth(6) << yesNo(opens) << qSetFieldWidth(0)
              << (opens && captureProblem.isEmpty() ? QStringLiteral("yes")
                                                    : QStringLiteral("no (%1)").arg(captureProblem))
              << Qt::endl;
    };
    if (!json)
        m_out << QStringLiteral("#  hidraw        USB      manufacturer  serial        open  capture") << Qt::endl;

    int number = 0;
    for (const std::string &stdPath : readers) {
        const QString path = QString::fromStdString(stdPath);
        const ReaderDiagnosis *d = diagnosisOf(diagnoses, path);
        QString manufacturer;
        const OpenedDevice opened = openHidDevice(*m_env.platform, stdPath, AccessNone);
        if (opened.handle >= 1) {
            if (const auto text = m_env.platform->manufacturerString(opened.handle))
                manufacturer = QString::fromStdU16String(*text).trimmed();
            m_env.platform->close(opened.handle);
        }
        // A capture taken and let go at once tells whether this reader's keys
        // can be held now (not by another program, not without permission).
        QString captureProblem = QStringLiteral("no capture on this system");
        if (m_env.capture) {
            CaptureAttempt attempt = m_env.capture->capture(stdPath);
            captureProblem = attempt.capture ? QString() : attempt.refusal;
        }
        line(QString::number(++number), path, d ? d->usbLocation : QString(), manufacturer,
             d ? d->serial : QString(), opened.handle >= 1, captureProblem);
    }
    // Readers that discovery could not count: the doctor tells why.
    int blocked = 0;
    for (const ReaderDiagnosis &d : diagnoses) {
        if (std::find(readers.begin(), readers.end(), d.hidraw.toStdString()) != readers.end())
            continue;
        ++blocked;
        line(QStringLiteral("-"), d.hidraw, d.usbLocation, d.manufacturer, d.serial, false,
             d.problems().value(0));
    }
    // An empty list ends as doctor and apply do, so a script can tell "none attached".
    if (readers.empty() && blocked == 0) {
        if (!json)
            m_err << NoReaderAttached << "." << Qt::endl;
        return NoReader;
    }
    if (blocked > 0 && !json)
        m_err << "Readers marked - cannot be opened: run \"" << Program << " doctor\"." << Qt::endl;
    return Success;
}

int Runner::doctor(bool json)
{
    const std::vector<ReaderDiagnosis> diagnoses = diagnoseReaders(m_env.system);
    bool allFine = true;
    for (const ReaderDiagnosis &d : diagnoses) {
        const QStringList problems = d.problems();
        allFine = allFine && d.capturable();
        if (json) {
            QJsonObject o{{"hidraw", d.hidraw}, {"usb", d.usbLocation}, {"serial", d.serial},
                          {"usable", d.usable()}, {"capture", d.capturable()},
                          {"problems", QJsonArray::fromStringList(problems)}};
            m_out << QJsonDocument(o).toJson(QJsonDocument::Compact) << Qt::endl;
            continue;
        }
        m_out << d.hidraw;
        if (!d.usbLocation.isEmpty())
            m_out << " (USB " << d.usbLocation << (d.serial.isEmpty() ? QString() : ", serial " + d.serial) << ")";
        m_out << ": " << (problems.isEmpty() ? QStringLiteral("ready") : problems.join(QStringLiteral("; ")))
              << Qt::endl;
    }
    if (diagnoses.empty()) {
        m_err << NoReaderAttached << "." << Qt::endl;
        return NoReader;
    }
    const QStringList fixes = fixesFor(diagnoses, m_env.system);
    if (!fixes.isEmpty() && !json) {
        m_out << Qt::endl << "To fix:" << Qt::endl;
        for (const QString &fix : fixes)
            m_out << "  " << fix << Qt::endl;
    }
    return allFine ? Success : NotAllConfigured;
}

Job &Runner::addJob(int number, const QString &path)
{
    auto job = std::make_unique<Job>();
    job->number = number;
    job->path = path;
    m_jobs.push_back(std::move(job));
    return *m_jobs.back();
}

void Runner::describe(Job &job, const std::vector<ReaderDiagnosis> &diagnoses)
{
    if (const ReaderDiagnosis *d = diagnosisOf(diagnoses, job.path)) {
        job.usb = d->usbLocation;
        job.serial = d->serial;
    }
}

QString Runner::refusalOf(const Job &job, const QString &why)
{
    QString text = QStringLiteral("its keys cannot be captured (%1): without capture its typing would land in this "
                                  "terminal")
                       .arg(why);
    std::vector<ReaderDiagnosis> mine;
    for (const ReaderDiagnosis &d : diagnoseReaders(m_env.system)) {
        if (d.hidraw == job.path)
            mine.push_back(d);
    }
    const QStringList fixes = fixesFor(mine, m_env.system);
    if (!fixes.isEmpty())
        text += QStringLiteral(". To fix: ") + fixes.join(QLatin1Char(' '));
    return text;
}

void Runner::start(Job &job, bool retryCapture)
{
    job.released = false;
    if (!job.session) {
        job.session = std::make_unique<ReaderSession>(*m_env.platform, m_env.capture, m_env.timing);
        ReaderSession *session = job.session.get();
        QObject::connect(session, &ReaderSession::progress, &m_context, [this, &job](int step, int steps) {
            job.step = step;
            job.steps = steps;
            drawProgress(job);
        });
        QObject::connect(session, &ReaderSession::playbackFinished, &m_context,
                         [this, &job](ReaderSession::Outcome outcome) {
                             if (!job.playing)
                                 return;
                             job.playing = false;
                             QString result = resultOf(outcome);
                             if (outcome == ReaderSession::Outcome::WriteError
                                 && !isAttached(*m_env.platform, job.path.toStdString()))
                                 result = QStringLiteral("unplugged");
                             finish(job, result);
                         });
        QObject::connect(session, &ReaderSession::letGo, &m_context, [this, &job] {
            job.released = true;
            checkDone();
        });
    }
    const std::string path = job.path.toStdString();
    if (!job.session->open(path)) {
        job.released = true;
        finish(job, QStringLiteral("refused"), QStringLiteral("it cannot be opened"));
        return;
    }
    if (!job.session->isCaptured()) {
        const QString why = job.session->captureRefusal();
        job.session->closeNow();
        if (retryCapture && --job.captureTriesLeft > 0) {
            job.retry = new QTimer(&m_context);
            job.retry->setSingleShot(true);
            QObject::connect(job.retry, &QTimer::timeout, &m_context, [this, &job] {
                job.retry->deleteLater();
                job.retry = nullptr;
                start(job, true);
            });
            job.retry->start(CaptureRetryMs);
            job.released = false;
            return;
        }
        job.released = true;
        finish(job, QStringLiteral("refused"), refusalOf(job, why.isEmpty() ? QStringLiteral("no capture") : why));
        return;
    }
    job.playing = true;
    job.session->playScript(m_script);
}

QString Runner::resultOf(ReaderSession::Outcome outcome)
{
    switch (outcome) {
    case ReaderSession::Outcome::Configured: return QStringLiteral("configured");
    case ReaderSession::Outcome::NotResponding: return QStringLiteral("reader not responding");
    case ReaderSession::Outcome::WriteError: return QStringLiteral("write error");
    case ReaderSession::Outcome::Unplugged: return QStringLiteral("unplugged");
    case ReaderSession::Outcome::Cancelled: break;
    }
    return QStringLiteral("interrupted");
}

void Runner::finish(Job &job, const QString &result, const QString &message)
{
    if (!job.result.isEmpty())
        return;
    job.result = result;
    job.message = message;
    if (job.session && job.session->isOpen())
        job.session->close(); // releases what the reader still holds, then lets it go
    drawProgress(job);
    if (m_watching)
        print(job);
    checkDone();
}

void Runner::print(const Job &job)
{
    if (m_json) {
        QJsonObject o{{"reader", job.number}, {"hidraw", job.path}, {"usb", job.usb},
                      {"serial", job.serial}, {"result", job.result}};
        if (!job.message.isEmpty())
            o.insert(QStringLiteral("message"), job.message);
        m_out << QJsonDocument(o).toJson(QJsonDocument::Compact) << Qt::endl;
        return;
    }
    m_out << "reader " << job.number << " (" << job.path << (job.usb.isEmpty() ? QString() : ", USB " + job.usb)
          << "): " << job.result << (job.message.isEmpty() ? QString() : ": " + job.message) << Qt::endl;
}

void Runner::drawProgress(const Job &job)
{
    if (!m_env.terminal || m_json || m_watching)
        return;
    // One line per reader, rewritten in place: up to the reader's line,
    // rewrite it, and back down below the last one.
    const qsizetype index = std::find_if(m_jobs.begin(), m_jobs.end(), [&](const auto &j) { return j.get() == &job; })
                            - m_jobs.begin();
    const qsizetype up = qsizetype(m_jobs.size()) - index;
    QString text = QStringLiteral("reader %1 (%2): ").arg(job.number).arg(job.path);
    text += job.result.isEmpty() ? QStringLiteral("step %1 of %2").arg(job.step).arg(job.steps) : job.result;
    m_err << "\x1b[" << up << "A\r\x1b[2K" << text << "\x1b[" << up << "B\r" << Qt::flush;
}

void Runner::end(Job &job, const QString &result)
{
    if (job.retry) {
        job.retry->stop();
        job.released = true;
    }
    if (job.result.isEmpty()) {
        job.playing = false;
        finish(job, result);
    }
    // Whatever the reader still holds is released now, and its capture let go.
    if (job.session)
        job.session->closeNow();
}

void Runner::stopAll(const QString &result)
{
    m_stopped = true;
    for (const auto &job : m_jobs)
        end(*job, result);
    checkDone();
}

void Runner::checkDone()
{
    if (m_watching && !m_stopped)
        return;
    for (const auto &job : m_jobs) {
        if (job->result.isEmpty() || !job->released)
            return;
    }
    m_loop.quit();
}

int Runner::apply(const QString &scriptPath, const QStringList &chosen, bool all, bool json)
{
    m_json = json;
    const auto script = loadScript(scriptPath);
    if (!script)
        return ScriptRefused;
    m_script = *script;

    const std::vector<std::string> readers = discoverReaders(*m_env.platform);
    if (readers.empty()) {
        m_err << NoReaderAttached;
        if (const QString blocked = blockedSummary(diagnoseReaders(m_env.system)); !blocked.isEmpty())
            m_err << " that can be opened (" << blocked << ")";
        m_err << "." << Qt::endl;
        return NoReader;
    }
    std::vector<int> numbers;
    if (all || (chosen.isEmpty() && readers.size() == 1)) {
        for (int i = 1; i <= int(readers.size()); ++i)
            numbers.push_back(i);
    } else if (chosen.isEmpty()) {
        m_err << Program << ": " << readers.size() << " readers are attached: choose them with --reader N or --all ("
              << Program << " list numbers them)." << Qt::endl;
        return UsageError;
    }
    for (const QString &choice : chosen) {
        bool isNumber = false;
        const int n = choice.toInt(&isNumber);
        auto found = std::find(readers.begin(), readers.end(), choice.toStdString());
        const int number = isNumber ? n : (found == readers.end() ? 0 : int(found - readers.begin()) + 1);
        if (number < 1 || number > int(readers.size())) {
            m_err << Program << ": no reader " << choice << " is attached (" << Program << " list shows them)."
                  << Qt::endl;
            return UsageError;
        }
        if (std::find(numbers.begin(), numbers.end(), number) == numbers.end())
            numbers.push_back(number);
    }

    const std::vector<ReaderDiagnosis> diagnoses = diagnoseReaders(m_env.system);
    for (int number : numbers)
        describe(addJob(number, QString::fromStdString(readers[std::size_t(number - 1)])), diagnoses);
    if (m_env.terminal && !json) {
        for (const auto &job : m_jobs)
            m_err << "reader " << job->number << " (" << job->path << "): starting" << Qt::endl;
    }
    if (m_env.onInterrupt)
        m_env.onInterrupt([this] { stopAll(QStringLiteral("interrupted")); });
    for (const auto &job : m_jobs)
        start(*job, false);
    // Readers refused at once are done before the loop runs: it looks again
    // as soon as it does.
    m_firstCheck.start(0);
    m_loop.exec();

    bool allConfigured = true;
    for (const auto &job : m_jobs) {
        print(*job);
        allConfigured = allConfigured && job->result == QLatin1String("configured");
    }
    if (m_stopped)
        return Interrupted;
    return allConfigured ? Success : NotAllConfigured;
}

int Runner::watch(const QString &scriptPath, bool json)
{
    m_json = json;
    m_watching = true;
    const auto script = loadScript(scriptPath);
    if (!script)
        return ScriptRefused;
    m_script = *script;
    if (!m_env.monitor) {
        m_err << Program << ": readers cannot be watched on this system." << Qt::endl;
        return UsageError;
    }
    int plugged = 0;
    QObject::connect(m_env.monitor, &DeviceMonitor::readerAdded, &m_context, [this, &plugged](const QString &path) {
        if (m_stopped)
            return;
        Job &job = addJob(++plugged, path);
        describe(job, diagnoseReaders(m_env.system));
        start(job, true);
    });
    QObject::connect(m_env.monitor, &DeviceMonitor::readerRemoved, &m_context, [this](const QString &path) {
        for (const auto &job : m_jobs) {
            if (job->path == path && job->result.isEmpty())
                end(*job, QStringLiteral("unplugged"));
        }
    });
    if (m_env.onInterrupt)
        m_env.onInterrupt([this] { stopAll(QStringLiteral("interrupted")); });
    if (!json)
        m_err << "Waiting for readers to be plugged in; Ctrl+C stops." << Qt::endl;
    m_loop.exec();

    int configured = 0;
    for (const auto &job : m_jobs)
        configured += job->result == QLatin1String("configured");
    if (!json)
        m_err << configured << " of " << m_jobs.size() << " readers configured." << Qt::endl;
    return configured == int(m_jobs.size()) ? Success : NotAllConfigured;
}

} // namespace

int run(const QStringList &arguments, Environment &env)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(Help);
    const QCommandLineOption jsonOption(QStringLiteral("json"));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption readerOption(QStringLiteral("reader"), QString(), QStringLiteral("N|PATH"));
    const QCommandLineOption allOption(QStringLiteral("all"));
    parser.addOptions({jsonOption, helpOption, readerOption, allOption});
    QTextStream &err = *env.err;
    if (!parser.parse(QStringList{Program} + arguments)) {
        err << Program << ": " << parser.errorText() << Qt::endl << "Try \"" << Program << " --help\"." << Qt::endl;
        return UsageError;
    }
    const QStringList words = parser.positionalArguments();
    if (parser.isSet(helpOption)) {
        *env.out << Help;
        env.out->flush();
        return Success;
    }
    const QString command = words.value(0);
    const bool json = parser.isSet(jsonOption);
    auto usage = [&](const QString &problem) {
        err << Program << ": " << problem << Qt::endl << "Try \"" << Program << " --help\"." << Qt::endl;
        return UsageError;
    };
    const bool choosing = parser.isSet(readerOption) || parser.isSet(allOption);
    if (choosing && command != QLatin1String("apply"))
        return usage(QStringLiteral("--reader and --all go with apply"));

    Runner runner(env);
    if (command == QLatin1String("list") && words.size() == 1)
        return runner.list(json);
    if (command == QLatin1String("doctor") && words.size() == 1)
        return runner.doctor(json);
    if (command == QLatin1String("apply") && words.size() == 2)
        return runner.apply(words[1], parser.values(readerOption), parser.isSet(allOption), json);
    if (command == QLatin1String("watch") && words.size() == 2)
        return runner.watch(words[1], json);
    if (command.isEmpty())
        return usage(QStringLiteral("no command given"));
    if (command == QLatin1String("apply") || command == QLatin1String("watch"))
        return usage(QStringLiteral("%1 takes one script file").arg(command));
    if (command == QLatin1String("list") || command == QLatin1String("doctor"))
        return usage(QStringLiteral("%1 takes no file").arg(command));
    return usage(QStringLiteral("unknown command \"%1\"").arg(command));
}

} // namespace vortal9::batch
