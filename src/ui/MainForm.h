// The program's only window.
//
// Flow of data: the reader is a HID keyboard. Commands go out as scan-code
// strings through AccessUSBIO::SendCommandString, which cuts them into
// feature reports and waits on Timer2 between them while the window keeps
// processing events. The reader answers by typing into whatever widget has
// the focus, which the window keeps in TxtRcv. Every change of TxtRcv
// restarts Timer1; when the reader has been quiet for the quiet period,
// Timer1 sets ReaderIdle, marks the end of the answer in a recording ("FF")
// and enables the on-screen keyboard. Scripts (FileAccess) are recordings
// of what was sent, played back by WriteConfig, which waits for ReaderIdle
// at every "FF".
//
// All work runs in the handlers below on the one UI thread. Waits process
// events and sleep in between; nothing blocks and nothing spins.
#pragma once

#include "device/AccessUSBIO.h"
#include "script/FileAccess.h"
#include "ui/Timing.h"

#include <QElapsedTimer>
#include <QWidget>

#include <array>
#include <memory>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace vortal9 {

class HidPlatform;
class PictureCache;
class ReceiveBox;
class UserDialogs;

class MainForm final : public QWidget, private DeviceView
{
    Q_OBJECT

public:
    MainForm(HidPlatform &platform, UserDialogs &dialogs, const Timing &timing = Timing::real(),
             QWidget *parent = nullptr);
    ~MainForm() override;

    AccessUSBIO &usb() { return m_usb; }
    FileAccess &files() { return m_files; }
    const Timing &timing() const { return m_timing; }
    QString panelText(int panel) const;
    bool isUnloading() const override { return m_unloading; }

    // Button groups.
    void Btn1Enabled();
    void Btn1Disabled();
    void Btn2Enabled();
    void Btn2Disabled();
    void EnableKeyboard();
    void DisableKeyboard();

    // Script playback to the open reader.
    void WriteConfig();

    // Country layouts: each loads its pictures for the state and sets the
    // caption of key 57.
    void ShowLayout(int &state);
    void LayoutUS(int &state);
    void LayoutGerman(int &state);
    void LayoutFrench(int &state);
    void LayoutUK(int &state);
    void LayoutSpanish(int &state);
    void LayoutItalian(int &state);
    void LayoutDutch(int &state);
    void LayoutPortuguese(int &state);
    void LayoutSwedish(int &state);
    void LayoutDanish(int &state);
    // The picture a key shows, as the name it was loaded by ("" when blank).
    QString keyPictureName(int key) const;

    // Window-level and shared flags.
    bool ReaderIdle = false;
    bool ScriptRunning = false;
    bool MouseHeld = false;
    int ModifierState = 0;
    int EchoLenAtSend = 0;
    int EchoLenAtCheck = 0;

Q_SIGNALS:
    // The window was unloaded: the reader is closed and the program must end.
    void unloaded();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // DeviceView
    void setReaderCountCaption(const QString &caption) override;
    void clearReaderList() override;
    void addReaderEntry(const QString &entry) override;
    void selectReaderEntry(int position) override;
    void setPanelText(int panel, const QString &text) override;
    void startPacingTimer(int intervalMs) override;
    void waitUntil(const std::function<bool()> &done) override;

    void createControls();
    void createKeyboard();
    void setTabOrder();
    void Form_Load();
    void unload();

    // Handlers.
    void BtnStart_Click();
    void BtnClose_Click();
    void BtnExit_Click();
    void BtnClear_Click();
    void BtnSetup_Click();
    void BtnConSetting_Click();
    void BtnLoadFile_Click();
    void BtnStartRec_Click();
    void BtnSave_Click();
    void CbKBType_Click();
    void TxtRcv_Change();
    void TxtRcv_MouseDown();
    void TxtRcv_MouseUp();
    void Timer1_Timer();
    void Timer2_Timer();
    void Timer3_Timer();
    void BtnKB_Click(int index);
    void BtnKB_MouseUp(int index);

    // Script files.
    void LoadScriptFile();
    bool SaveScriptFile();

    // Shared steps of "Enter Config" and "Setting": each reports its own
    // failure in the status bar and returns false.
    bool readerChosen();
    bool reopenSelectedReader(); // also shows the manufacturer string
    // Waits for the reader's answer; false when it stayed silent too long.
    bool waitForAnswer();
    // After a mouse hold: waits until the reader has been quiet for the
    // quiet period.
    void waitForQuietReader();
    void sleepFor(int ms);

    void shiftTransition();
    void altGrTransition();
    void setKeyLatched(int key, bool latched);
    void applyLayout(int countryIndex, int state);
    void focusReceiveBox();

    UserDialogs &m_dialogs;
    const Timing m_timing;
    FileAccess m_files;
    AccessUSBIO m_usb;
    bool m_unloading = false;
    bool m_answerTimedOut = false;
    QElapsedTimer m_sinceTextChange;

    // Controls, named as in the design.
    QLabel *Label1 = nullptr;
    QComboBox *CbKBType = nullptr;
    QLabel *LbModel = nullptr;
    QLabel *Lb1 = nullptr;
    QLabel *Label2 = nullptr;
    QComboBox *CbNumber = nullptr;
    QPushButton *BtnStart = nullptr;
    QPushButton *BtnSetup = nullptr;
    QPushButton *BtnClose = nullptr;
    QPushButton *BtnClear = nullptr;
    QPushButton *BtnExit = nullptr;
    QGroupBox *FrameFile = nullptr;
    QLineEdit *TxtFileName = nullptr;
    QPushButton *BtnLoadFile = nullptr;
    QPushButton *BtnConSetting = nullptr;
    QPushButton *BtnStartRec = nullptr;
    QPushButton *BtnSave = nullptr;
    QLabel *Label3 = nullptr;
    ReceiveBox *TxtRcv = nullptr;
    QGroupBox *FrameKB = nullptr;
    std::array<QPushButton *, 59> BtnKB{};
    std::array<QString, 59> m_keyPicture;
    QWidget *StatusBar1 = nullptr;
    std::array<QLabel *, 6> m_panels{};
    QTimer *Timer1 = nullptr;
    QTimer *Timer2 = nullptr;
    QTimer *Timer3 = nullptr;
    QTimer *m_answerWatchdog = nullptr;
    QTimer *m_wakeTimer = nullptr;
    std::unique_ptr<PictureCache> m_pictures;
};

} // namespace vortal9
