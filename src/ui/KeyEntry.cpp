// The on-screen keyboard: key clicks, the latching Shift and Alt Gr keys,
// the key-echo check and the country layouts' pictures.
#include "keyboard/KeyStrokes.h"
#include "keyboard/KeyTable.h"
#include "keyboard/Layouts.h"
#include "keyboard/PictureLegends.h"
#include "ui/Controls.h"
#include "ui/MainForm.h"

#include <QComboBox>
#include <QPushButton>

namespace vortal9 {

using namespace keyboard;

void MainForm::BtnKB_Click(int index)
{
    // The session refuses the key while no reader is open or the reader is
    // still typing its last answer.
    const std::optional<KeyStroke> stroke = m_session->pressKey(index, CbKBType->currentIndex() != 0);
    if (!stroke)
        return;
    DisableKeyboard();
    showKeyStroke(*stroke);
}

void MainForm::showKeyStroke(const KeyStroke &stroke)
{
    if (stroke.shiftLatchShown) {
        setKeyLatched(ShiftLeftKey, *stroke.shiftLatchShown);
        setKeyLatched(ShiftRightKey, *stroke.shiftLatchShown);
    }
    if (stroke.altGrLatchShown)
        setKeyLatched(RightAltKey, *stroke.altGrLatchShown);
    // While the rest of the keyboard waits for the reader, a transition may
    // leave the other modifier clickable.
    if (stroke.rightAltEnabled)
        BtnKB[RightAltKey]->setEnabled(*stroke.rightAltEnabled);
    if (stroke.shiftEnabled) {
        BtnKB[ShiftLeftKey]->setEnabled(*stroke.shiftEnabled);
        BtnKB[ShiftRightKey]->setEnabled(*stroke.shiftEnabled);
    }
    if (stroke.reloadsPictures) {
        int state = m_session->modifierState();
        ShowLayout(state);
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

void MainForm::Reader_EchoChecked(bool keyboardReady)
{
    // The reader typed nothing after the key: it needs no answer.
    if (keyboardReady)
        EnableKeyboard();
    focusReceiveBox();
}

void MainForm::Reader_ModifierReset()
{
    // Every session starts with no modifier latched, on the reader and here.
    setKeyLatched(ShiftLeftKey, false);
    setKeyLatched(ShiftRightKey, false);
    setKeyLatched(RightAltKey, false);
    int state = NoModifier;
    ShowLayout(state);
}

void MainForm::BtnKB_MouseUp(int)
{
    focusReceiveBox();
    if (!m_session->isCaptured())
        TxtRcv->moveCaretToEnd();
}

void MainForm::CbKBType_Click()
{
    m_session->clearModifier();
    int state = NoModifier;
    ShowLayout(state);
    showScriptKeys();
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
