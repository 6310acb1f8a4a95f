// The window's dialogs: the "EXIT" confirmation and the script file dialogs.
// The program uses Qt's own; tests answer them through the same interface.
#pragma once

#include <QString>

class QWidget;

namespace vortal9 {

class UserDialogs
{
public:
    virtual ~UserDialogs() = default;
    // A Yes/No box without icon, Yes the default button; true for Yes.
    virtual bool askYesNo(QWidget *parent, const QString &title, const QString &text) = 0;
    // The open dialog, starting at startName; empty when cancelled.
    virtual QString openFileName(QWidget *parent, const QString &startName, const QString &filter) = 0;
    // The save dialog, which asks before an existing file is replaced; empty when cancelled.
    virtual QString saveFileName(QWidget *parent, const QString &filter) = 0;
    // A warning with an OK button.
    virtual void warn(QWidget *parent, const QString &title, const QString &text) = 0;
};

class QtUserDialogs final : public UserDialogs
{
public:
    bool askYesNo(QWidget *parent, const QString &title, const QString &text) override;
    QString openFileName(QWidget *parent, const QString &startName, const QString &filter) override;
    QString saveFileName(QWidget *parent, const QString &filter) override;
    void warn(QWidget *parent, const QString &title, const QString &text) override;
};

} // namespace vortal9
