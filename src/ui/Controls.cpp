#include "ui/Controls.h"

#include <QDir>
#include <QFileInfo>
#include <QPixmap>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTextCursor>

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

void CommandButton::paintEvent(QPaintEvent *event)
{
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
