// Small control classes of the main window.
#pragma once

#include <QDir>
#include <QHash>
#include <QIcon>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>

namespace vortal9 {

// The receive box: a plain text box that reports mouse presses and releases
// over it (the window holds script playback while a button is held).
class ReceiveBox : public QPlainTextEdit
{
    Q_OBJECT

public:
    using QPlainTextEdit::QPlainTextEdit;
    int textLength() const;
    void moveCaretToEnd();

Q_SIGNALS:
    void mousePressed();
    void mouseReleased();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
};

// A command button whose caption wraps onto a second line when it does not
// fit, as the buttons of the design do ("Check" over "Device").
class CommandButton : public QPushButton
{
    Q_OBJECT

public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// Key pictures from the directory of the executable, found without regard to
// case and decoded once. A missing or unreadable file gives a blank picture.
class PictureCache
{
public:
    explicit PictureCache(const QString &directory);
    QIcon picture(const QString &name);

private:
    QString fileOf(const QString &key);

    QDir m_directory;
    bool m_listed = false;
    QHash<QString, QString> m_files; // lower-case picture name -> file path
    QHash<QString, QIcon> m_decoded;
};

} // namespace vortal9
