// identify and swipe-test: both hold the chosen readers' keys (capture) and
// send nothing to any reader; they only listen.
//
// identify names each reader as soon as it types anything, never what it
// typed, until Ctrl+C, so that a technician can label the hardware.
//
// swipe-test takes the shape of the first swipe that each chosen reader
// types (card/SwipeShape.h) and flags the readers whose shape differs from
// --expect-shape, or without it from the shape most readers typed. A swipe
// is taken key by key as the reader's own U.S. keyboard types it, every
// letter and digit masked as it comes (card::maskedKey), so that neither
// the host's keymap nor the reader's settings decide what is masked; the
// masked text is kept only until its shape is taken (a swipe ends when the
// reader has been quiet for Timing::quietMs). No character of a card is
// printed, logged or written.
#include "batch/Output.h"
#include "batch/Runner.h"
#include "card/CardData.h"
#include "card/SwipeShape.h"
#include "device/KeyCapture.h"

#include <QJsonObject>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <map>
#include <utility>

namespace vortal9::batch {

namespace {

// At most this much of one swipe is held for its shape; a swipe is a few
// hundred characters at most, and whatever comes beyond is not kept.
constexpr qsizetype MaxSwipeChars = 4096;

struct Heard
{
    int number = 0;
    QString path, usb, serial;
    std::unique_ptr<KeyCapture> capture;
    QString refusal; // why its keys could not be held
    bool unplugged = false;
    QTimer quiet; // runs while the reader is typing
    bool typing = false; // identify: named for this burst already
    QString swipe; // swipe-test: what it typed, masked, until its shape is taken
    std::optional<card::SwipeShape> shape;
};

using Readers = std::vector<std::unique_ptr<Heard>>;

QString nameOf(const Heard &h)
{
    QString name = QStringLiteral("reader %1 (%2").arg(h.number).arg(shown(h.path));
    if (!h.usb.isEmpty())
        name += QStringLiteral(", USB ") + shown(h.usb);
    if (!h.serial.isEmpty())
        name += QStringLiteral(", serial ") + shown(h.serial);
    return name + u')';
}

QJsonObject jsonOf(const Heard &h, const char *event)
{
    return { { "reader", h.number }, { "hidraw", h.path }, { "usb", h.usb }, { "serial", h.serial },
        { "event", QLatin1String(event) } };
}

// The attached readers, or none after saying why.
std::vector<std::string> attachedReaders(Runner &runner)
{
    const std::vector<std::string> readers = runner.discoverReaders();
    if (!readers.empty())
        return readers;
    if (const QString blocked = blockedSummary(runner.diagnoses(), runner.env().system); !blocked.isEmpty())
        runner.err() << "No VORTAL9 reader is attached that can be opened (" << blocked << ")." << Qt::endl;
    else
        runner.sayNoReaderAttached();
    return readers;
}

// Each chosen reader described from sysfs, and its keys held.
Readers holdReaders(Runner &runner, const std::vector<std::string> &paths, const std::vector<int> &numbers)
{
    const std::vector<ReaderDiagnosis> diagnoses = runner.diagnoses();
    Readers heard;
    for (const int number : numbers) {
        auto h = std::make_unique<Heard>();
        h->number = number;
        h->path = QString::fromStdString(paths[std::size_t(number - 1)]);
        if (const ReaderDiagnosis *d = Runner::diagnosisOf(diagnoses, h->path)) {
            h->usb = d->usbLocation;
            h->serial = d->serial;
        }
        if (!runner.env().capture) {
            h->refusal = QStringLiteral("no capture on this system");
        } else {
            CaptureAttempt attempt = runner.env().capture->capture(paths[std::size_t(number - 1)]);
            h->capture = std::move(attempt.capture);
            if (attempt.inUse)
                h->refusal = QStringLiteral("another program holds the reader");
            else if (!h->capture)
                h->refusal = attempt.refusal.isEmpty() ? QStringLiteral("no capture") : attempt.refusal;
        }
        h->quiet.setSingleShot(true);
        h->quiet.setInterval(runner.env().timing.quietMs);
        heard.push_back(std::move(h));
    }
    return heard;
}

QString refusedText(const Heard &h)
{
    return QStringLiteral("its keys cannot be captured (%1): without capture its typing would land in this "
                          "terminal")
        .arg(h.refusal);
}

bool anyHeld(const Readers &readers)
{
    return std::any_of(readers.begin(), readers.end(), [](const auto &h) { return h->capture != nullptr; });
}

// Runs until done() says so after an event, or until interrupted; true when interrupted.
bool listen(Runner &runner, Readers &readers, const std::function<void(Heard &, const CapturedKeys &)> &onTyped,
    const std::function<void(Heard &)> &onQuiet, const std::function<void(Heard &)> &onUnplugged,
    const std::function<bool()> &done)
{
    QEventLoop loop;
    QObject context;
    bool interrupted = false;
    auto check = [&] {
        if (done())
            loop.quit();
    };
    for (const auto &reader : readers) {
        Heard *h = reader.get();
        if (!h->capture)
            continue;
        QObject::connect(h->capture.get(), &KeyCapture::pressed, &context, [&, h](const CapturedKeys &keys) {
            onTyped(*h, keys);
            h->quiet.start();
        });
        QObject::connect(&h->quiet, &QTimer::timeout, &context, [&, h] {
            onQuiet(*h);
            check();
        });
        QObject::connect(h->capture.get(), &KeyCapture::lost, &context, [&, h] {
            h->unplugged = true;
            h->quiet.stop();
            h->capture.release()->deleteLater();
            onUnplugged(*h);
            check();
        });
    }
    if (runner.env().onInterrupt) {
        runner.env().onInterrupt([&] {
            interrupted = true;
            loop.quit();
        });
    }
    QTimer::singleShot(0, &context, check);
    loop.exec();
    if (runner.env().onInterrupt)
        runner.env().onInterrupt({});
    return interrupted;
}

} // namespace

int identifyReaders(Runner &runner, const Options &options)
{
    QTextStream &out = runner.out();
    const std::vector<std::string> paths = attachedReaders(runner);
    if (paths.empty())
        return NoReader;
    std::vector<int> all;
    for (int i = 1; i <= int(paths.size()); ++i)
        all.push_back(i);
    Readers readers = holdReaders(runner, paths, all);
    auto say = [&](const Heard &h, const char *event, const QString &text) {
        if (options.json) {
            QJsonObject o = jsonOf(h, event);
            if (!h.refusal.isEmpty())
                o.insert(QStringLiteral("message"), refusedText(h));
            out << jsonLine(o) << Qt::endl;
        } else {
            out << nameOf(h) << text << Qt::endl;
        }
    };
    for (const auto &h : readers)
        say(*h, h->capture ? "attached" : "refused", h->capture ? QString() : QStringLiteral(": ") + refusedText(*h));
    if (!anyHeld(readers))
        return NotAllConfigured;
    if (!options.json)
        runner.err() << "Swipe a card or press a key on a reader to see which one it is; Ctrl+C stops." << Qt::endl;

    // Named once per burst of typing: a swipe is one "typed", not a hundred.
    // What it typed is dropped unread.
    listen(
        runner, readers,
        [&](Heard &h, const CapturedKeys &keys) {
            const bool typesSomething
                = std::any_of(keys.begin(), keys.end(), [](const CapturedKey &key) { return !key.text.isEmpty(); });
            if (typesSomething && !std::exchange(h.typing, true))
                say(h, "typed", QStringLiteral(" typed"));
        },
        [](Heard &h) { h.typing = false; },
        [&](Heard &h) { say(h, "unplugged", QStringLiteral(": unplugged")); },
        [&] { return !anyHeld(readers); });
    // Ctrl+C is how identify ends: a success. With every reader gone there is
    // nothing left to hear.
    const bool refused
        = std::any_of(readers.begin(), readers.end(), [](const auto &h) { return !h->refusal.isEmpty(); });
    return anyHeld(readers) && !refused ? Success : NotAllConfigured;
}

int swipeTest(Runner &runner, const Options &options)
{
    QTextStream &out = runner.out();
    QTextStream &err = runner.err();
    std::optional<card::SwipeShape> expected;
    if (!options.expectShape.isEmpty()) {
        expected = card::SwipeShape::parse(options.expectShape);
        if (!expected) {
            err << "vortal9-batch: --expect-shape: not a swipe shape: " << shown(options.expectShape) << Qt::endl
                << "A shape is written as swipe-test prints it, e.g. pre:\"\" %[16^22^31]? ;[16=20]? post:\"\" "
                   "term:CR"
                << Qt::endl;
            return UsageError;
        }
    }
    const std::vector<std::string> paths = attachedReaders(runner);
    if (paths.empty())
        return NoReader;
    const auto numbers = runner.chosenReaders(options, paths);
    if (!numbers)
        return UsageError;
    Readers readers = holdReaders(runner, paths, *numbers);

    auto waiting = [&] {
        return std::count_if(
            readers.begin(), readers.end(), [](const auto &h) { return h->capture && !h->shape && !h->unplugged; });
    };
    if (anyHeld(readers) && !options.json)
        err << "Swipe the test card on each reader (" << waiting() << " to go); Ctrl+C stops." << Qt::endl;
    // What a reader types is kept masked until it has been quiet for a
    // moment, then only its shape. Its keys stay held after that: a second
    // swipe must not reach the terminal either.
    auto collect = [](Heard &h, const CapturedKeys &keys) {
        for (const CapturedKey &key : keys) {
            if (const QChar c = card::maskedKey(key); !c.isNull() && !h.shape && h.swipe.size() < MaxSwipeChars)
                h.swipe += c;
        }
    };
    auto forget = [](Heard &h) {
        h.swipe.fill(QChar(0));
        h.swipe.clear();
        h.swipe.squeeze();
    };
    auto takeShape = [&](Heard &h) {
        if (h.shape || h.swipe.isEmpty())
            return;
        h.shape = card::SwipeShape::of(h.swipe);
        forget(h);
        if (!options.json)
            err << nameOf(h) << ": swiped (" << waiting() << " to go)" << Qt::endl;
    };
    const bool interrupted
        = anyHeld(readers) && listen(runner, readers, collect, takeShape, forget, [&] { return waiting() == 0; });

    // The reference: the expected shape, or the one most swiped readers typed
    // (none when no shape has more readers than every other).
    std::optional<card::SwipeShape> reference = expected;
    if (!reference) {
        std::map<QString, int> counts;
        for (const auto &h : readers) {
            if (h->shape)
                ++counts[h->shape->toText()];
        }
        int best = 0, second = 0;
        QString bestText;
        for (const auto &[text, count] : counts) {
            if (count > best) {
                second = best;
                best = count;
                bestText = text;
            } else if (count > second) {
                second = count;
            }
        }
        if (best > second)
            reference = card::SwipeShape::parse(bestText);
    }
    const QString against = expected ? QStringLiteral("expected") : QStringLiteral("most readers");
    bool differs = false, missing = false;
    for (const auto &h : readers) {
        QString result;
        QString message;
        if (!h->refusal.isEmpty()) {
            result = QStringLiteral("refused");
            message = refusedText(*h);
        } else if (h->shape) {
            const bool alike = reference && *h->shape == *reference;
            result = alike ? QStringLiteral("alike") : QStringLiteral("differs");
            if (!alike)
                message = reference ? QStringLiteral("%1: %2").arg(against, reference->toText())
                                    : QStringLiteral("no shape was typed by most readers");
        } else {
            result = h->unplugged ? QStringLiteral("unplugged") : QStringLiteral("not swiped");
        }
        differs = differs || result == QLatin1String("differs");
        missing = missing || !h->shape;
        if (options.json) {
            QJsonObject o { { "reader", h->number }, { "hidraw", h->path }, { "usb", h->usb }, { "serial", h->serial },
                { "result", result } };
            if (h->shape)
                o.insert(QStringLiteral("shape"), h->shape->toJson());
            // Every "differs" line says what it was compared with, and why:
            // without a majority the shape is empty and the message says so.
            if (result == QLatin1String("differs"))
                o.insert(expected ? QStringLiteral("expected") : QStringLiteral("majority"),
                    reference ? reference->toText() : QString());
            if (!message.isEmpty())
                o.insert(QStringLiteral("message"), message);
            out << jsonLine(o) << Qt::endl;
            continue;
        }
        out << nameOf(*h) << ": " << result;
        if (h->shape)
            out << ": " << shown(h->shape->toText());
        if (!message.isEmpty())
            out << " (" << shown(message) << ')';
        out << Qt::endl;
    }
    if (interrupted && missing)
        return Interrupted;
    if (missing)
        return NotAllConfigured;
    return differs ? Differs : Success;
}

} // namespace vortal9::batch
