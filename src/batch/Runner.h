// What every command of vortal9-batch shares: the environment and its
// output streams, the attached readers and what the doctor says of them,
// loading the script, and the loop that runs jobs (one per reader) until
// each has ended and let its reader go. A command is a function on a Runner,
// listed in the command table (commands()). The Runner keeps the loop; the
// choice of readers (ReaderChoice.h), the open-file limit (OpenFileLimit.h),
// the result lines (Results.h), the transcript file (TranscriptFile.h) and
// the progress lines (Progress.h) each have their own file.
#pragma once

#include "batch/BatchTool.h"
#include "batch/Job.h"
#include "batch/Results.h"
#include "capture/ReaderDoctor.h"
#include "session/Transcript.h"

#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QJsonObject;

namespace vortal9::batch {

// What the command line chose besides the command.
struct Options
{
    QStringList operands; // after the command's name: as the command's row says
    QStringList readers; // --reader, in the order given
    bool all = false; // --all
    bool json = false; // --json
    bool check = false; // apply --check: a dry run
    QString transcript; // apply --transcript FILE
    QString expect; // apply --expect FILE
    std::optional<QString> country; // --country
    QString expectShape; // --expect-shape (swipe-test)
};

class Runner;

struct Command
{
    QString name;
    QString operand; // the one operand it takes ("SCRIPT"), or "" for none
    bool choosesReaders; // takes --reader and --all
    int (*run)(Runner &runner, const Options &options);
    QString help; // its lines in --help, each ending in a line break
};

// Every command, in the order --help lists them.
const std::vector<Command> &commands();

int listReaders(Runner &runner, const Options &options);
int diagnose(Runner &runner, const Options &options);
int applyScript(Runner &runner, const Options &options);
int watchReaders(Runner &runner, const Options &options);
int showScript(Runner &runner, const Options &options);
int identifyReaders(Runner &runner, const Options &options);
int swipeTest(Runner &runner, const Options &options);

class Runner
{
public:
    explicit Runner(Environment &env);
    ~Runner();

    Environment &env() { return m_env; }
    QTextStream &out() { return *m_env.out; }
    QTextStream &err() { return *m_env.err; }
    // How hints name this tool, ready to be typed into a shell.
    QString tool() const { return m_env.system.batchCommand; }

    // The readers' paths in the order "Select Device" numbers them.
    std::vector<std::string> discoverReaders();
    // The numbers of the readers that --reader and --all chose among readers
    // (all of them when one is attached), or nullopt after saying what is
    // wrong (a usage error).
    std::optional<std::vector<int>> chosenReaders(const Options &options, const std::vector<std::string> &readers);
    // What the doctor says of the attached readers. Diagnosing reads sysfs
    // for every device of the reader's ids, so it is done once per run (not
    // once per reader), and again after forgetDiagnoses() (watch: a reader
    // was plugged in).
    const std::vector<ReaderDiagnosis> &diagnoses() const;
    void forgetDiagnoses() { m_diagnoses.reset(); }
    // The readers the doctor sees that discovery could not count (its
    // configuration interface without a hidraw node, or with one the user
    // may not open), in the doctor's order.
    std::vector<ReaderDiagnosis> unreachedReaders(const std::vector<std::string> &discovered) const;
    // The doctor's diagnosis of the device at path, if it has one.
    static const ReaderDiagnosis *diagnosisOf(const std::vector<ReaderDiagnosis> &all, const QString &path);
    // "No VORTAL9 reader is attached" and the lines that say what to check.
    void sayNoReaderAttached();

    // The script named by the command-line argument (see argumentFromBytes),
    // or nullopt after saying what is wrong with it.
    std::optional<QString> loadScript(const QString &argument);

    // Jobs: each plays script to one reader. watching: results are printed
    // as each job ends, refused captures are tried again, and the loop runs
    // until interrupted.
    Job &addJob(int number, const QString &path);
    void runJobs(const QString &script, bool json, bool watching);
    // Runs the loop until every job has ended and let its reader go (or,
    // watching, until interrupted and then so).
    void exec();
    const std::vector<std::unique_ptr<Job>> &jobs() const { return m_jobs; }
    bool interrupted() const { return m_interrupted; }
    void printResult(const Job &job);

    // Each configured reader's answers against a reference transcript's: a
    // reader that answered otherwise "differs". True when one does.
    // With a proof asked for: each configured reader's first difference
    // from reference (when given) and its first step whose answer was not
    // kept (a card swiped during it).
    struct Proof
    {
        bool differs = false;
        bool cardSwiped = false;
    };
    Proof prove(const std::optional<transcript::Steps> &reference);
    // Room in the open-file limit for count readers (OpenFileLimit.h).
    void makeRoomForReaders(std::size_t count);
    // The transcript of every job as a file (schema vortal9-transcript);
    // "" when written, otherwise what failed.
    QString writeTranscript(const QString &file, const QString &scriptName) const;

private:
    std::size_t indexOf(const Job &job) const;
    void drawProgress(const Job &job);
    void interruptAll();
    void checkDone();
    // The doctor's fixes for a reader whose capture was refused.
    QStringList fixesOf(const Job &job) const;

    Environment &m_env;
    QObject m_context;
    QEventLoop m_loop;
    QTimer m_firstCheck; // the first look, once the loop runs
    QString m_script;
    bool m_json = false;
    bool m_watching = false;
    bool m_interrupted = false;
    std::vector<std::unique_ptr<Job>> m_jobs;
    std::vector<ReaderInfo> m_described; // per job, by index
    mutable std::optional<std::vector<ReaderDiagnosis>> m_diagnoses;
};

} // namespace vortal9::batch
