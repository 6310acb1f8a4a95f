#include "WindowFixture.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QPlainTextEdit>
#include <QTest>

namespace vortal9::test {

bool ScriptedDialogs::askYesNo(QWidget *, const QString &title, const QString &text)
{
    if (whileOpen)
        whileOpen();
    asked << QStringLiteral("yesno:") + title;
    lastText = text;
    if (yesNoAnswers.empty())
        return false;
    const bool answer = yesNoAnswers.front();
    yesNoAnswers.pop_front();
    return answer;
}

QString ScriptedDialogs::openFileName(QWidget *, const QString &startName, const QString &filter)
{
    if (whileOpen)
        whileOpen();
    asked << QStringLiteral("open:") + startName;
    lastText = filter;
    if (openAnswers.empty())
        return {};
    const QString answer = openAnswers.front();
    openAnswers.pop_front();
    return answer;
}

QString ScriptedDialogs::saveFileName(QWidget *, const QString &filter)
{
    if (whileOpen)
        whileOpen();
    asked << QStringLiteral("save");
    lastText = filter;
    if (saveAnswers.empty())
        return {};
    const QString answer = saveAnswers.front();
    saveAnswers.pop_front();
    return answer;
}

void ScriptedDialogs::warn(QWidget *, const QString &title, const QString &text)
{
    asked << QStringLiteral("warn:") + title;
    lastText = text;
}

void WindowTest::TearDown()
{
    form.reset();
}

MainForm &WindowTest::openWindow(const Timing &timing)
{
    form = std::make_unique<MainForm>(platform, nullptr, dialogs, timing);
    form->show();
    QApplication::setActiveWindow(form.get());
    EXPECT_TRUE(QTest::qWaitForWindowActive(form.get()));
    form->findChild<QPlainTextEdit *>(QStringLiteral("TxtRcv"))->setFocus();
    return *form;
}

emu::EmulatedReader *WindowTest::addFastReader(const std::string &path, std::u16string manufacturer)
{
    emu::EmulatedReader *reader = platform.addReader(path, std::move(manufacturer));
    reader->setAnswerDelayMs(5);
    reader->setCharIntervalMs(1);
    reader->setLineGapMs(15);
    return reader;
}

QPushButton *WindowTest::button(const char *name) const
{
    return form->findChild<QPushButton *>(QLatin1String(name));
}

QPushButton *WindowTest::key(int index) const
{
    return form->findChild<QPushButton *>(QStringLiteral("BtnKB_%1").arg(index));
}

QComboBox *WindowTest::combo(const char *name) const
{
    return form->findChild<QComboBox *>(QLatin1String(name));
}

QLabel *WindowTest::label(const char *name) const
{
    return form->findChild<QLabel *>(QLatin1String(name));
}

namespace {
const char *const CommandButtons[] = {"BtnStart",    "BtnClose",      "BtnSetup",    "BtnClear", "BtnExit",
                                      "BtnLoadFile", "BtnConSetting", "BtnStartRec", "BtnSave"};
const char *const Lists[] = {"CbKBType", "CbNumber"};
} // namespace

QStringList WindowTest::enabledCommandButtons() const
{
    QStringList names;
    for (const char *name : CommandButtons) {
        if (button(name)->isEnabled())
            names << QLatin1String(name);
    }
    return names;
}

QStringList WindowTest::enabledMainGroup() const
{
    QStringList names = enabledCommandButtons();
    for (const char *name : Lists) {
        if (combo(name)->isEnabled())
            names << QLatin1String(name);
    }
    return names;
}

QStringList WindowTest::enabledControls() const
{
    QStringList names = enabledMainGroup();
    for (int i = 0; i < 59; ++i) {
        if (key(i)->isEnabled())
            names << key(i)->objectName();
    }
    return names;
}

QStringList WindowTest::mainGroup()
{
    QStringList names;
    for (const char *name : CommandButtons)
        names << QLatin1String(name);
    for (const char *name : Lists)
        names << QLatin1String(name);
    return names;
}

QString WindowTest::receivedText() const
{
    return form->findChild<QPlainTextEdit *>(QStringLiteral("TxtRcv"))->toPlainText();
}

void WindowTest::click(QWidget *widget)
{
    QTest::mouseClick(widget, Qt::LeftButton);
}

bool WindowTest::waitFor(const std::function<bool()> &pred, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!pred()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qSleep(1);
    }
    return true;
}

bool WindowTest::waitForKeyboard(int ms)
{
    return waitFor([this] { return key(2)->isEnabled(); }, ms);
}

bool WindowTest::waitForAnswer(int ms)
{
    const auto answered = [this] {
        for (const std::string &path : platform.devicePaths()) {
            const emu::EmulatedDevice *device = platform.device(path);
            if (device && device->reader && device->reader->isTyping())
                return false;
        }
        return form->session().readerIdle();
    };
    return waitFor([&] { return key(2)->isEnabled() && answered(); }, ms);
}

std::vector<std::uint8_t> payloadOf(const std::vector<std::uint8_t> &report)
{
    std::vector<std::uint8_t> payload(report.begin() + (report.empty() ? 0 : 1), report.end());
    while (!payload.empty() && payload.back() == 0)
        payload.pop_back();
    return payload;
}

QString hexOf(const std::vector<std::uint8_t> &bytes)
{
    QString text;
    for (std::uint8_t b : bytes)
        text += QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
    return text;
}

std::vector<std::vector<std::uint8_t>> WindowTest::payloads() const
{
    std::vector<std::vector<std::uint8_t>> result;
    for (const auto &sent : platform.sentReports()) {
        if (sent.accepted)
            result.push_back(payloadOf(sent.bytes));
    }
    return result;
}

QStringList WindowTest::payloadStrings() const
{
    QStringList result;
    for (const auto &payload : payloads())
        result << hexOf(payload);
    return result;
}

} // namespace vortal9::test
