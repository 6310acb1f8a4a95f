#include "ui/Controls.h"

#include <QDir>
#include <QFileInfo>
#include <QPainter>
#include <QPixmap>
#include <QStyleOptionGroupBox>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTextCursor>
#include <qdrawutil.h>

namespace vortal9 {

int ReceiveBox::textLength() const
{
    return static_cast<int>(toPlainText().size());
}

void ReceiveBox::moveCaretToEnd()
{
    moveCursor(QTextCursor::End);
}

void ReceiveBox::mousePressEvent(QMouseEvent *event)
{
    QPlainTextEdit::mousePressEvent(event);
    Q_EMIT mousePressed();
}

void ReceiveBox::mouseReleaseEvent(QMouseEvent *event)
{
    QPlainTextEdit::mouseReleaseEvent(event);
    Q_EMIT mouseReleased();
}

void CommandButton::setFace(const QColor &face)
{
    m_face = face;
    update();
}

void CommandButton::paintEvent(QPaintEvent *event)
{
    if (m_face.isValid()) {
        paintSolidFace();
        return;
    }
    // Most captions fit on one line and are drawn by the style as usual.
    if (text().isEmpty() || !icon().isNull()
        || fontMetrics().horizontalAdvance(text()) <= width() - 6) {
        QPushButton::paintEvent(event);
        return;
    }
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString caption = option.text;
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);
    const QRect area = rect().adjusted(2, 1, -2, -1);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, caption);
}

void CommandButton::paintSolidFace()
{
    QPainter painter(this);
    const bool sunken = isDown() || isChecked();
    const QBrush face(m_face);
    qDrawWinButton(&painter, rect(), palette(), sunken, &face);

    // The caption, wrapped when it does not fit on one line, one pixel down
    // and right while pressed.
    QRect area = rect().adjusted(2, 1, -2, -1);
    if (sunken)
        area.translate(1, 1);
    const int flags = Qt::AlignCenter | Qt::TextWordWrap;
    if (isEnabled()) {
        painter.setPen(palette().color(QPalette::Active, QPalette::ButtonText));
    } else {
        painter.setPen(palette().color(QPalette::Light));
        painter.drawText(area.translated(1, 1), flags, text());
        painter.setPen(palette().color(QPalette::Dark));
    }
    painter.drawText(area, flags, text());

    // A dotted focus rectangle, whatever the style: some styles show focus
    // only after a key press, and these buttons take the focus only from Tab.
    if (hasFocus()) {
        painter.setPen(QPen(palette().color(QPalette::ButtonText), 1, Qt::DotLine));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(rect().adjusted(3, 3, -4, -4));
    }
}

void CaptionFrame::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionGroupBox option;
    initStyleOption(&option);
    // The style draws the frame, leaving the gap for the caption; the caption
    // is drawn here, in this frame's font.
    const QRect caption = style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, this);
    option.subControls &= ~QStyle::SC_GroupBoxLabel;
    painter.drawComplexControl(QStyle::CC_GroupBox, option);
    painter.setFont(font());
    style()->drawItemText(&painter, caption, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextHideMnemonic, palette(),
                          isEnabled(), title(), QPalette::WindowText);
}

PictureCache::PictureCache(const QString &directory)
    : m_directory(directory)
{
}

QString PictureCache::fileOf(const QString &key)
{
    // The pictures are written with upper-case names; any other spelling is
    // found through one listing of the directory, made when first needed.
    QString usual = m_directory.filePath(key.toUpper() + QStringLiteral(".ico"));
    if (QFileInfo::exists(usual))
        return usual;
    if (!m_listed) {
        m_listed = true;
        const QStringList files = m_directory.entryList(QStringList{QStringLiteral("*.[iI][cC][oO]")}, QDir::Files);
        for (const QString &file : files)
            m_files.insert(file.left(file.size() - 4).toLower(), m_directory.filePath(file));
    }
    return m_files.value(key);
}

QIcon PictureCache::picture(const QString &name)
{
    const QString key = name.toLower();
    if (key.isEmpty())
        return {};
    auto decoded = m_decoded.constFind(key);
    if (decoded != m_decoded.constEnd())
        return *decoded;
    QIcon icon;
    const QString file = fileOf(key);
    if (!file.isEmpty()) {
        const QPixmap pixmap(file, "ICO");
        if (!pixmap.isNull())
            icon = QIcon(pixmap);
    }
    m_decoded.insert(key, icon);
    return icon;
}

} // namespace vortal9
