// apply SCRIPT: plays the script to the chosen readers at the same time,
// each in a job of its own, and prints one result per reader at the end.
#include "batch/Output.h"
#include "batch/Runner.h"

#include <QTextStream>

#include <algorithm>

namespace vortal9::batch {

int applyScript(Runner &runner, const Options &options)
{
    QTextStream &err = runner.err();
    const auto script = runner.loadScript(options.operands.value(0));
    if (!script)
        return ScriptRefused;

    const std::vector<std::string> readers = runner.discoverReaders();
    if (readers.empty()) {
        if (const QString blocked = blockedSummary(runner.diagnoses(), runner.env().system); !blocked.isEmpty()) {
            err << "No VORTAL9 reader is attached that can be opened (" << blocked << ")." << Qt::endl;
        } else {
            runner.sayNoReaderAttached();
        }
        return NoReader;
    }
    std::vector<int> numbers;
    if (options.all || (options.readers.isEmpty() && readers.size() == 1)) {
        for (int i = 1; i <= int(readers.size()); ++i)
            numbers.push_back(i);
    } else if (options.readers.isEmpty()) {
        err << "vortal9-batch: " << readers.size() << " readers are attached: choose them with --reader N or --all ("
            << runner.tool() << " list numbers them)." << Qt::endl;
        return UsageError;
    }
    for (const QString &choice : options.readers) {
        bool isNumber = false;
        const int n = choice.toInt(&isNumber);
        const auto found = std::find(readers.begin(), readers.end(), argumentBytes(choice).toStdString());
        const int number = isNumber ? n : (found == readers.end() ? 0 : int(found - readers.begin()) + 1);
        if (number < 1 || number > int(readers.size())) {
            err << "vortal9-batch: no reader " << shown(choice) << " is attached (" << runner.tool()
                << " list shows them)." << Qt::endl;
            return UsageError;
        }
        if (std::find(numbers.begin(), numbers.end(), number) == numbers.end())
            numbers.push_back(number);
    }

    runner.runJobs(*script, options.json, false);
    for (int number : numbers)
        runner.addJob(number, QString::fromStdString(readers[std::size_t(number - 1)]));
    if (runner.env().terminal && !options.json) {
        for (const auto &job : runner.jobs())
            err << "reader " << job->number() << " (" << shown(job->path()) << "): starting" << Qt::endl;
    }
    for (const auto &job : runner.jobs())
        job->handle(Job::Event::Start);
    runner.exec();

    bool allConfigured = true;
    for (const auto &job : runner.jobs()) {
        runner.printResult(*job);
        allConfigured = allConfigured && job->result() == Job::Result::Configured;
    }
    if (runner.interrupted())
        return Interrupted;
    return allConfigured ? Success : NotAllConfigured;
}

} // namespace vortal9::batch
