// Entering configuration mode ("Enter Config"), sending a loaded script
// ("Setting") and playing it back (WriteConfig).
#include "config/ScriptTokenizer.h"
#include "device/Messages.h"
#include "script/ScriptFormat.h"
#include "ui/Controls.h"
#include "ui/MainForm.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QTimer>

namespace vortal9 {

namespace {
// The configuration hot key: left Ctrl, left Alt, F10 down, then up again in
// the reverse order.
const QString HotKeyMake = QStringLiteral("141109");
const QString HotKeyBreak = QStringLiteral("F009F011F014");
} // namespace

bool MainForm::readerChosen()
{
    if (m_usb.ReaderFound && CbNumber->currentIndex() >= 0)
        return true;
    setPanelText(6, text::CantFindReader);
    setPanelText(2, text::Disconnect);
    return false;
}

bool MainForm::reopenSelectedReader()
{
    m_usb.CloseReader();
    const int position = CbNumber->currentIndex();
    const std::string path = (position >= 0 && static_cast<std::size_t>(position) < m_usb.DevicePaths.size())
                                 ? m_usb.DevicePaths[static_cast<std::size_t>(position)]
                                 : std::string();
    // A reader that refuses read/write access still takes feature reports
    // through a handle opened with no access rights.
    if (m_usb.OpenReader(path, AccessReadWrite) >= 1 || m_usb.OpenReader(path, AccessNone) >= 1) {
        setPanelText(4, m_usb.ReadManufacturerString());
        return true;
    }
    setPanelText(6, text::OpenError);
    // No reader is connected, so the status must not say so.
    setPanelText(2, text::Disconnect);
    return false;
}

void MainForm::BtnSetup_Click()
{
    m_usb.CloseReader();
    TxtRcv->clear();
    m_files.RecordBuffer.clear();
    setPanelText(6, QString());
    setPanelText(4, QString());
    setPanelText(2, text::Connect);
    if (!readerChosen() || !reopenSelectedReader())
        return;
    CbNumber->setEnabled(false);
    Btn2Disabled();
    DisableKeyboard();
    m_usb.SendCommandString(HotKeyMake);
    m_usb.SendCommandString(HotKeyBreak);
}

void MainForm::BtnConSetting_Click()
{
    TxtRcv->clear();
    setPanelText(6, QString());
    setPanelText(2, text::Connect);
    setPanelText(4, QString());
    if (!readerChosen())
        return;
    if (!m_files.ScriptLoaded) {
        setPanelText(6, text::CantLoadFile);
        return;
    }
    if (!reopenSelectedReader())
        return;
    const QString &loaded = m_files.ScriptText;
    // Anything but hexadecimal pairs where playback reads could not be sent;
    // refuse it here, before the reader has been put into configuration mode.
    // Characters 19 and 20 are never sent and stay unexamined.
    if (loaded.size() <= script::PlaybackStart || !loaded.startsWith(QLatin1String(script::HotKeyString))
        || !script::isHexText(loaded.mid(script::PlaybackStart))) {
        setPanelText(6, text::LoadFileError);
        return;
    }
    DisableKeyboard();
    ScriptRunning = true;
    Btn1Disabled();
    WriteConfig();
}

bool MainForm::waitForAnswer()
{
    // Waits until the reader has typed and then been quiet, but gives up when
    // nothing at all arrives in the receive box for the answer time-out.
    ReaderIdle = false;
    m_answerTimedOut = false;
    m_answerWatchdog->start(m_timing.answerTimeoutMs);
    waitUntil([this] { return ReaderIdle || m_answerTimedOut; });
    m_answerWatchdog->stop();
    if (ReaderIdle || m_unloading)
        return true;
    setPanelText(6, text::NotResponding);
    return false;
}

void MainForm::waitForQuietReader()
{
    // The reader counts as quiet once the quiet period has passed since the
    // last change of the receive box; that may already be the case when the
    // mouse is released.
    while (!m_unloading) {
        const qint64 quietLeft = m_timing.quietMs - m_sinceTextChange.elapsed();
        if (!Timer1->isActive() && quietLeft <= 0)
            return;
        sleepFor(Timer1->isActive() ? Timer1->remainingTime() : static_cast<int>(quietLeft));
    }
}

void MainForm::WriteConfig()
{
    const QString playing = m_files.ScriptText;
    // Restarted whenever ReaderIdle is cleared at the start of a step. A
    // mouse button held on the receive box stops the playback wherever it
    // waits, also in the pacing wait before a send; the reader may then have
    // typed its whole answer and fallen quiet before the send. Its answer is
    // over when it has typed since the step began and the quiet timer has
    // fired since: waiting for another answer would wait for nothing.
    QElapsedTimer stepStart;
    auto answerEnded = [this, &stepStart] {
        const bool typedSinceStepStart = m_sinceTextChange.elapsed() < stepStart.elapsed();
        return (ReaderIdle && typedSinceStepStart) || waitForAnswer();
    };

    ReaderIdle = false;
    stepStart.start();
    focusReceiveBox();

    if (m_usb.SendCommandString(HotKeyMake) && m_usb.SendCommandString(HotKeyBreak) && answerEnded()) {
        qsizetype p = script::PlaybackStart;
        while (!m_unloading) {
            ReaderIdle = false;
            stepStart.start();
            const script::Token token = script::cutToken(playing, p);
            focusReceiveBox();
            if (!m_usb.SendCommandString(token.text))
                break;
            if (token.waitForAnswer) {
                if (!answerEnded())
                    break;
                if (MouseHeld) {
                    waitUntil([this] { return !MouseHeld; });
                    waitForQuietReader();
                }
            } else if (token.isBreak) {
                m_usb.PacingWait(m_timing.breakPauseMs);
            }
            if (!script::hasNextToken(playing, token.next))
                break;
            p = token.next;
        }
    }
    Btn1Enabled();
    ScriptRunning = false;
}

} // namespace vortal9
