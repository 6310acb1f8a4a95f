// The program's only window: a view of one reader session.
//
// Flow of data: "Check Device" asks AccessUSBIO for the attached readers.
// "Enter Config" and "Setting" open the chosen one in the window's
// ReaderSession, which sends scan-code strings to it as paced feature
// reports, runs the configuration hot key, the on-screen keys and script
// playback, and records what was sent. The reader answers by typing. When the
// session captures the reader's own input device, its text comes through the
// session's typed() signal and is put into TxtRcv as it would have been
// typed; otherwise the reader types into whatever widget has the focus, the
// window keeps that in TxtRcv while the reader may be typing, and every
// change of TxtRcv is passed on to the session. When the reader has been
// quiet for the quiet period the session says so, and the window enables the
// on-screen keyboard. The handlers below ask the session and show its answer;
// nothing here waits.
#pragma once

#include "device/AccessUSBIO.h"
#include "script/FileAccess.h"
#include "session/ReaderSession.h"
#include "session/Timing.h"

#include <QWidget>

#include <array>
#include <memory>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace vortal9 {

class CapturePlatform;
class DeviceMonitor;
class HidPlatform;
class PictureCache;
class ReceiveBox;
class UserDialogs;

class MainForm final : public QWidget, private DeviceView
{
    Q_OBJECT

public:
    // capture may be null: the reader is then heard through the keyboard focus.
    MainForm(HidPlatform &platform, CapturePlatform *capture, UserDialogs &dialogs,
             const Timing &timing = Timing::real(), QWidget *parent = nullptr);
    ~MainForm() override;

    AccessUSBIO &usb() { return m_usb; }
    ReaderSession &session() { return *m_session; }
    FileAccess &files() { return m_files; }
    const Timing &timing() const { return m_timing; }
    QString panelText(int panel) const;
    bool isUnloading() const { return m_unloading; }
    // Readers unplugged while open are noticed through the monitor, with or
    // without capture.
    void setDeviceMonitor(DeviceMonitor *monitor);

    // Button groups.
    void Btn1Enabled();
    void Btn1Disabled();
    void Btn2Enabled();
    void Btn2Disabled();
    void EnableKeyboard();
    void DisableKeyboard();

    // Starts the playback of the loaded script to the open reader; the
    // buttons come back when it ends.
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
    // Ends as "EXIT" does, without its questions (an ending signal: a
    // logout, a shutdown, kill): what the reader holds released, the reader
    // closed and let go, then unloaded().
    void endWithoutQuestions() { unload(); }

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

    void createControls();
    void createKeyboard();
    void setTabOrder();
    void Form_Load();
    void unload();
    void finishUnload();

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
    void BtnKB_Click(int index);
    void BtnKB_MouseUp(int index);

    // What the session reports.
    void Reader_Typed(const QString &text);
    void Reader_QuietPeriodEnded(bool keyboardReady);
    void Reader_EchoChecked(bool keyboardReady);
    void Reader_Failure(const QString &message);
    void Reader_PlaybackFinished(ReaderSession::Outcome outcome);
    void Reader_ModifierReset();
    void Reader_Lost();

    // Script files.
    void LoadScriptFile();
    // The tooltip of the file-name box: what the loaded script presses, in
    // the country chosen in "Select Country" (as vortal9-batch show says it).
    void showScriptKeys();
    bool SaveScriptFile(const QString &recorded);

    // Shared steps of "Enter Config" and "Setting": each reports its own
    // failure in the status bar and returns false.
    bool readerChosen();
    bool reopenSelectedReader(); // also shows the manufacturer string
    // Without capture, says so where the technician sees it.
    void showCaptureState();
    // Readers that are attached but cannot be opened are not counted: says so.
    void showBlockedReaders();
    // Panel 6 with a text that may not fit its width: the part that fits,
    // and the whole as its tooltip.
    void showProblem(const QString &shortText, const QString &whole);
    // The recording kept after a failed save is about to be wiped: asks
    // first. False when the technician keeps it.
    bool mayDropKeptRecording();
    // The reader may be left in its configuration mode: says so and what to do.
    void warnReaderLeftInConfigMode(const QString &what);

    void showKeyStroke(const keyboard::KeyStroke &stroke);
    void setKeyLatched(int key, bool latched);
    void applyLayout(int countryIndex, int state);
    // Where the reader's typing lands without capture: the focus goes back to
    // the receive box. With capture the focus stays where the user put it.
    void focusReceiveBox();
    // Without capture and while the reader may be typing (also the rest of an
    // answer after Close Device), keystrokes meant for any other widget of
    // the program go to the receive box instead.
    bool redirectsKeys() const;

    UserDialogs &m_dialogs;
    const Timing m_timing;
    FileAccess m_files;
    AccessUSBIO m_usb;
    CapturePlatform *m_capture;
    ReaderSession *m_session = nullptr;
    bool m_unloading = false;
    // A recording is held that a save did not write (failed or cancelled).
    bool m_recordingUnsaved = false;

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
    std::unique_ptr<PictureCache> m_pictures;
};

} // namespace vortal9
