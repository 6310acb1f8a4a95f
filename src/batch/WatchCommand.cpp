// watch SCRIPT: plays the script to every reader attached when it starts
// and to every reader as it is plugged in, each in a job of its own, until
// interrupted; each result is printed as it is known. A station started (or
// restarted) with readers already plugged in configures them too.
#include "batch/Runner.h"
#include "device/DeviceMonitor.h"

#include <QFileInfo>
#include <QTextStream>

namespace vortal9::batch {

int watchReaders(Runner &runner, const Options &options)
{
    Environment &env = runner.env();
    const auto script = runner.loadScript(options.operands.value(0));
    if (!script)
        return ScriptRefused;
    if (!env.monitor) {
        runner.err() << "vortal9-batch: readers cannot be watched on this system." << Qt::endl;
        return UsageError;
    }
    runner.runJobs(*script, options.json, true);
    int plugged = 0;
    QObject context;
    QObject::connect(env.monitor, &DeviceMonitor::readerAdded, &context, [&](const QString &path) {
        if (runner.interrupted())
            return;
        // The plugged-in reader is diagnosed once, with the others.
        runner.forgetDiagnoses();
        runner.addJob(++plugged, path).handle(Job::Event::Start);
    });
    QObject::connect(env.monitor, &DeviceMonitor::readerRemoved, &context, [&](const QString &path) {
        // A job of the same path that ended earlier is Done: nothing to do.
        for (const auto &job : runner.jobs()) {
            if (job->path() == path)
                job->handle(Job::Event::Unplugged);
        }
    });
    // Without a udev daemon (a container, a chroot) no plug-in is announced:
    // said once, and the readers attached now are still configured.
    const bool blind = !env.system.udevControl.isEmpty() && !QFileInfo::exists(env.system.udevControl);
    if (blind) {
        runner.err() << "vortal9-batch: no udev daemon runs here (" << env.system.udevControl
                     << " is missing: a container or a chroot?): readers plugged in from now on cannot be seen; "
                        "only the readers attached now are configured."
                     << Qt::endl;
    } else if (!options.json) {
        runner.err() << "Waiting for readers to be plugged in; Ctrl+C stops." << Qt::endl;
    }
    for (const std::string &path : runner.discoverReaders())
        runner.addJob(++plugged, QString::fromStdString(path)).handle(Job::Event::Start);
    runner.exec();

    const int configured = runner.jobsConfigured();
    if (!options.json)
        runner.err() << configured << " of " << runner.jobsAdded() << " readers configured." << Qt::endl;
    return configured == runner.jobsAdded() ? Success : NotAllConfigured;
}

} // namespace vortal9::batch
