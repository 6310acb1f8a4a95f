// Entering configuration mode ("Enter Config") and sending a loaded script
// ("Setting"); the session runs both, the window shows how they go.
#include "device/Messages.h"
#include "script/ScriptCheck.h"
#include "ui/Controls.h"
#include "ui/MainForm.h"

#include <QComboBox>
#include <QLabel>

namespace vortal9 {

namespace {
const QString InUse = QStringLiteral("VORTAL9 In Use");
const QString InUseWhy = QStringLiteral("Another program holds this reader (for example vortal9-batch playing a "
                                        "script to it). Nothing was sent to it; try again when it has finished.");
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
    m_session->close();
    m_usb.CloseReader();
    const int position = CbNumber->currentIndex();
    const std::string path = (position >= 0 && static_cast<std::size_t>(position) < m_usb.DevicePaths.size())
                                 ? m_usb.DevicePaths[static_cast<std::size_t>(position)]
                                 : std::string();
    const ReaderSession::OpenResult opened = m_session->open(path);
    showCaptureState();
    if (!opened) {
        if (opened.status == ReaderSession::OpenResult::InUse)
            showProblem(InUse, InUseWhy);
        else
            setPanelText(6, text::OpenError);
        // No reader is connected, so the status must not say so.
        setPanelText(2, text::Disconnect);
        return false;
    }
    setPanelText(4, m_session->manufacturer());
    return true;
}

void MainForm::BtnSetup_Click()
{
    if (!mayDropKeptRecording())
        return;
    m_session->close();
    m_usb.CloseReader();
    TxtRcv->clear();
    m_session->clearRecording();
    setPanelText(6, QString());
    setPanelText(4, QString());
    setPanelText(2, text::Connect);
    if (!readerChosen() || !reopenSelectedReader())
        return;
    CbNumber->setEnabled(false);
    Btn2Disabled();
    DisableKeyboard();
    focusReceiveBox();
    m_session->enterConfig();
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
    // Anything that cannot be played as whole pairs of hexadecimal digits is
    // refused here, before the reader has been put into configuration mode.
    if (script::playbackProblem(m_files.ScriptText)) {
        setPanelText(6, text::LoadFileError);
        return;
    }
    DisableKeyboard();
    Btn1Disabled();
    WriteConfig();
}

void MainForm::WriteConfig()
{
    focusReceiveBox();
    m_session->playScript(m_files.ScriptText);
}

void MainForm::Reader_PlaybackFinished(ReaderSession::Outcome outcome)
{
    // How it ended is shown already: a failure by Reader_Failure, an
    // unplugged reader by Reader_Lost, which follows.
    if (m_unloading)
        return;
    Btn1Enabled();
    if (outcome == ReaderSession::Outcome::NotResponding)
        warnReaderLeftInConfigMode(QStringLiteral("The reader stopped answering before the script was played to "
                                                  "its end."));
    else if (outcome == ReaderSession::Outcome::WriteError)
        warnReaderLeftInConfigMode(QStringLiteral("The reader refused a report before the script was played to "
                                                  "its end."));
}

} // namespace vortal9
