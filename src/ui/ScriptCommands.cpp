// "Load File", "Start Rec" and "Save Rec".
#include "device/Messages.h"
#include "keyboard/ScriptKeys.h"
#include "script/ScriptCheck.h"
#include "script/ScriptFormat.h"
#include "ui/MainForm.h"
#include "ui/UserDialogs.h"

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>

namespace vortal9 {

namespace {
const QString ScriptFilter = QStringLiteral("*.TXT");
}

void MainForm::BtnLoadFile_Click()
{
    setPanelText(6, QString());
    LoadScriptFile();
}

void MainForm::LoadScriptFile()
{
    // Whatever happens next, the script loaded before is gone.
    m_files.ScriptLoaded = false;
    m_files.ScriptText.clear();
    showScriptKeys();

    // A cancelled dialog keeps the name it held, so that file loads again.
    const QString chosen = m_dialogs.openFileName(this, m_files.DialogFileName, ScriptFilter);
    if (!chosen.isEmpty())
        m_files.DialogFileName = chosen;
    TxtFileName->setText(QStringLiteral("N/A"));
    if (m_files.DialogFileName.isEmpty())
        return;

    const script::LoadResult result = script::loadScriptFile(m_files.DialogFileName);
    if (result.status != script::LoadResult::Status::Loaded) {
        TxtFileName->setText(QStringLiteral("N/A"));
        m_files.DialogFileName.clear();
        return;
    }
    const QString shown = script::displayedName(m_files.DialogFileName);
    if (!shown.isEmpty())
        TxtFileName->setText(shown);
    m_files.ScriptText = result.text;
    m_files.ScriptLoaded = true;
    showScriptKeys();
}

void MainForm::showScriptKeys()
{
    if (!m_files.ScriptLoaded) {
        TxtFileName->setToolTip(QString());
        return;
    }
    if (const auto why = script::playbackProblem(m_files.ScriptText)) {
        TxtFileName->setToolTip(QStringLiteral("This script cannot be played: %1").arg(*why));
        return;
    }
    const int country = CbKBType->currentIndex();
    TxtFileName->setToolTip(keyboard::scriptKeysText(keyboard::scriptKeys(m_files.ScriptText, country)).trimmed());
}

void MainForm::BtnStartRec_Click()
{
    if (!mayDropKeptRecording())
        return;
    m_session->startRecording();
    m_recordingUnsaved = false;
    BtnStartRec->setEnabled(false);
}

void MainForm::BtnSave_Click()
{
    if (!m_session->isRecording())
        return;
    const QString recorded = m_session->takeRecording();
    BtnStartRec->setEnabled(true);
    if (SaveScriptFile(recorded)) {
        m_recordingUnsaved = false;
        return;
    }
    // Cancelled or failed: the recording goes on, so that nothing recorded is
    // lost and "Save Rec" can be pressed again; "EXIT", "Enter Config" and
    // "Start Rec" ask before it is lost.
    m_session->resumeRecording(recorded);
    m_recordingUnsaved = true;
    BtnStartRec->setEnabled(false);
}

bool MainForm::SaveScriptFile(const QString &recorded)
{
    m_files.DialogFileName.clear();
    const QString chosen = m_dialogs.saveFileName(this, ScriptFilter);
    if (chosen.isEmpty())
        return false;
    m_files.DialogFileName = chosen;
    const QString failure = script::saveScriptFile(chosen, recorded);
    if (failure.isEmpty())
        return true;
    setPanelText(6, text::CantSaveFile);
    m_dialogs.warn(this, QStringLiteral("Save Rec"),
                   failure + QStringLiteral("\nThe recording is kept: press \"Save Rec\" to save it somewhere else."));
    return false;
}

} // namespace vortal9
