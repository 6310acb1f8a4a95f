// show SCRIPT: what the script presses, step by step, as the keys of the
// on-screen keyboard in a country layout. Touches no reader.
#include "batch/Output.h"
#include "batch/Runner.h"
#include "keyboard/Layouts.h"
#include "keyboard/ScriptKeys.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>

namespace vortal9::batch {

int showScript(Runner &runner, const Options &options)
{
    const QStringList names = keyboard::countryNames();
    const std::optional<int> country = options.country ? keyboard::countryIndexOf(*options.country) : 0;
    if (!country) {
        runner.err() << "vortal9-batch: unknown country \"" << shown(*options.country) << "\": the countries are \""
                     << names.join(QStringLiteral("\", \"")) << "\"" << Qt::endl;
        return UsageError;
    }
    const auto script = runner.loadScript(options.operands.value(0));
    if (!script)
        return ScriptRefused;

    const std::vector<keyboard::ShownStep> steps = keyboard::scriptKeys(*script, *country);
    if (!options.json) {
        runner.out() << keyboard::scriptKeysText(steps) << Qt::flush;
        return Success;
    }
    QJsonArray stepsJson;
    for (const keyboard::ShownStep &step : steps) {
        QJsonArray keys;
        for (const keyboard::ShownKey &key : step.keys)
            keys.append(QJsonObject { { "legend", key.legend }, { "hex", key.hex } });
        stepsJson.append(QJsonObject { { "step", int(stepsJson.size()) + 1 }, { "keys", keys }, { "hex", step.hex },
            { "waitsForAnswer", step.waitsForAnswer } });
    }
    runner.out() << jsonLine(QJsonObject { { "country", names.at(*country) }, { "steps", stepsJson } }) << Qt::endl;
    return Success;
}

} // namespace vortal9::batch
