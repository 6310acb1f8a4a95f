// Small control classes of the main window.
#pragma once

#include <QColor>
#include <QDir>
#include <QGroupBox>
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
//
// With a face colour set, the button draws itself: a solid face in that
// colour inside a raised bevel (sunken while pressed), the caption in dark
// text (etched while disabled) and a focus rectangle while it has the focus.
// Platform styles cannot be trusted with a button colour: the native Windows
// style ignores the palette, Fusion shades it.
class CommandButton : public QPushButton
{
    Q_OBJECT

public:
    using QPushButton::QPushButton;

    void setFace(const QColor &face);
    QColor face() const { return m_face; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void paintSolidFace();

    QColor m_face; // invalid: the style draws the button
};

// A frame whose caption is drawn in the frame's own font (bold in the
// window), on every style; the frame itself is the style's.
class CaptionFrame : public QGroupBox
{
    Q_OBJECT

public:
    using QGroupBox::QGroupBox;

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
