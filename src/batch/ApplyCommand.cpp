// apply SCRIPT: plays the script to the chosen readers at the same time,
// each in a job of its own, and prints one result per reader at the end;
// with --check, only opens and captures each (nothing is sent); with
// --expect, compares each reader's answers with a reference transcript;
// with --transcript, writes every reader's answers.
#include "batch/Output.h"
#include "batch/Progress.h"
#include "batch/Results.h"
#include "batch/Runner.h"
#include "batch/TranscriptFile.h"
#include "script/ScriptFormat.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTextStream>

#include <algorithm>

namespace vortal9::batch {

int applyScript(Runner &runner, const Options &options)
{
    QTextStream &err = runner.err();
    const auto script = runner.loadScript(options.operands.value(0));
    if (!script)
        return ScriptRefused;
    std::optional<transcript::Steps> reference;
    if (!options.expect.isEmpty()) {
        QString why;
        QFile file(options.expect);
        if (file.open(QIODevice::ReadOnly) && file.size() < 16 * 1024 * 1024)
            reference = transcript::referenceSteps(QJsonDocument::fromJson(file.readAll()).object(), &why);
        else
            why = file.errorString();
        // A reference made with another script cannot say how this one is answered.
        if (reference && transcript::scriptSteps(*script).size() != reference->size())
            why = QStringLiteral("it was made with another script"), reference.reset();
        for (std::size_t i = 0; reference && i < reference->size(); ++i) {
            if ((*reference)[i].keys.toUpper() != transcript::scriptSteps(*script)[i].keys)
                why = QStringLiteral("it was made with another script"), reference.reset();
        }
        if (!reference) {
            err << "vortal9-batch: " << shown(options.expect) << ": not a reference transcript: " << why << Qt::endl;
            return ScriptRefused;
        }
    }
    if (!options.transcript.isEmpty()) {
        // Found unwritable before any reader is touched, not after.
        if (const QString why = transcriptWritable(options.transcript); !why.isEmpty()) {
            err << "vortal9-batch: " << shown(options.transcript) << ": cannot be written: " << why << Qt::endl;
            return UsageError;
        }
    }

    const std::vector<std::string> readers = runner.discoverReaders();
    // Readers attached but out of reach (no hidraw node, or one this user may
    // not open) are not configured either: each is named, with the fix.
    const std::vector<ReaderDiagnosis> unreached = runner.unreachedReaders(readers);
    const QStringList unreachedFixes = fixesFor(unreached, runner.env().system);
    auto sayUnreached = [&] {
        for (const ReaderDiagnosis &d : unreached)
            printUnreached(runner.out(), options.json, d, unreachedFixes);
        if (!options.json && !unreached.empty()) {
            runner.out() << (unreached.size() == 1 ? "That reader was" : "Those readers were") << " not configured";
            printFixes(runner.out(), unreachedFixes);
        }
    };
    if (readers.empty()) {
        if (unreached.empty()) {
            runner.sayNoReaderAttached();
            return NoReader;
        }
        sayUnreached();
        return NotAllConfigured;
    }
    const auto chosen = runner.chosenReaders(options, readers);
    if (!chosen)
        return UsageError;
    const std::vector<int> &numbers = *chosen;
    runner.makeRoomForReaders(numbers.size());
    runner.runJobs(*script, options.json, false);
    for (int number : numbers)
        runner.addJob(number, QString::fromStdString(readers[std::size_t(number - 1)])).setCheckOnly(options.check);
    if (runner.env().terminal && !options.json)
        printStarting(err, runner.jobs());
    for (const auto &job : runner.jobs())
        job->handle(Job::Event::Start);
    runner.exec();

    // A proof is asked for with a reference, and with a transcript (which may become one).
    const bool proving = reference || !options.transcript.isEmpty();
    const Runner::Proof proof = proving ? runner.prove(reference) : Runner::Proof{};
    bool allConfigured = true;
    for (const auto &job : runner.jobs()) {
        runner.printResult(*job);
        allConfigured = allConfigured && job->result() == (options.check ? Job::Result::Ready : Job::Result::Configured);
    }
    // Those chosen by --reader are the ones asked for; the others count with --all.
    if (options.all || options.readers.isEmpty()) {
        sayUnreached();
        allConfigured = allConfigured && unreached.empty();
    }
    if (!options.transcript.isEmpty()) {
        const QString scriptName = script::displayedName(options.operands.value(0));
        if (const QString failed = runner.writeTranscript(options.transcript, scriptName); !failed.isEmpty()) {
            err << "vortal9-batch: " << shown(options.transcript) << ": the transcript was not written: " << failed
                << Qt::endl;
            allConfigured = false;
        }
    }
    if (runner.interrupted())
        return Interrupted;
    if (!allConfigured)
        return NotAllConfigured;
    if (proof.differs)
        return Differs;
    return proof.cardSwiped ? CardSwiped : Success;
}

} // namespace vortal9::batch
