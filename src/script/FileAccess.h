// State of the script-file module: the loaded script and the file dialog's
// name. The recording belongs to the reader session.
#pragma once

#include <QString>

namespace vortal9 {

struct FileAccess
{
    // The loaded script.
    bool ScriptLoaded = false;
    QString ScriptText;

    // The file dialog's name, kept between loads and saves of one run.
    QString DialogFileName;
};

} // namespace vortal9
