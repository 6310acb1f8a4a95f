// What each key picture shows: the legend drawn into the icon file of that
// name. Used by the picture generator and by the legend table in docs/.
#pragma once

#include <QString>
#include <QStringList>

namespace vortal9::keyboard {

struct PictureLegend
{
    QString name;    // picture name as the layout tables spell it (upper case; the
                     // lower-case spellings map to the same file)
    QString legend;  // the glyph drawn on the key (a dead key shows its accent)
    QString note;    // where the tables use it and why this glyph, for reviewers
};

// One entry per picture file (143), keyed by the upper-case name.
const QList<PictureLegend> &pictureLegends();

// Legend for a picture name, looked up without regard to case; empty when
// the name is unknown.
QString legendFor(const QString &pictureName);

} // namespace vortal9::keyboard
