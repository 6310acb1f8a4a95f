// The design's look of the window on every style this Qt has (Fusion and
// Windows here; the native Windows style too when the suite runs on Windows):
// the nine command buttons have a solid green face in each of their states,
// the keys of the on-screen keyboard keep the style's face, and the two frame
// captions are drawn in their bold font.
#include "WindowFixture.h"

#include "ui/Controls.h"

#include <QApplication>
#include <QGroupBox>
#include <QImage>
#include <QPainter>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionGroupBox>

#include <functional>

using namespace vortal9;
using namespace vortal9::test;

namespace {

const QRgb Green = qRgb(0, 255, 0);
const char *const CommandButtons[] = {"BtnStart", "BtnSetup", "BtnClose", "BtnClear", "BtnExit",
                                      "BtnLoadFile", "BtnConSetting", "BtnStartRec", "BtnSave"};

// Share of the pixels inside the button's bevel that are exactly the green.
double greenShare(QWidget *button)
{
    const QImage image = button->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRect inside = QRect(QPoint(0, 0), button->size()).adjusted(2, 2, -2, -2);
    int green = 0;
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            green += (image.pixel(x, y) & 0xFFFFFF) == (Green & 0xFFFFFF);
    return double(green) / (inside.width() * inside.height());
}

// Pixels of text ink (darker than mid grey) in an image.
int ink(const QImage &image)
{
    int dark = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            dark += qGray(image.pixel(x, y)) < 128;
    return dark;
}

// The caption as the font draws it, bold or not, black on white.
int inkOf(const QString &text, QFont font, bool bold)
{
    font.setBold(bold);
    const QFontMetrics metrics(font);
    QImage image(metrics.horizontalAdvance(text) + 4, metrics.height() + 4, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(image.rect(), Qt::AlignCenter, text);
    painter.end();
    return ink(image);
}

class ControlLookTest : public WindowTest
{
protected:
    void TearDown() override
    {
        WindowTest::TearDown();
        QApplication::setStyle(QStyleFactory::create(m_style));
    }

    // Runs check once under each style, on the window as that style draws it.
    void forEveryStyle(const std::function<void()> &check)
    {
        for (const QString &key : QStyleFactory::keys()) {
            SCOPED_TRACE(key.toStdString());
            QApplication::setStyle(QStyleFactory::create(key));
            check();
        }
    }

    const QString m_style = QApplication::style()->name();
};

TEST_F(ControlLookTest, CommandButtonsHaveASolidGreenFaceInEveryState)
{
    openWindow();
    forEveryStyle([&] {
        for (const char *name : CommandButtons) {
            SCOPED_TRACE(name);
            QPushButton *b = button(name);
            const QImage up = b->grab().toImage();
            EXPECT_GE(greenShare(b), 0.6);

            b->setDown(true);
            EXPECT_GE(greenShare(b), 0.6) << "pressed";
            EXPECT_TRUE(b->grab().toImage() != up) << "pressed looks the same";
            b->setDown(false);

            b->setEnabled(false);
            EXPECT_GE(greenShare(b), 0.6) << "disabled";
            EXPECT_TRUE(b->grab().toImage() != up) << "disabled looks the same";
            b->setEnabled(true);

            b->setFocus(Qt::TabFocusReason);
            ASSERT_TRUE(b->hasFocus());
            EXPECT_GE(greenShare(b), 0.5) << "focused";
            EXPECT_TRUE(b->grab().toImage() != up) << "focus not shown";
        }
    });
}

TEST_F(ControlLookTest, KeysKeepTheStylesFace)
{
    openWindow();
    forEveryStyle([&] {
        for (int index : {1, 14, 56}) {
            auto *k = qobject_cast<CommandButton *>(key(index));
            ASSERT_NE(k, nullptr);
            EXPECT_FALSE(k->face().isValid()) << index;
            EXPECT_LT(greenShare(k), 0.1) << index;
        }
    });
}

TEST_F(ControlLookTest, FrameCaptionsAreDrawnBold)
{
    openWindow();
    forEveryStyle([&] {
        for (const char *name : {"FrameFile", "FrameKB"}) {
            SCOPED_TRACE(name);
            auto *frame = form->findChild<QGroupBox *>(QLatin1String(name));
            ASSERT_NE(frame, nullptr);
            ASSERT_TRUE(frame->font().bold());
            QStyleOptionGroupBox option;
            option.initFrom(frame);
            option.text = frame->title();
            option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
            const QRect caption = frame->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                                 QStyle::SC_GroupBoxLabel, frame);
            const int drawn = ink(frame->grab(caption).toImage());
            const int bold = inkOf(frame->title(), frame->font(), true);
            const int regular = inkOf(frame->title(), frame->font(), false);
            ASSERT_GT(bold, regular);
            // Nearer the bold drawing than the regular one.
            EXPECT_GT(drawn, (bold + regular) / 2) << drawn << " bold " << bold << " regular " << regular;
        }
    });
}

} // namespace
