// The real window on the emulated platform, with dialogs the test answers.
#pragma once

#include "EmulatedPlatform.h"
#include "EmulatedReader.h"
#include "ui/MainForm.h"
#include "ui/UserDialogs.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QStringList>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>

namespace vortal9::test {

class ScriptedDialogs : public UserDialogs
{
public:
    bool askYesNo(QWidget *, const QString &title, const QString &text) override;
    QString openFileName(QWidget *, const QString &startName, const QString &filter) override;
    QString saveFileName(QWidget *, const QString &filter) override;
    void warn(QWidget *, const QString &title, const QString &text) override;

    std::deque<bool> yesNoAnswers;
    std::deque<QString> openAnswers;   // "" = cancel
    std::deque<QString> saveAnswers;   // "" = cancel
    QStringList asked;                 // "yesno:<title>", "open:<start>", "save", "warn:<title>"
    QString lastText;
    // Runs while a dialog is open, before it answers (as a person would take
    // a moment to answer it).
    std::function<void()> whileOpen;
};

class WindowTest : public ::testing::Test
{
protected:
    // Faster timers for most tests; end-to-end tests that check real timing
    // build their window with Timing::real().
    static constexpr int SpeedUp = 5;

    void TearDown() override;

    // Builds and shows the window; the platform's devices must be added first.
    MainForm &openWindow(const Timing &timing = Timing::faster(SpeedUp));
    emu::EmulatedReader *addFastReader(const std::string &path, std::u16string manufacturer = u"VORTAL9");

    QPushButton *button(const char *name) const;
    QPushButton *key(int index) const;
    QComboBox *combo(const char *name) const;
    QLabel *label(const char *name) const;
    QString receivedText() const;
    // The enabled ones among the nine command buttons; among them and the two
    // lists (the main group); and among all of those and the 59 keys.
    QStringList enabledCommandButtons() const;
    QStringList enabledMainGroup() const;
    QStringList enabledControls() const;
    // The main group, all enabled: the idle state of the buttons.
    static QStringList mainGroup();
    // Clicks a control as a person does: press and release with the mouse.
    void click(QWidget *widget);
    // Processes events (sleeping in between) until pred holds or ms pass.
    bool waitFor(const std::function<bool()> &pred, int ms);
    // Waits until the on-screen keyboard is enabled (the reader answered and fell quiet).
    bool waitForKeyboard(int ms = 5000);
    // The same, and the reader's whole answer is in: it has nothing left to
    // type, and the session heard it fall quiet. On a busy machine an
    // emulated reader may pause inside its answer for longer than the quiet
    // period: the keys come on, and a key clicked while it goes on typing
    // is refused (the reader is not idle).
    bool waitForAnswer(int ms = 5000);
    // Payloads (bytes after the report ID, without the zero fill) of every accepted report.
    std::vector<std::vector<std::uint8_t>> payloads() const;
    QStringList payloadStrings() const;

    emu::EmulatedPlatform platform;
    ScriptedDialogs dialogs;
    std::unique_ptr<MainForm> form;
};

std::vector<std::uint8_t> payloadOf(const std::vector<std::uint8_t> &report);
QString hexOf(const std::vector<std::uint8_t> &bytes);

} // namespace vortal9::test
