#include "session/Transcript.h"

#include "config/ScriptTokenizer.h"
#include "device/ScanCodes.h"
#include "script/ScriptFormat.h"

#include <QJsonArray>
#include <QRegularExpression>

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
        const QString want = i < expected.size() ? expected[i].answer : QString();
        const QString got = i < typed.size() ? typed[i].answer : QString();
        if (normalizedAnswer(want) != normalizedAnswer(got))
            return Difference{int(i) + 1, want, got};
    }
    return std::nullopt;
}

QJsonArray stepsToJson(const Steps &steps)
{
    QJsonArray array;
    for (const Step &step : steps)
        array.append(QJsonObject{{"keys", step.keys}, {"answer", step.answer}});
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
        steps.push_back({step.value(QLatin1String("keys")).toString(), step.value(QLatin1String("answer")).toString()});
    }
    if (steps.empty())
        return refuse(QStringLiteral("its first reader has no steps"));
    return steps;
}

} // namespace vortal9::transcript
