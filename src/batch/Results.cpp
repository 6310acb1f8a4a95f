#include "batch/Results.h"

#include "batch/Output.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>

namespace vortal9::batch {

namespace {

const QString ConfigModeAdvice = QStringLiteral(
    "the reader may be left in its configuration mode: choose its exit choice in the window's Enter Config "
    "session, or unplug it and plug it in again");

} // namespace

QString resultText(const Job &job, const ReaderInfo &info)
{
    switch (job.result()) {
    case Job::Result::None: break;
    case Job::Result::Ready: return QStringLiteral("ready");
    case Job::Result::Configured:
        if (info.difference)
            return QStringLiteral("differs");
        return info.cardSwipedStep ? QStringLiteral("card swiped") : QStringLiteral("configured");
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

void printResult(QTextStream &out, bool json, const Job &job, const ReaderInfo &info, const QStringList &fixes)
{
    QString message;
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
    } else if (job.mayBeInConfigMode()) {
        message = ConfigModeAdvice;
    } else if (info.difference) {
        message = QStringLiteral("step %1 answered otherwise than the reference").arg(info.difference->step);
    } else if (info.cardSwipedStep) {
        message = QStringLiteral("a card was swiped during step %1: its answer was not kept, so this reader is not "
                                 "proven; apply again, swiping no card")
                      .arg(*info.cardSwipedStep);
    }

    if (json) {
        QJsonObject o { { "reader", job.number() }, { "hidraw", job.path() }, { "usb", info.usb },
            { "serial", info.serial }, { "result", resultText(job, info) } };
        if (!message.isEmpty())
            o.insert(QStringLiteral("message"), message);
        if (!fixes.isEmpty())
            o.insert(QStringLiteral("fix"), QJsonArray::fromStringList(fixes));
        if (job.mayBeInConfigMode())
            o.insert(QStringLiteral("mayBeInConfigMode"), true);
        if (const auto &d = info.difference) {
            o.insert(QStringLiteral("step"), d->step);
            o.insert(QStringLiteral("expected"), d->expected);
            o.insert(QStringLiteral("typed"), d->typed);
        } else if (info.cardSwipedStep) {
            o.insert(QStringLiteral("step"), *info.cardSwipedStep);
        }
        out << jsonLine(o) << Qt::endl;
        return;
    }
    out << "reader " << job.number() << " (" << shown(job.path())
        << (info.usb.isEmpty() ? QString() : ", USB " + shown(info.usb)) << "): " << resultText(job, info)
        << (message.isEmpty() ? QString() : ": " + message);
    printFixes(out, fixes);
    // What the reader typed is its menu's text (never card data), shown as safe text.
    if (const auto &d = info.difference) {
        out << "  expected: " << shown(d->expected) << Qt::endl;
        out << "  typed:    " << shown(d->typed) << Qt::endl;
    }
}

void printFixes(QTextStream &out, const QStringList &fixes)
{
    // Each fix on a line of its own, as printed ready to be pasted.
    if (!fixes.isEmpty())
        out << ". To fix:";
    out << Qt::endl;
    for (const QString &fix : fixes)
        out << fix << Qt::endl;
}

void printUnreached(QTextStream &out, bool json, const ReaderDiagnosis &reader, const QStringList &fixes)
{
    const QString message = reader.problems().join(QStringLiteral("; "));
    if (json) {
        QJsonObject o { { "reader", QJsonValue() }, { "hidraw", reader.hidraw }, { "hidDevice", reader.hidDevice },
            { "usb", reader.usbLocation }, { "serial", reader.serial }, { "result", QStringLiteral("not opened") },
            { "message", message } };
        if (!fixes.isEmpty())
            o.insert(QStringLiteral("fix"), QJsonArray::fromStringList(fixes));
        out << jsonLine(o) << Qt::endl;
        return;
    }
    out << "reader - (" << shown(reader.name())
        << (reader.usbLocation.isEmpty() ? QString() : ", USB " + shown(reader.usbLocation))
        << "): not opened: " << shown(message) << Qt::endl;
}

} // namespace vortal9::batch
