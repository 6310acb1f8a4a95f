// "Load File", "Start Rec" and "Save Rec".
#include "script/ScriptFormat.h"
#include "ui/MainForm.h"
#include "ui/UserDialogs.h"

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
}

void MainForm::BtnStartRec_Click()
{
    m_files.RecordBuffer.clear();
    m_files.Recording = true;
    BtnStartRec->setEnabled(false);
}

void MainForm::BtnSave_Click()
{
    if (!m_files.Recording)
        return;
    m_files.Recording = false;
    BtnStartRec->setEnabled(true);
    if (SaveScriptFile()) {
        m_files.RecordBuffer.clear();
        return;
    }
    // Cancelled or failed: the recording goes on, so that nothing recorded is
    // lost and "Save Rec" can be pressed again.
    m_files.Recording = true;
    BtnStartRec->setEnabled(false);
}

bool MainForm::SaveScriptFile()
{
    m_files.DialogFileName.clear();
    const QString chosen = m_dialogs.saveFileName(this, ScriptFilter);
    if (chosen.isEmpty())
        return false;
    m_files.DialogFileName = chosen;
    return script::saveScriptFile(chosen, m_files.RecordBuffer).isEmpty();
}

} // namespace vortal9
