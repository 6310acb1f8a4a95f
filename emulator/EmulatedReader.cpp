#include "EmulatedReader.h"

#include "keyboard/UsKeyboard.h"

#include <QApplication>
#include <QKeyEvent>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <array>
#include <optional>

namespace vortal9::emu {

namespace {

constexpr std::uint8_t PrefixExtended = 0xE0;
constexpr std::uint8_t PrefixBreak = 0xF0;
constexpr std::uint8_t CodeF10 = 0x09;
constexpr std::uint8_t CodeEnter = 0x5A; // also keypad Enter with E0
constexpr std::uint8_t CodeBackspace = 0x66;

constexpr QChar Newline = u'\n';
constexpr QChar Backspace = u'\b';

struct UsKey
{
    std::uint8_t code;
    char16_t plain;
    char16_t shifted;
};

// The character keys of the U.S. map, scan code set 2.
constexpr std::array<UsKey, 48> UsKeys{{
    {0x0E, u'`', u'~'},  {0x16, u'1', u'!'},  {0x1E, u'2', u'@'},  {0x26, u'3', u'#'},
    {0x25, u'4', u'$'},  {0x2E, u'5', u'%'},  {0x36, u'6', u'^'},  {0x3D, u'7', u'&'},
    {0x3E, u'8', u'*'},  {0x46, u'9', u'('},  {0x45, u'0', u')'},  {0x4E, u'-', u'_'},
    {0x55, u'=', u'+'},  {0x15, u'q', u'Q'},  {0x1D, u'w', u'W'},  {0x24, u'e', u'E'},
    {0x2D, u'r', u'R'},  {0x2C, u't', u'T'},  {0x35, u'y', u'Y'},  {0x3C, u'u', u'U'},
    {0x43, u'i', u'I'},  {0x44, u'o', u'O'},  {0x4D, u'p', u'P'},  {0x54, u'[', u'{'},
    {0x5B, u']', u'}'},  {0x5D, u'\\', u'|'}, {0x1C, u'a', u'A'},  {0x1B, u's', u'S'},
    {0x23, u'd', u'D'},  {0x2B, u'f', u'F'},  {0x34, u'g', u'G'},  {0x33, u'h', u'H'},
    {0x3B, u'j', u'J'},  {0x42, u'k', u'K'},  {0x4B, u'l', u'L'},  {0x4C, u';', u':'},
    {0x52, u'\'', u'"'}, {0x61, u'\\', u'|'}, {0x1A, u'z', u'Z'},  {0x22, u'x', u'X'},
    {0x21, u'c', u'C'},  {0x2A, u'v', u'V'},  {0x32, u'b', u'B'},  {0x31, u'n', u'N'},
    {0x3A, u'm', u'M'},  {0x41, u',', u'<'},  {0x49, u'.', u'>'},  {0x4A, u'/', u'?'},
}};

struct AltGrKey
{
    std::uint8_t code;
    char16_t ch;
};

// The few keys that give a character with Alt Gr held.
constexpr std::array<AltGrKey, 11> AltGrKeys{{
    {0x15, u'@'},    // Q
    {0x24, u'\u20AC'}, // E: euro sign
    {0x3A, u'\u00B5'}, // M: micro sign
    {0x1E, u'\u00B2'}, // 2: superscript two
    {0x26, u'\u00B3'}, // 3: superscript three
    {0x3D, u'{'},    // 7
    {0x3E, u'['},    // 8
    {0x46, u']'},    // 9
    {0x45, u'}'},    // 0
    {0x4E, u'\\'},   // minus
    {0x61, u'|'},    // extra key left of Z
}};

// Which held-modifier bit a key transition drives, 0 for other keys.
unsigned modifierBit(const EmulatedReader::KeyEvent &key)
{
    switch (key.code) {
    case 0x12:
        return key.extended ? 0u : unsigned(EmulatedReader::LeftShift);
    case 0x59:
        return key.extended ? 0u : unsigned(EmulatedReader::RightShift);
    case 0x14:
        return key.extended ? EmulatedReader::RightCtrl : EmulatedReader::LeftCtrl;
    case 0x11:
        return key.extended ? EmulatedReader::AltGr : EmulatedReader::LeftAlt;
    default:
        return 0;
    }
}

// The character a key gives under the held modifiers, if any.
std::optional<QChar> characterFor(const EmulatedReader::KeyEvent &key, unsigned held)
{
    if (held & (EmulatedReader::LeftCtrl | EmulatedReader::RightCtrl | EmulatedReader::LeftAlt))
        return std::nullopt;
    if (key.extended) {
        if (key.code == 0x4A) // keypad slash
            return QChar(u'/');
        return std::nullopt;
    }
    if (key.code == 0x29)
        return QChar(u' ');
    if (held & EmulatedReader::AltGr) {
        for (const AltGrKey &k : AltGrKeys) {
            if (k.code == key.code)
                return QChar(k.ch);
        }
        return std::nullopt;
    }
    const bool shift = held & (EmulatedReader::LeftShift | EmulatedReader::RightShift);
    for (const UsKey &k : UsKeys) {
        if (k.code == key.code)
            return QChar(shift ? k.shifted : k.plain);
    }
    return std::nullopt;
}

bool isEnter(const EmulatedReader::KeyEvent &key)
{
    return key.code == CodeEnter; // main Enter, or keypad Enter with E0
}

bool isBackspace(const EmulatedReader::KeyEvent &key)
{
    return key.code == CodeBackspace && !key.extended;
}

// Characters that a U.S. keyboard types with Shift held.
bool typedWithShift(QChar ch)
{
    static const QString shifted = QStringLiteral("~!@#$%^&*()_+{}|:\"<>?");
    return (ch >= u'A' && ch <= u'Z') || shifted.contains(ch);
}

QString nextInCycle(const QStringList &cycle, const QString &current)
{
    const qsizetype at = cycle.indexOf(current);
    return cycle.at((at + 1) % cycle.size()); // an unknown value restarts the cycle
}

const QStringList &terminatorCycle()
{
    static const QStringList cycle{QStringLiteral("CR"), QStringLiteral("CRLF"), QStringLiteral("TAB"),
                                   QStringLiteral("NONE")};
    return cycle;
}

const QStringList &tracksCycle()
{
    static const QStringList cycle{QStringLiteral("123"), QStringLiteral("12"), QStringLiteral("23"),
                                   QStringLiteral("13"),  QStringLiteral("1"),  QStringLiteral("2"),
                                   QStringLiteral("3")};
    return cycle;
}

QString shown(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("(none)") : text;
}

const QString KeyPreamble = QStringLiteral("preamble");
const QString KeyPostamble = QStringLiteral("postamble");
const QString KeyTerminator = QStringLiteral("terminator");
const QString KeyTracks = QStringLiteral("tracks");
const QString KeyBeep = QStringLiteral("beep");

QMap<QString, QString> defaultSettings()
{
    return {
        {KeyPreamble, QString()},
        {KeyPostamble, QString()},
        {KeyTerminator, QStringLiteral("CR")},
        {KeyTracks, QStringLiteral("123")},
        {KeyBeep, QStringLiteral("ON")},
    };
}

} // namespace

EmulatedReader::EmulatedReader(QObject *parent)
    : QObject(parent)
    , m_stored(defaultSettings())
    , m_working(m_stored)
    , m_typeTimer(new QTimer(this))
{
    m_typeTimer->setSingleShot(true);
    m_typeTimer->setTimerType(Qt::PreciseTimer);
    connect(m_typeTimer, &QTimer::timeout, this, &EmulatedReader::typeNext);
}

EmulatedReader::~EmulatedReader() = default;

void EmulatedReader::receiveReport(const std::vector<std::uint8_t> &bytes)
{
    m_received.push_back({bytes, std::chrono::steady_clock::now()});
    // Byte 0 is the report ID; zero bytes are the fill after the payload.
    for (std::size_t i = 1; i < bytes.size(); ++i) {
        if (bytes[i] != 0)
            handleByte(bytes[i]);
    }
    Q_EMIT reportReceived();
}

void EmulatedReader::handleByte(std::uint8_t byte)
{
    // The prefixes may come in either order (F0 E0 code or E0 F0 code), and a
    // prefix at the end of one report applies to the first code of the next.
    if (byte == PrefixExtended) {
        m_pendingE0 = true;
        return;
    }
    if (byte == PrefixBreak) {
        m_pendingF0 = true;
        return;
    }
    const KeyEvent key{byte, m_pendingE0, m_pendingF0};
    m_pendingE0 = false;
    m_pendingF0 = false;
    m_keyEvents.push_back(key);
    handleKey(key);
}

void EmulatedReader::handleKey(const KeyEvent &key)
{
    if (const unsigned bit = modifierBit(key)) {
        if (key.release)
            m_held &= ~bit;
        else
            m_held |= bit;
        return; // a modifier alone is never answered
    }
    if (!key.release)
        handleMake(key);
}

void EmulatedReader::handleMake(const KeyEvent &key)
{
    if (key.code == CodeF10 && !key.extended && (m_held & LeftCtrl) && (m_held & LeftAlt)) {
        enterConfigMode();
        return;
    }
    const std::optional<QChar> ch = characterFor(key, m_held);
    switch (m_state) {
    case MenuState::Off:
        return;
    case MenuState::Prompt:
        if (ch && !(m_held & (LeftShift | RightShift | AltGr)))
            handlePromptKey(*ch);
        return;
    case MenuState::EditPreamble:
    case MenuState::EditPostamble:
        if (!(m_held & (LeftCtrl | RightCtrl | LeftAlt)))
            handleEditKey(key, ch.value_or(QChar()));
        return;
    }
}

void EmulatedReader::handlePromptKey(QChar ch)
{
    const QString echo = QString(ch) + Newline;
    switch (ch.unicode()) {
    case u'1':
        m_editBuffer.clear();
        setState(MenuState::EditPreamble);
        queueAnswer(echo + QStringLiteral("Preamble? "));
        break;
    case u'2':
        m_editBuffer.clear();
        setState(MenuState::EditPostamble);
        queueAnswer(echo + QStringLiteral("Postamble? "));
        break;
    case u'3':
        m_working[KeyTerminator] = nextInCycle(terminatorCycle(), m_working.value(KeyTerminator));
        queueAnswer(echo + QStringLiteral("Terminator = %1\n> ").arg(m_working.value(KeyTerminator)));
        break;
    case u'4':
        m_working[KeyTracks] = nextInCycle(tracksCycle(), m_working.value(KeyTracks));
        queueAnswer(echo + QStringLiteral("Tracks = %1\n> ").arg(m_working.value(KeyTracks)));
        break;
    case u'5':
        m_working[KeyBeep] = m_working.value(KeyBeep) == QLatin1String("ON") ? QStringLiteral("OFF")
                                                                             : QStringLiteral("ON");
        queueAnswer(echo + QStringLiteral("Beep = %1\n> ").arg(m_working.value(KeyBeep)));
        break;
    case u'8':
        leaveConfigMode(true);
        queueAnswer(echo + QStringLiteral("Saved. Bye\n"));
        break;
    case u'9':
        leaveConfigMode(false);
        queueAnswer(echo + QStringLiteral("Bye\n"));
        break;
    default:
        break; // not a menu entry: no answer
    }
}

void EmulatedReader::handleEditKey(const KeyEvent &key, QChar ch)
{
    const bool preamble = m_state == MenuState::EditPreamble;
    if (isEnter(key)) {
        const QString &field = preamble ? KeyPreamble : KeyPostamble;
        m_working[field] = m_editBuffer;
        setState(MenuState::Prompt);
        queueAnswer(QStringLiteral("\n%1 = %2\n> ")
                        .arg(preamble ? QStringLiteral("Preamble") : QStringLiteral("Postamble"),
                             shown(m_editBuffer)));
        return;
    }
    if (isBackspace(key)) {
        if (!m_editBuffer.isEmpty()) {
            m_editBuffer.chop(1);
            queueAnswer(QString(Backspace));
        }
        return;
    }
    if (!ch.isNull() && m_editBuffer.size() < MaxTextLength) {
        m_editBuffer += ch;
        queueAnswer(QString(ch));
    }
}

void EmulatedReader::enterConfigMode()
{
    // The hot key inside the menu shows the menu again; an edit in progress
    // is abandoned and its field keeps the value it had.
    if (m_state == MenuState::Off)
        m_working = m_stored;
    m_editBuffer.clear();
    setState(MenuState::Prompt);
    queueAnswer(menuText());
}

void EmulatedReader::leaveConfigMode(bool save)
{
    if (save)
        m_stored = m_working;
    else
        m_working = m_stored;
    m_editBuffer.clear();
    setState(MenuState::Off);
}

void EmulatedReader::setState(MenuState state)
{
    const bool wasOn = m_state != MenuState::Off;
    m_state = state;
    const bool isOn = m_state != MenuState::Off;
    if (wasOn != isOn)
        Q_EMIT configModeChanged(isOn);
}

QString EmulatedReader::menuText() const
{
    return QStringLiteral("VORTAL9 SETUP\n"
                          "1 Preamble: %1\n"
                          "2 Postamble: %2\n"
                          "3 Terminator: %3\n"
                          "4 Tracks: %4\n"
                          "5 Beep: %5\n"
                          "8 Save and exit\n"
                          "9 Exit without saving\n"
                          "> ")
        .arg(shown(m_working.value(KeyPreamble)), shown(m_working.value(KeyPostamble)),
             m_working.value(KeyTerminator), m_working.value(KeyTracks), m_working.value(KeyBeep));
}

QMap<QString, QString> EmulatedReader::storedSettings() const
{
    return m_stored;
}

void EmulatedReader::setStoredSettings(const QMap<QString, QString> &settings)
{
    for (auto it = settings.begin(); it != settings.end(); ++it)
        m_stored.insert(it.key(), it.value());
    if (m_state == MenuState::Off)
        m_working = m_stored;
}

QString EmulatedReader::swipeText(const QMap<QString, QString> &settings, const TestCard &card)
{
    const QString tracks = settings.value(KeyTracks);
    QString text = settings.value(KeyPreamble);
    if (tracks.contains(u'1'))
        text += u'%' + card.track1 + u'?';
    if (tracks.contains(u'2'))
        text += u';' + card.track2 + u'?';
    if (tracks.contains(u'3'))
        text += u';' + card.track3 + u'?';
    text += settings.value(KeyPostamble);
    const QString terminator = settings.value(KeyTerminator);
    if (terminator == QLatin1String("CR"))
        text += Newline;
    else if (terminator == QLatin1String("CRLF"))
        text += QLatin1String("\r\n");
    else if (terminator == QLatin1String("TAB"))
        text += u'\t';
    return text;
}

void EmulatedReader::swipe(const TestCard &card, const SwipePace &pace)
{
    typeSwipe(swipeText(m_stored, card), pace);
}

void EmulatedReader::typeSwipe(const QString &text, const SwipePace &pace)
{
    const int pieces = std::clamp(pace.pieces, 1, int(std::max<qsizetype>(text.size(), 1)));
    const qsizetype size = (text.size() + pieces - 1) / pieces;
    for (int i = 0; i < pieces; ++i)
        queueAnswer(text.mid(i * size, size), m_answerDelayMs + i * pace.gapMs, pace.charIntervalMs);
}

QMap<QString, QString> EmulatedReader::workingSettings() const
{
    return m_working;
}

bool EmulatedReader::inConfigMode() const
{
    return m_state != MenuState::Off;
}

EmulatedReader::MenuState EmulatedReader::menuState() const
{
    return m_state;
}

unsigned EmulatedReader::heldModifiers() const
{
    return m_held;
}

void EmulatedReader::setAnswerDelayMs(int ms)
{
    m_answerDelayMs = std::max(0, ms);
}

void EmulatedReader::setCharIntervalMs(int ms)
{
    m_charIntervalMs = std::max(0, ms);
}

void EmulatedReader::setLineGapMs(int ms)
{
    m_lineGapMs = std::max(0, ms);
}

void EmulatedReader::setTimings(int answerDelayMs, int charIntervalMs, int lineGapMs)
{
    setAnswerDelayMs(answerDelayMs);
    setCharIntervalMs(charIntervalMs);
    setLineGapMs(lineGapMs);
}

int EmulatedReader::answerDelayMs() const
{
    return m_answerDelayMs;
}

int EmulatedReader::charIntervalMs() const
{
    return m_charIntervalMs;
}

int EmulatedReader::lineGapMs() const
{
    return m_lineGapMs;
}

bool EmulatedReader::isTyping() const
{
    return !m_queue.empty();
}

void EmulatedReader::powerCycle()
{
    m_typeTimer->stop();
    m_queue.clear();
    m_queuePos = 0;
    m_held = 0;
    m_pendingE0 = false;
    m_pendingF0 = false;
    leaveConfigMode(false);
}

const std::vector<EmulatedReader::Received> &EmulatedReader::receivedReports() const
{
    return m_received;
}

const std::vector<EmulatedReader::KeyEvent> &EmulatedReader::keyEvents() const
{
    return m_keyEvents;
}

QString EmulatedReader::typedText() const
{
    return m_typed;
}

int EmulatedReader::droppedCharacters() const
{
    return m_dropped;
}

void EmulatedReader::clearLog()
{
    m_received.clear();
    m_keyEvents.clear();
    m_typed.clear();
    m_dropped = 0;
}

void EmulatedReader::queueAnswer(const QString &text, int delayMs, int charIntervalMs)
{
    if (text.isEmpty())
        return;
    if (delayMs < 0)
        delayMs = m_answerDelayMs;
    const auto notBefore = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
    m_queue.push_back({text, notBefore, charIntervalMs});
    if (m_queue.size() == 1)
        m_typeTimer->start(delayMs);
    // Otherwise the answer waits until those before it have been typed.
}

void EmulatedReader::typeNext()
{
    if (m_queue.empty())
        return;
    const QChar ch = m_queue.front().text.at(m_queuePos++);
    typeCharacter(ch);

    const int charMs = m_queue.front().charIntervalMs >= 0 ? m_queue.front().charIntervalMs : m_charIntervalMs;
    int nextMs = ch == Newline ? std::max(m_lineGapMs, charMs) : charMs;
    if (m_queuePos < m_queue.front().text.size()) {
        m_typeTimer->start(nextMs);
        return;
    }

    const QString finished = m_queue.front().text;
    m_queue.pop_front();
    m_queuePos = 0;
    if (!m_queue.empty()) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(m_queue.front().notBefore
                                                                                - std::chrono::steady_clock::now());
        nextMs = std::max<int>(nextMs, int(wait.count()));
        m_typeTimer->start(nextMs);
    }
    // Signals go last: a receiver may send the next report and queue a new answer.
    const bool idle = m_queue.empty();
    Q_EMIT answerTyped(finished);
    if (idle)
        Q_EMIT typingFinished();
}

void EmulatedCapture::deliver(QChar ch)
{
    const std::optional<keyboard::UsKey> key = keyboard::usKeyFor(ch);
    CapturedKey pressed;
    pressed.code = key ? key->code : 0;
    pressed.shifted = key && key->shifted;
    pressed.text = m_keymap && key ? m_keymap(key->code, key->shifted) : QString(ch);
    Q_EMIT this->pressed({pressed});
}

std::unique_ptr<KeyCapture> EmulatedReader::grab()
{
    // One exclusive hold at a time, as the kernel grants EVIOCGRAB: a second
    // grab is refused while the first lives. The reader's pointer to its
    // capture clears itself when the capture is destroyed.
    if (m_capture)
        return nullptr;
    auto capture = std::make_unique<EmulatedCapture>();
    m_capture = capture.get();
    Q_EMIT grabbed();
    return capture;
}

void EmulatedReader::unplugCapture()
{
    if (EmulatedCapture *capture = m_capture) {
        m_capture = nullptr;
        capture->unplug();
    }
}

void EmulatedReader::typeCharacter(QChar ch)
{
    m_typed += ch;
    if (m_capture) {
        m_capture->deliver(ch);
        return;
    }
    // Like a keyboard: the character goes to whatever has the focus now, and
    // is lost when nothing has.
    QWidget *target = QApplication::focusWidget();
    if (!target) {
        ++m_dropped;
        return;
    }
    int key;
    QString text;
    Qt::KeyboardModifiers modifiers = Qt::NoModifier;
    if (ch == Newline || ch == u'\r') {
        key = Qt::Key_Return;
        text = QStringLiteral("\r");
    } else if (ch == u'\t') {
        key = Qt::Key_Tab;
        text = QStringLiteral("\t");
    } else if (ch == Backspace) {
        key = Qt::Key_Backspace;
        text = QString(Backspace);
    } else {
        // Qt's key code for a character key is its code point, upper case for
        // the letters a to z.
        key = (ch >= u'a' && ch <= u'z') ? ch.unicode() - u'a' + Qt::Key_A : ch.unicode();
        text = QString(ch);
        if (typedWithShift(ch))
            modifiers = Qt::ShiftModifier;
    }
    QCoreApplication::postEvent(target, new QKeyEvent(QEvent::KeyPress, key, modifiers, text));
    QCoreApplication::postEvent(target, new QKeyEvent(QEvent::KeyRelease, key, modifiers, text));
}

} // namespace vortal9::emu
