#include "session/Transcript.h"

#include "config/ScriptTokenizer.h"
#include "device/ScanCodes.h"
#include "script/ScriptFormat.h"

#include <QJsonArray>
#include <QRegularExpression>

#include <algorithm>

namespace vortal9::transcript {

Steps scriptSteps(const QString &script)
{
    Steps steps{Step{QString(scancode::HotKey), {}}};
    for (const script::Step &step : script::playbackSteps(script::normalizedScript(script))) {
        steps.push_back({});
        for (const script::Token &token : step.tokens)
            steps.back().keys += token.text;
    }
    return steps;
}

QString normalizedAnswer(const QString &answer)
{
    QString text = answer;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    static const QRegularExpression trailing(QStringLiteral("[ \\t]+(?=\\n|$)"));
    text.remove(trailing);
    return text;
}

std::optional<Difference> firstDifference(const Steps &expected, const Steps &typed)
{
    const std::size_t steps = std::max(expected.size(), typed.size());
    for (std::size_t i = 0; i < steps; ++i) {
        if ((i < expected.size() && expected[i].cardSwiped) || (i < typed.size() && typed[i].cardSwiped))
            continue;
        const QString want = i < expected.size() ? expected[i].answer : QString();
        const QString got = i < typed.size() ? typed[i].answer : QString();
        if (normalizedAnswer(want) != normalizedAnswer(got))
            return Difference{int(i) + 1, want, got};
    }
    return std::nullopt;
}

std::optional<int> firstVoidStep(const Steps &steps)
{
    const auto it = std::find_if(steps.begin(), steps.end(), [](const Step &step) { return step.cardSwiped; });
    return it == steps.end() ? std::nullopt : std::optional<int>(int(it - steps.begin()) + 1);
}

QJsonArray stepsToJson(const Steps &steps)
{
    QJsonArray array;
    for (const Step &step : steps) {
        QJsonObject o{{"keys", step.keys}, {"answer", step.answer}};
        if (step.cardSwiped)
            o.insert(QLatin1String("cardSwiped"), true);
        array.append(o);
    }
    return array;
}

std::optional<Steps> referenceSteps(const QJsonObject &file, QString *why)
{
    auto refuse = [why](const QString &reason) -> std::optional<Steps> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    if (file.value(QLatin1String("schema")).toString() != QLatin1String(SchemaName))
        return refuse(QStringLiteral("it is not a transcript (no \"schema\": \"%1\")").arg(QLatin1String(SchemaName)));
    if (file.value(QLatin1String("version")).toInt() != SchemaVersion)
        return refuse(QStringLiteral("its version %1 is not %2")
                          .arg(file.value(QLatin1String("version")).toVariant().toString())
                          .arg(SchemaVersion));
    const QJsonArray readers = file.value(QLatin1String("readers")).toArray();
    if (readers.isEmpty())
        return refuse(QStringLiteral("it holds no reader"));
    Steps steps;
    const QJsonArray array = readers.first().toObject().value(QLatin1String("steps")).toArray();
    for (const auto &value : array) {
        const QJsonObject step = value.toObject();
        steps.push_back({step.value(QLatin1String("keys")).toString(), step.value(QLatin1String("answer")).toString(),
                         step.value(QLatin1String("cardSwiped")).toBool()});
    }
    if (steps.empty())
        return refuse(QStringLiteral("its first reader has no steps"));
    if (const std::optional<int> voided = firstVoidStep(steps))
        return refuse(QStringLiteral("step %1 of its first reader has no answer: a card was swiped during it (make the "
                                     "reference again, swiping no card)")
                          .arg(*voided));
    return steps;
}

} // namespace vortal9::transcript
