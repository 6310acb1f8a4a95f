#include "keyboard/ScriptKeys.h"

#include "config/ScriptTokenizer.h"
#include "device/ScanCodes.h"
#include "keyboard/KeyTable.h"
#include "keyboard/Layouts.h"
#include "keyboard/PictureLegends.h"
#include "script/ScriptFormat.h"

#include <algorithm>

namespace vortal9::keyboard {

namespace {

const QString BreakPrefix = QStringLiteral("F0");
const QString ExtendedPrefix = QStringLiteral("E0");

// The key of the on-screen keyboard that sends make code `code`, or -1.
// Both Shift keys send the left Shift's code: it is found as key 41.
int keyOfMake(const QString &code)
{
    const auto &table = keyTable();
    for (int i = 0; i < int(table.size()); ++i) {
        const KeyInfo &key = table[std::size_t(i)];
        const bool sends
            = (key.kind == KeyKind::Ordinary && key.scanString.left((key.scanString.size() - 2) / 2) == code)
            || (key.kind == KeyKind::Shift && code == QLatin1String(ShiftMake))
            || (key.kind == KeyKind::RightAlt && code == QLatin1String(AltGrMake));
        if (sends)
            return i;
    }
    return -1;
}

QString hexName(const QString &codes)
{
    return QStringLiteral("0x") + codes;
}

// Turns the tokens of one playback into steps of shown keys.
class Reader
{
public:
    explicit Reader(int country)
        : m_country(country)
    {
    }

    std::vector<ShownStep> read(const std::vector<script::Step> &steps)
    {
        m_steps.push_back(
            { { { QString::fromLatin1(HotKeyName), QString(scancode::HotKey) } }, QString(scancode::HotKey), true });
        for (const script::Step &step : steps) {
            m_steps.push_back({});
            m_steps.back().waitsForAnswer = step.waitsForAnswer;
            const std::vector<script::Token> &tokens = step.tokens;
            for (std::size_t i = 0; i < tokens.size(); ++i) {
                const script::Token &token = tokens[i];
                m_steps.back().hex += token.text;
                const QString code = token.text;
                if (token.isBreak) {
                    release(code.mid(BreakPrefix.size()), code);
                } else if (code == ExtendedPrefix) {
                    // A prefix cut off by a marker: the reader gets it alone.
                    show(hexName(code), code);
                } else if (!isHeld(code) && i + 1 < tokens.size() && tokens[i + 1].text == BreakPrefix + code) {
                    // Pressed and released at once: one key, under whatever is held.
                    m_steps.back().hex += tokens[++i].text;
                    show(prefix() + legendOf(code, state()), code + tokens[i].text);
                    coverHeld();
                } else {
                    press(code);
                }
            }
            announceHeld();
        }
        return std::move(m_steps);
    }

private:
    struct Held
    {
        QString code;
        QString make; // the token that pressed it
        std::size_t step; // the step it was pressed in
        std::size_t lastStep; // the last step that showed it
        bool covered = false; // a key was pressed under it
        bool announced = false; // shown as "down" at the end of a step
    };

    std::size_t current() const { return m_steps.size() - 1; }

    void show(const QString &legend, const QString &hex) { m_steps.back().keys.push_back({ legend, hex }); }

    // The legend of the key that sends code in a layout state; a key with a
    // blank picture in that state shows its unshifted legend.
    QString legendOf(const QString &code, int state) const
    {
        const int key = keyOfMake(code);
        if (key < 0)
            return hexName(code);
        if (isCharacterKey(key)) {
            for (int s : { state, 0 }) {
                const auto &picture = resolvedLayout(m_country, s)[std::size_t(key)];
                if (picture && !legendFor(*picture).isEmpty())
                    return legendFor(*picture);
            }
            return hexName(code);
        }
        if (key == RightAltKey)
            return m_country == 0 ? QStringLiteral("right Alt") : key57Caption(m_country);
        const QString caption = keyTable()[std::size_t(key)].caption;
        if (caption.isEmpty())
            return QStringLiteral("Space");
        // Right Ctrl has the caption of left Ctrl; its code is the extended one.
        return code.startsWith(ExtendedPrefix) ? QStringLiteral("right ") + caption : caption;
    }

    // The layout state the held keys choose: Alt Gr on a national layout,
    // else Shift, else unshifted.
    int state() const
    {
        const bool national = m_country != 0;
        int state = 0;
        for (const Held &held : m_held) {
            if (national && held.code == QLatin1String(AltGrMake))
                return 2;
            if (held.code == QLatin1String(ShiftMake))
                state = 1;
        }
        return state;
    }

    // "Shift+" for each key held, in the order they were pressed.
    QString prefix() const
    {
        QString text;
        for (const Held &held : m_held)
            text += legendOf(held.code, 0) + QLatin1Char('+');
        return text;
    }

    void coverHeld()
    {
        for (Held &held : m_held) {
            held.covered = true;
            held.lastStep = current();
        }
    }

    bool isHeld(const QString &code) const
    {
        return std::any_of(m_held.begin(), m_held.end(), [&](const Held &held) { return held.code == code; });
    }

    void press(const QString &code)
    {
        if (isHeld(code)) {
            // Pressed again while down (a repeat): the reader sees another press.
            show(legendOf(code, 0) + QStringLiteral(" down"), code);
            return;
        }
        m_held.push_back({ code, code, current(), current() });
    }

    void release(const QString &code, const QString &token)
    {
        auto it = m_held.end();
        for (auto h = m_held.begin(); h != m_held.end(); ++h) {
            if (h->code == code)
                it = h;
        }
        if (code.isEmpty() || code == ExtendedPrefix) {
            show(hexName(token), token);
            return;
        }
        if (it == m_held.end()) {
            show(legendOf(code, 0) + QStringLiteral(" up"), token);
            return;
        }
        const Held held = *it;
        m_held.erase(it);
        if (!held.covered && !held.announced && held.step == current()) {
            // Pressed and released with nothing under it: the key alone.
            show(prefix() + legendOf(code, 0), held.make + token);
            coverHeld();
        } else if (held.announced || held.lastStep != current()) {
            show(legendOf(code, 0) + QStringLiteral(" up"), token);
        }
    }

    // At the end of a step, a key held with nothing under it yet is shown as
    // down, so that no step hides what it sent.
    void announceHeld()
    {
        for (Held &held : m_held) {
            if (held.covered || held.announced)
                continue;
            show(legendOf(held.code, 0) + QStringLiteral(" down"), held.make);
            held.announced = true;
            held.lastStep = current();
        }
    }

    int m_country;
    std::vector<ShownStep> m_steps;
    std::vector<Held> m_held;
};

} // namespace

std::vector<ShownStep> scriptKeys(const QString &script, int countryIndex)
{
    return Reader(countryIndex).read(script::playbackSteps(script::normalizedScript(script)));
}

QString scriptKeysText(const std::vector<ShownStep> &steps)
{
    QString text;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        QStringList legends;
        for (const ShownKey &key : steps[i].keys)
            legends << key.legend;
        text += QStringLiteral("step %1: %2").arg(i + 1).arg(legends.join(QLatin1Char(' ')));
        if (steps[i].waitsForAnswer)
            text += QStringLiteral(" \u2014 then the reader answers");
        text += QLatin1Char('\n');
    }
    return text;
}

std::optional<int> countryIndexOf(const QString &name)
{
    const QStringList names = countryNames();
    for (int i = 0; i < names.size(); ++i) {
        if (names[i].compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return std::nullopt;
}

} // namespace vortal9::keyboard
