// The on-screen keyboard: key clicks, the latching Shift and Alt Gr keys,
// the key-echo check and the country layouts' pictures.
#include "keyboard/KeyTable.h"
#include "keyboard/Layouts.h"
#include "keyboard/PictureLegends.h"
#include "ui/Controls.h"
#include "ui/MainForm.h"

#include <QComboBox>
#include <QPushButton>
#include <QTimer>

namespace vortal9 {

using namespace keyboard;

namespace {
constexpr int NoModifier = 0;
constexpr int ShiftLatched = 1;
constexpr int AltGrLatched = 2;
} // namespace

void MainForm::BtnKB_Click(int index)
{
    EchoLenAtSend = 0;
    EchoLenAtCheck = 0;
    if (m_usb.DeviceHandle < 1 || !ReaderIdle)
        return;
    DisableKeyboard();

    const KeyInfo &key = keyTable()[static_cast<std::size_t>(index)];
    switch (key.kind) {
    case KeyKind::Ordinary:
        m_usb.SendCommandString(key.scanString);
        break;
    case KeyKind::Shift:
        shiftTransition();
        ShowLayout(ModifierState);
        break;
    case KeyKind::RightAlt:
        if (CbKBType->currentIndex() == 0) {
            m_usb.SendCommandString(QLatin1String(RightAltStroke));
        } else {
            altGrTransition();
            ShowLayout(ModifierState);
        }
        break;
    case KeyKind::Inactive:
        break;
    }
    EchoLenAtSend = TxtRcv->textLength();
    Timer3->start();
}

void MainForm::shiftTransition()
{
    const bool national = CbKBType->currentIndex() != 0;
    switch (ModifierState) {
    case NoModifier:
        ModifierState = ShiftLatched;
        setKeyLatched(ShiftLeftKey, true);
        setKeyLatched(ShiftRightKey, true);
        m_usb.SendCommandString(QLatin1String(ShiftMake));
        if (national)
            BtnKB[RightAltKey]->setEnabled(false);
        break;
    case ShiftLatched:
        ModifierState = NoModifier;
        setKeyLatched(ShiftLeftKey, false);
        setKeyLatched(ShiftRightKey, false);
        m_usb.SendCommandString(QLatin1String(ShiftBreak));
        if (national)
            BtnKB[RightAltKey]->setEnabled(true);
        break;
    default:
        ModifierState = ShiftLatched;
        m_usb.SendCommandString(QLatin1String(AltGrBreak));
        setKeyLatched(RightAltKey, false);
        setKeyLatched(ShiftLeftKey, true);
        setKeyLatched(ShiftRightKey, true);
        m_usb.SendCommandString(QLatin1String(ShiftMake));
        if (national)
            BtnKB[RightAltKey]->setEnabled(false);
        break;
    }
}

void MainForm::altGrTransition()
{
    switch (ModifierState) {
    case NoModifier:
        m_usb.SendCommandString(QLatin1String(AltGrMake));
        ModifierState = AltGrLatched;
        setKeyLatched(RightAltKey, true);
        BtnKB[ShiftLeftKey]->setEnabled(false);
        BtnKB[ShiftRightKey]->setEnabled(false);
        break;
    case ShiftLatched:
        ModifierState = AltGrLatched;
        m_usb.SendCommandString(QLatin1String(ShiftBreak));
        setKeyLatched(RightAltKey, true);
        setKeyLatched(ShiftLeftKey, false);
        setKeyLatched(ShiftRightKey, false);
        m_usb.SendCommandString(QLatin1String(AltGrMake));
        break;
    default:
        ModifierState = NoModifier;
        m_usb.SendCommandString(QLatin1String(AltGrBreak));
        setKeyLatched(RightAltKey, false);
        BtnKB[ShiftLeftKey]->setEnabled(true);
        BtnKB[ShiftRightKey]->setEnabled(true);
        break;
    }
}

void MainForm::setKeyLatched(int key, bool latched)
{
    // A latched modifier takes the palette's darker shade; released, it gets
    // the normal button colour back.
    QPushButton *button = BtnKB[static_cast<std::size_t>(key)];
    QPalette colours = button->palette();
    colours.setColor(QPalette::Button, palette().color(latched ? QPalette::Dark : QPalette::Button));
    button->setPalette(colours);
    button->setAutoFillBackground(latched);
}

void MainForm::Timer3_Timer()
{
    Timer3->stop();
    EchoLenAtCheck = TxtRcv->textLength();
    if (EchoLenAtSend == EchoLenAtCheck) {
        // The reader typed nothing: the key needs no answer.
        EchoLenAtSend = 0;
        EchoLenAtCheck = 0;
        EnableKeyboard();
    }
    focusReceiveBox();
}

void MainForm::BtnKB_MouseUp(int)
{
    focusReceiveBox();
    TxtRcv->moveCaretToEnd();
}

void MainForm::CbKBType_Click()
{
    ModifierState = NoModifier;
    ShowLayout(ModifierState);
}

void MainForm::ShowLayout(int &state)
{
    switch (CbKBType->currentIndex()) {
    case 0: LayoutUS(state); break;
    case 1: LayoutGerman(state); break;
    case 2: LayoutFrench(state); break;
    case 3: LayoutUK(state); break;
    case 4: LayoutSpanish(state); break;
    case 5: LayoutItalian(state); break;
    case 6: LayoutDutch(state); break;
    case 7: LayoutPortuguese(state); break;
    case 8: LayoutSwedish(state); break;
    case 9: LayoutDanish(state); break;
    default: break;
    }
}

void MainForm::LayoutUS(int &state) { applyLayout(0, state); }
void MainForm::LayoutGerman(int &state) { applyLayout(1, state); }
void MainForm::LayoutFrench(int &state) { applyLayout(2, state); }
void MainForm::LayoutUK(int &state) { applyLayout(3, state); }
void MainForm::LayoutSpanish(int &state) { applyLayout(4, state); }
void MainForm::LayoutItalian(int &state) { applyLayout(5, state); }
void MainForm::LayoutDutch(int &state) { applyLayout(6, state); }
void MainForm::LayoutPortuguese(int &state) { applyLayout(7, state); }
void MainForm::LayoutSwedish(int &state) { applyLayout(8, state); }
void MainForm::LayoutDanish(int &state) { applyLayout(9, state); }

void MainForm::applyLayout(int countryIndex, int state)
{
    // The flattened table gives each key the picture that the chain of base
    // layouts would have left on it, loading each key once.
    const ResolvedLayout &layout = resolvedLayout(countryIndex, state);
    for (int key = 0; key < KeyCount; ++key) {
        const auto &picture = layout[static_cast<std::size_t>(key)];
        if (!picture)
            continue;
        m_keyPicture[static_cast<std::size_t>(key)] = *picture;
        QPushButton *button = BtnKB[static_cast<std::size_t>(key)];
        button->setIcon(m_pictures->picture(*picture));
        // Picture keys are named by their legend for tests and screen readers.
        button->setAccessibleName(legendFor(*picture));
    }
    const QString caption = key57Caption(countryIndex);
    BtnKB[RightAltKey]->setText(caption);
    BtnKB[RightAltKey]->setAccessibleName(caption);
}

QString MainForm::keyPictureName(int key) const
{
    if (key < 0 || key >= KeyCount)
        return {};
    return m_keyPicture[static_cast<std::size_t>(key)];
}

} // namespace vortal9
