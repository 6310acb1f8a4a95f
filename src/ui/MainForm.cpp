#include "ui/MainForm.h"

#include "device/Messages.h"
#include "keyboard/KeyTable.h"
#include "keyboard/Layouts.h"
#include "ui/Controls.h"
#include "ui/Program.h"
#include "ui/UserDialogs.h"

#include <QAccessible>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QTextCursor>

#include <cmath>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace vortal9 {

namespace {

// Positions of the design are in twips; 15 twips make a pixel at 96 dpi, and
// Qt scales pixels for high-dpi screens.
QRect twips(int left, int top, int width, int height)
{
    auto px = [](int t) { return qRound(t / 15.0); };
    return QRect(px(left), px(top), px(width), px(height));
}

// The design's faces where the system has them, otherwise faces of the same
// metrics (Liberation) or the platform's own. Looked up once: a family the
// system lacks costs a fallback search for every font built from it.
QString firstInstalled(const QStringList &candidates, QFont::StyleHint hint)
{
    // The plain list of installed families: asking for each name would run
    // the platform's alias substitution for every one.
    const QStringList installed = QFontDatabase::families();
    for (const QString &family : candidates) {
        if (installed.contains(family, Qt::CaseInsensitive))
            return family;
    }
    QFont fallback;
    fallback.setStyleHint(hint);
    return fallback.defaultFamily();
}

QFont designFont(bool serif, qreal points, bool bold)
{
    static const QString sans = firstInstalled(
        {QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"), QStringLiteral("Arial")}, QFont::SansSerif);
    static const QString roman = firstInstalled(
        {QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif")}, QFont::Serif);
    QFont font(serif ? roman : sans);
    font.setStyleHint(serif ? QFont::Serif : QFont::SansSerif);
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

QFont sansFont(qreal points, bool bold)
{
    return designFont(false, points, bold);
}

QFont serifFont(qreal points, bool bold)
{
    return designFont(true, points, bold);
}

const QString WarningLine1 =
    QStringLiteral("Warning : Before you close the application program, please make sure the device is ");
const QString WarningLine2 = QStringLiteral("                not in the configuration mode.");

const QString WindowTitle = QStringLiteral("VORTAL9 Configuration Setup AP (PX4KQ905)");
const QString NotCapturedTitle = QStringLiteral(" - reader not captured: keep this window in front");

const QString UnsavedRecordingText =
    QStringLiteral("The recording could not be saved. If you close the program now, it is lost.\n"
                   "Close anyway?");

const QString DropRecordingText =
    QStringLiteral("The recording could not be saved. If you go on, it is lost.\nGo on anyway?");

const QString ReaderLeftInConfigModeText =
    QStringLiteral("%1 The reader may still be in its configuration mode. Press \"Enter Config\" and choose "
                   "its exit entry, or unplug the reader and plug it in again.");

const QString ExitText = QStringLiteral(
    "Before you close the application program, please make sure the device is not in the configuration mode.\n"
    "Otherwise, you have to re-attach the device after close the application program.\n"
    "If you want to close the, please press YES. Or press NO to back to the application program.");

} // namespace

MainForm::MainForm(HidPlatform &platform, CapturePlatform *capture, UserDialogs &dialogs, const Timing &timing,
                   QWidget *parent)
    : QWidget(parent)
    , m_dialogs(dialogs)
    , m_timing(timing)
    , m_usb(platform, *this)
    , m_capture(capture)
    , m_session(new ReaderSession(platform, capture, timing, this))
{
    createControls();
    Form_Load();
}

MainForm::~MainForm()
{
    QCoreApplication::instance()->removeEventFilter(this);
    m_unloading = true;
    m_session->closeNow();
    m_usb.CloseReader();
}

void MainForm::createControls()
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(WindowTitle);
    setWindowIcon(applicationIcon());
    // A window of fixed size, without a close button: "EXIT" and its
    // warning are the way out.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint);
    setFixedSize(twips(0, 0, 7560, 7980).size());

    const QFont buttonFont = sansFont(8.25, false);
    const QFont labelFont = sansFont(9.75, true);
    const QFont entryFont = sansFont(9.75, false);

    auto label = [&](QWidget *owner, const char *name, const QString &text, QRect geometry) {
        auto *l = new QLabel(text, owner);
        l->setObjectName(QLatin1String(name));
        l->setFont(labelFont);
        l->setGeometry(geometry);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return l;
    };
    auto button = [&](QWidget *owner, const char *name, const QString &caption, QRect geometry) {
        auto *b = new CommandButton(caption, owner);
        b->setObjectName(QLatin1String(name));
        b->setAccessibleName(caption);
        b->setFont(buttonFont);
        b->setGeometry(geometry);
        b->setFace(QColor(0, 255, 0));
        // Reachable with Tab, but a click never takes the focus away from the
        // receive box, where the reader's answers must land.
        b->setFocusPolicy(Qt::TabFocus);
        b->setAutoDefault(false);
        return b;
    };
    auto combo = [&](const char *name, const QString &accessible, QRect geometry) {
        auto *c = new QComboBox(this);
        c->setObjectName(QLatin1String(name));
        c->setAccessibleName(accessible);
        c->setFont(entryFont);
        c->setGeometry(geometry);
        c->setFocusPolicy(Qt::TabFocus);
        return c;
    };

    Label1 = label(this, "Label1", QStringLiteral("Select Country"), twips(120, 120, 1935, 375));
    CbKBType = combo("CbKBType", QStringLiteral("Select Country"), twips(1800, 120, 2295, 360));
    LbModel = label(this, "LbModel", QStringLiteral("Total on-line VORTAL9 #"), twips(120, 600, 3135, 375));
    Lb1 = label(this, "Lb1", QStringLiteral("[ 0 ]"), twips(2880, 600, 855, 375));
    Label2 = label(this, "Label2", QStringLiteral("Select Device"), twips(120, 960, 1815, 375));
    CbNumber = combo("CbNumber", QStringLiteral("Select Device"), twips(1800, 960, 975, 360));
    Label1->setBuddy(CbKBType);
    Label2->setBuddy(CbNumber);

    BtnStart = button(this, "BtnStart", QStringLiteral("Check Device"), twips(4320, 120, 975, 495));
    BtnSetup = button(this, "BtnSetup", QStringLiteral("Enter Config"), twips(4320, 720, 975, 495));
    BtnClose = button(this, "BtnClose", QStringLiteral("Close Device"), twips(5400, 120, 975, 495));
    BtnClear = button(this, "BtnClear", QStringLiteral("Clear"), twips(5400, 720, 975, 495));
    BtnExit = button(this, "BtnExit", QStringLiteral("EXIT"), twips(6480, 120, 855, 1095));
    BtnExit->setFont(sansFont(9.75, true));

    FrameFile = new CaptionFrame(QStringLiteral("Script File Access"), this);
    FrameFile->setObjectName(QStringLiteral("FrameFile"));
    FrameFile->setFont(labelFont);
    FrameFile->setGeometry(twips(120, 1320, 7335, 615));
    TxtFileName = new QLineEdit(FrameFile);
    TxtFileName->setObjectName(QStringLiteral("TxtFileName"));
    TxtFileName->setAccessibleName(QStringLiteral("Script file name"));
    TxtFileName->setFont(entryFont);
    TxtFileName->setGeometry(twips(120, 240, 1815, 285));
    TxtFileName->setReadOnly(true);
    TxtFileName->setFocusPolicy(Qt::TabFocus);
    BtnLoadFile = button(FrameFile, "BtnLoadFile", QStringLiteral("Load File"), twips(2040, 240, 1215, 255));
    BtnConSetting = button(FrameFile, "BtnConSetting", QStringLiteral("Setting"), twips(3360, 240, 1215, 255));
    BtnStartRec = button(FrameFile, "BtnStartRec", QStringLiteral("Start Rec"), twips(4680, 240, 1215, 255));
    BtnSave = button(FrameFile, "BtnSave", QStringLiteral("Save Rec"), twips(6000, 240, 1215, 255));

    Label3 = label(this, "Label3", QString(), twips(120, 2040, 7335, 495));
    Label3->setFont(sansFont(8.25, true));
    Label3->setAutoFillBackground(true);
    QPalette warning = Label3->palette();
    warning.setColor(QPalette::Window, QColor(192, 255, 255));
    warning.setColor(QPalette::WindowText, QColor(255, 0, 0));
    Label3->setPalette(warning);

    TxtRcv = new ReceiveBox(this);
    TxtRcv->setObjectName(QStringLiteral("TxtRcv"));
    TxtRcv->setAccessibleName(QStringLiteral("Reader output"));
    TxtRcv->setFont(serifFont(9.75, true));
    TxtRcv->setGeometry(twips(120, 2520, 7335, 2895));
    TxtRcv->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    TxtRcv->setTabChangesFocus(true);

    createKeyboard();

    StatusBar1 = new QWidget(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setGeometry(twips(0, 7605, 7560, 375));
    const int widths[6] = {800, 1200, 500, 1200, 1100, 2700};
    const QString captions[6] = {QStringLiteral(" Status "), {}, QStringLiteral("IV."), {},
                                 QStringLiteral("Error Msg"), {}};
    int left = 0;
    for (int i = 0; i < 6; ++i) {
        auto *panel = new QLabel(captions[i], StatusBar1);
        panel->setObjectName(QStringLiteral("StatusBar1_Panel%1").arg(i + 1));
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setGeometry(QRect(twips(left, 0, widths[i], 375).topLeft(), twips(0, 0, widths[i], 375).size()));
        // Panels whose text changes carry no fixed accessible name, so a
        // screen reader reads their current text.
        if (!captions[i].isEmpty())
            panel->setAccessibleName(captions[i].trimmed());
        m_panels[static_cast<std::size_t>(i)] = panel;
        left += widths[i];
    }

    connect(BtnStart, &QPushButton::clicked, this, &MainForm::BtnStart_Click);
    connect(BtnClose, &QPushButton::clicked, this, &MainForm::BtnClose_Click);
    connect(BtnExit, &QPushButton::clicked, this, &MainForm::BtnExit_Click);
    connect(BtnClear, &QPushButton::clicked, this, &MainForm::BtnClear_Click);
    connect(BtnSetup, &QPushButton::clicked, this, &MainForm::BtnSetup_Click);
    connect(BtnConSetting, &QPushButton::clicked, this, &MainForm::BtnConSetting_Click);
    connect(BtnLoadFile, &QPushButton::clicked, this, &MainForm::BtnLoadFile_Click);
    connect(BtnStartRec, &QPushButton::clicked, this, &MainForm::BtnStartRec_Click);
    connect(BtnSave, &QPushButton::clicked, this, &MainForm::BtnSave_Click);
    connect(CbKBType, &QComboBox::activated, this, &MainForm::CbKBType_Click);
    connect(TxtRcv, &QPlainTextEdit::textChanged, this, &MainForm::TxtRcv_Change);
    connect(TxtRcv, &ReceiveBox::mousePressed, this, &MainForm::TxtRcv_MouseDown);
    connect(TxtRcv, &ReceiveBox::mouseReleased, this, &MainForm::TxtRcv_MouseUp);

    connect(m_session, &ReaderSession::typed, this, &MainForm::Reader_Typed);
    connect(m_session, &ReaderSession::quietPeriodEnded, this, &MainForm::Reader_QuietPeriodEnded);
    connect(m_session, &ReaderSession::echoChecked, this, &MainForm::Reader_EchoChecked);
    connect(m_session, &ReaderSession::failure, this, &MainForm::Reader_Failure);
    connect(m_session, &ReaderSession::playbackFinished, this, &MainForm::Reader_PlaybackFinished);
    connect(m_session, &ReaderSession::modifierReset, this, &MainForm::Reader_ModifierReset);
    connect(m_session, &ReaderSession::lost, this, &MainForm::Reader_Lost);

    // Mouse releases on the buttons, and keystrokes of a reader typing
    // without capture, wherever they are headed (dialogs included).
    QCoreApplication::instance()->installEventFilter(this);

    setTabOrder();
}

void MainForm::createKeyboard()
{
    FrameKB = new CaptionFrame(QStringLiteral("Keyboard Layout"), this);
    FrameKB->setObjectName(QStringLiteral("FrameKB"));
    FrameKB->setFont(sansFont(9.75, true));
    FrameKB->setGeometry(twips(120, 5400, 7335, 2175));

    const QFont captionFont = sansFont(9.75, false);
    const auto &keys = keyboard::keyTable();
    for (int i = 0; i < keyboard::KeyCount; ++i) {
        const auto &info = keys[static_cast<std::size_t>(i)];
        auto *key = new CommandButton(info.caption, FrameKB);
        key->setObjectName(QStringLiteral("BtnKB_%1").arg(i));
        key->setFont(captionFont);
        key->setGeometry(twips(info.twips.x(), info.twips.y(), info.twips.width(), info.twips.height()));
        key->setFocusPolicy(Qt::TabFocus);
        key->setAutoDefault(false);
        key->setIconSize(QSize(key->height() - 4, key->height() - 4));
        if (!info.caption.isEmpty())
            key->setAccessibleName(info.caption);
        else if (i == 56)
            key->setAccessibleName(QStringLiteral("Space"));
        if (info.kind == keyboard::KeyKind::Inactive)
            key->setEnabled(false);
        connect(key, &QPushButton::clicked, this, [this, i] { BtnKB_Click(i); });
        BtnKB[static_cast<std::size_t>(i)] = key;
    }
    m_pictures = std::make_unique<PictureCache>(QCoreApplication::applicationDirPath());
}

void MainForm::setTabOrder()
{
    QWidget *order[] = {TxtRcv, BtnExit, CbNumber, BtnSetup, BtnClear, CbKBType, BtnClose, TxtFileName,
                        BtnLoadFile, BtnStart, BtnStartRec, BtnSave, BtnConSetting};
    QWidget *previous = nullptr;
    for (QWidget *w : order) {
        if (previous)
            QWidget::setTabOrder(previous, w);
        previous = w;
    }
    for (QPushButton *key : BtnKB) {
        QWidget::setTabOrder(previous, key);
        previous = key;
    }
}

void MainForm::Form_Load()
{
#ifdef Q_OS_WIN
    // Take the separator and the Close entry off the window menu, which also
    // disables the title bar's close button.
    HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE);
    RemoveMenu(menu, 5, MF_BYPOSITION);
    RemoveMenu(menu, 5, MF_BYPOSITION);
#endif
    m_usb.ReaderFound = m_usb.FindReaders();
    setPanelText(2, text::Disconnect);
    CbKBType->addItems(keyboard::countryNames());
    CbKBType->setCurrentIndex(0);
    CbKBType_Click();
    DisableKeyboard();
    setPanelText(4, QString());
    setPanelText(6, QString());
    showBlockedReaders();

    // The warning must show on two lines in the label's width; where the
    // platform's fallback face is wider than the design's, it is drawn a
    // little smaller rather than wrapped onto a third line.
    Label3->setText(WarningLine1 + QLatin1Char('\n') + WarningLine2);
    QFont font = Label3->font();
    const int room = Label3->width() - 2;
    const int needed = QFontMetrics(font).horizontalAdvance(WarningLine1.trimmed());
    if (needed > room) {
        font.setPointSizeF(std::floor(font.pointSizeF() * room / needed * 4) / 4);
        Label3->setFont(font);
    }
    TxtRcv->setFocus();
}

QString MainForm::panelText(int panel) const
{
    if (panel < 1 || panel > 6)
        return {};
    return m_panels[static_cast<std::size_t>(panel - 1)]->text();
}

void MainForm::setPanelText(int panel, const QString &text)
{
    if (panel < 1 || panel > 6)
        return;
    QLabel *label = m_panels[static_cast<std::size_t>(panel - 1)];
    label->setText(text);
    // A tooltip belongs to the text it explains.
    label->setToolTip(QString());
    QAccessibleEvent event(label, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}

void MainForm::setDeviceMonitor(DeviceMonitor *monitor)
{
    m_session->setDeviceMonitor(monitor);
}

void MainForm::showProblem(const QString &shortText, const QString &whole)
{
    QLabel *panel = m_panels[5];
    // The panel's frame and margins take a few pixels of its width.
    const int room = panel->contentsRect().width() - 2 * panel->margin() - 4;
    const QString fitting = panel->fontMetrics().elidedText(shortText, Qt::ElideRight, room);
    setPanelText(6, fitting);
    panel->setToolTip(whole);
}

void MainForm::warnReaderLeftInConfigMode(const QString &what)
{
    const QString advice = ReaderLeftInConfigModeText.arg(what);
    m_panels[5]->setToolTip(advice);
    m_dialogs.warn(this, QStringLiteral("Warning"), advice);
}

bool MainForm::mayDropKeptRecording()
{
    if (!m_recordingUnsaved || !m_session->isRecording())
        return true;
    if (!m_dialogs.askYesNo(this, QStringLiteral("Warning"), DropRecordingText))
        return false;
    m_recordingUnsaved = false;
    return true;
}

void MainForm::setReaderCountCaption(const QString &caption)
{
    Lb1->setText(caption);
}

void MainForm::clearReaderList()
{
    CbNumber->clear();
}

void MainForm::addReaderEntry(const QString &entry)
{
    CbNumber->addItem(entry);
}

void MainForm::selectReaderEntry(int position)
{
    CbNumber->setCurrentIndex(position);
}

void MainForm::focusReceiveBox()
{
    if (!m_session->isCaptured())
        TxtRcv->setFocus();
}

void MainForm::showBlockedReaders()
{
    if (!m_capture)
        return;
    // The hint names what to run; the panel shows what fits in front of it.
    if (const QString blocked = m_capture->blockedReaders(); !blocked.isEmpty())
        showProblem(blocked.section(QLatin1Char(':'), 0, 0), blocked);
}

void MainForm::showCaptureState()
{
    // Without capture the reader's answers go wherever the keyboard focus is:
    // where the system could have captured the reader, the title says so for
    // as long as such a session is open; the receive box's tooltip says why.
    // A system that offers no capture at all keeps the design's title.
    if (!m_session->isOpen() || m_session->isCaptured()) {
        setWindowTitle(WindowTitle);
        TxtRcv->setToolTip(QString());
        return;
    }
    setWindowTitle(m_capture ? WindowTitle + NotCapturedTitle : WindowTitle);
    QString why = m_session->captureRefusal();
    if (why.isEmpty())
        why = QStringLiteral("this system offers no capture of a reader's keys");
    TxtRcv->setToolTip(QStringLiteral("The reader's keys are not captured (%1). Its answers reach this window "
                                      "only while it has the keyboard focus; a window in front of it gets "
                                      "them instead.")
                           .arg(why));
}

bool MainForm::redirectsKeys() const
{
    return !m_session->isCaptured() && m_session->mayBeTyping();
}

bool MainForm::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonRelease:
        // A mouse release runs before the click: the focus is back in the
        // receive box before the click's handler starts sending.
        if (watched == BtnSetup || watched == BtnConSetting || watched == BtnClose) {
            focusReceiveBox();
        } else {
            for (int i = 0; i < keyboard::KeyCount; ++i) {
                if (watched == BtnKB[static_cast<std::size_t>(i)]) {
                    BtnKB_MouseUp(i);
                    break;
                }
            }
        }
        break;
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
        // While an uncaptured reader may be typing, keystrokes are its
        // answers: they belong in the receive box, whichever widget of the
        // program they were headed for, a dialog's included. At any other
        // time, and always with capture, the keyboard works the window.
        // A key that the receive box leaves unused travels on to the box's
        // parents; it is not sent back.
        if (watched->isWidgetType() && watched != TxtRcv
            && !static_cast<QWidget *>(watched)->isAncestorOf(TxtRcv) && redirectsKeys()) {
            if (static_cast<QWidget *>(watched)->window() == this)
                TxtRcv->setFocus();
            if (event->type() != QEvent::ShortcutOverride)
                QCoreApplication::sendEvent(TxtRcv, event);
            return true;
        }
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

// Button groups.

namespace {
void setAll(std::initializer_list<QWidget *> controls, bool enabled)
{
    for (QWidget *control : controls)
        control->setEnabled(enabled);
}
} // namespace

void MainForm::Btn1Enabled()
{
    setAll({BtnStart, BtnClose, BtnSetup, BtnClear, BtnExit, BtnLoadFile, BtnConSetting, BtnStartRec, BtnSave,
            CbKBType, CbNumber},
           true);
}

void MainForm::Btn1Disabled()
{
    setAll({BtnStart, BtnClose, BtnSetup, BtnClear, BtnExit, BtnLoadFile, BtnConSetting, BtnStartRec, BtnSave,
            CbKBType, CbNumber},
           false);
}

void MainForm::Btn2Enabled()
{
    Btn1Enabled();
}

void MainForm::Btn2Disabled()
{
    setAll({BtnStart, BtnSetup, BtnClear, BtnExit, BtnLoadFile, BtnConSetting, BtnStartRec, BtnSave, CbKBType,
            CbNumber},
           false);
}

void MainForm::EnableKeyboard()
{
    for (QPushButton *key : BtnKB)
        key->setEnabled(true);
    BtnKB[keyboard::TabKey]->setEnabled(false);
    BtnKB[keyboard::CapsKey]->setEnabled(false);
}

void MainForm::DisableKeyboard()
{
    for (QPushButton *key : BtnKB)
        key->setEnabled(false);
}

// Session control and the receive area.

void MainForm::BtnStart_Click()
{
    // A reader still open after a playback is closed before the scan.
    m_session->close();
    showCaptureState();
    m_usb.ReaderFound = m_usb.FindReaders();
    setPanelText(6, QString());
    setPanelText(4, QString());
    setPanelText(2, text::Disconnect);
    DisableKeyboard();
    showBlockedReaders();
}

void MainForm::BtnClose_Click()
{
    // Whatever is pending is dropped: nothing more goes to the reader but the
    // release of a key it still holds.
    m_session->close();
    m_usb.CloseReader();
    showCaptureState();
    setPanelText(2, text::Disconnect);
    setPanelText(6, QString());
    setPanelText(4, QString());
    DisableKeyboard();
    Btn2Enabled();
}

void MainForm::BtnExit_Click()
{
    if (!m_dialogs.askYesNo(this, QStringLiteral("Warning"), ExitText))
        return;
    if (m_recordingUnsaved && m_session->isRecording()
        && !m_dialogs.askYesNo(this, QStringLiteral("Warning"), UnsavedRecordingText))
        return;
    unload();
}

void MainForm::BtnClear_Click()
{
    TxtRcv->clear();
}

void MainForm::closeEvent(QCloseEvent *event)
{
    // Unloading is never refused, however the system asks for it.
    unload();
    event->accept();
}

void MainForm::unload()
{
    if (m_unloading)
        return;
    m_unloading = true;
    hide();
    // A key the reader still holds goes up one pacing interval after the last
    // report; the window is unloaded once the session has let the reader go,
    // so that the program does not end before that release has gone out.
    if (!m_session->holdsReader()) {
        finishUnload();
        return;
    }
    connect(m_session, &ReaderSession::letGo, this, &MainForm::finishUnload, Qt::SingleShotConnection);
    m_session->closeNow();
}

void MainForm::finishUnload()
{
    m_usb.CloseReader();
    Q_EMIT unloaded();
}

void MainForm::TxtRcv_Change()
{
    if (TxtRcv->document()->isEmpty())
        return;
    TxtRcv->moveCaretToEnd();
    // With capture the session hears the reader itself; what lands here then
    // is the reader's text it passed on, or the technician's own typing.
    if (!m_session->isCaptured())
        m_session->noteTyping();
}

void MainForm::TxtRcv_MouseDown()
{
    // Playback does not go on past its next wait for the reader while a
    // button is held over the receive box.
    m_session->setHeld(true);
}

void MainForm::TxtRcv_MouseUp()
{
    m_session->setHeld(false);
}

void MainForm::Reader_Typed(const QString &text)
{
    // As the reader's keys would have typed it: at the caret, a backspace
    // taking the character before it.
    QTextCursor cursor = TxtRcv->textCursor();
    for (const QChar c : text) {
        if (c == u'\b')
            cursor.deletePreviousChar();
        else
            cursor.insertText(QString(c));
    }
    TxtRcv->setTextCursor(cursor);
}

void MainForm::Reader_QuietPeriodEnded(bool keyboardReady)
{
    if (keyboardReady)
        EnableKeyboard();
    focusReceiveBox();
}

void MainForm::Reader_Failure(const QString &message)
{
    setPanelText(6, message);
}

void MainForm::Reader_Lost()
{
    // The reader was unplugged: the session is over on both sides.
    showCaptureState();
    setPanelText(2, text::Disconnect);
    setPanelText(4, QString());
    setPanelText(6, text::CantFindReader);
    DisableKeyboard();
    Btn2Enabled();
}

} // namespace vortal9
