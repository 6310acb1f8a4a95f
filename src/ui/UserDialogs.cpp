#include "ui/UserDialogs.h"

#include <QFileDialog>
#include <QMessageBox>

namespace vortal9 {

namespace {
// "*.TXT" both describes and selects the scripts; on Linux the dialog's
// matching ignores case, so script.txt is listed too.
QString qtFilter(const QString &pattern)
{
    return QStringLiteral("%1 (%1)").arg(pattern);
}
} // namespace

bool QtUserDialogs::askYesNo(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

QString QtUserDialogs::openFileName(QWidget *parent, const QString &startName, const QString &filter)
{
    return QFileDialog::getOpenFileName(parent, QString(), startName, qtFilter(filter));
}

QString QtUserDialogs::saveFileName(QWidget *parent, const QString &filter)
{
    QFileDialog dialog(parent, QString(), QString(), qtFilter(filter));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("TXT"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

void QtUserDialogs::warn(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox::warning(parent, title, text);
}

} // namespace vortal9
