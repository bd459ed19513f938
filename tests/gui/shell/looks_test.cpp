// Every window in the font of a Debian desktop, at larger sizes (the largest in
// a dark theme) and at the default size: no text cut off, no control outside
// its window, check boxes of the set list visible, and at the default size the
// sizes and places the windows were made with.

#include "gui/shell/about_box.h"
#include "gui/shell/application.h"
#include "gui/shell/auto_backup_window.h"
#include "gui/shell/main_window.h"
#include "gui/shell/remote_window.h"
#include "gui/shell/watch_service.h"

#include "common/test_env.h"
#include "gui/operations/backup_dialog.h"
#include "gui/operations/export_dialog.h"
#include "gui/operations/import_dialog.h"
#include "gui/operations/restore_dialog.h"
#include "gui/settings/settings_dialog.h"
#include "gui/widgets/info_window.h"
#include "gui/widgets/message_box.h"
#include "settings/backup_config.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>

inline void PrintTo(const QRect& r, std::ostream* os) {
    *os << r.x() << "," << r.y() << " " << r.width() << "x" << r.height();
}
inline void PrintTo(const QSize& s, std::ostream* os) {
    *os << s.width() << "x" << s.height();
}

namespace {

// How wide and high a control must be to show its text, by the rule a reader
// would check with a ruler: the text's advance, the box or icon beside it, and
// the frame around it.
QSize TextRoom(const QWidget* w) {
    const QFontMetrics fm = w->fontMetrics();
    const QStyle* s = w->style();
    const auto metric = [&](QStyle::PixelMetric m) { return s->pixelMetric(m, nullptr, w); };
    if (auto* box = qobject_cast<const QCheckBox*>(w))
        return {fm.horizontalAdvance(box->text()) + metric(QStyle::PM_IndicatorWidth) +
                    metric(QStyle::PM_CheckBoxLabelSpacing),
                std::max(fm.height(), metric(QStyle::PM_IndicatorHeight))};
    if (auto* radio = qobject_cast<const QRadioButton*>(w))
        return {fm.horizontalAdvance(radio->text()) + metric(QStyle::PM_ExclusiveIndicatorWidth) +
                    metric(QStyle::PM_RadioButtonLabelSpacing),
                std::max(fm.height(), metric(QStyle::PM_ExclusiveIndicatorHeight))};
    if (auto* button = qobject_cast<const QPushButton*>(w)) {
        // The text (and its icon) keeps 4 px from the frame on either side.
        const int icon = button->icon().isNull() ? 0 : button->iconSize().width() + 4;
        const int frame = 2 * metric(QStyle::PM_DefaultFrameWidth);
        return {fm.horizontalAdvance(button->text()) + icon + frame + 2 * 4, fm.height() + frame};
    }
    if (auto* label = qobject_cast<const QLabel*>(w)) {
        if (label->text().isEmpty())
            return {};
        if (label->wordWrap()) // only its height is known
            return {0, label->heightForWidth(label->width())};
        const QMargins m = label->contentsMargins();
        return {fm.horizontalAdvance(label->text()) + m.left() + m.right(),
                fm.height() + m.top() + m.bottom()};
    }
    return {};
}

std::vector<QWidget*> Controls(QWidget* window) {
    std::vector<QWidget*> out;
    for (QWidget* w : window->findChildren<QWidget*>())
        if (!w->isWindow() && w->window() == window && w->isVisibleTo(window))
            out.push_back(w);
    return out;
}

QString NameOf(const QWidget* w) {
    return w->window()->objectName() + "." + w->objectName();
}

// WCAG's contrast ratio of two colours.
double Contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& c) {
        const auto channel = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QPalette DarkPalette() {
    QPalette p;
    const QColor window(53, 53, 53), base(35, 35, 35), text(230, 230, 230);
    for (auto role : {QPalette::Window, QPalette::Button, QPalette::AlternateBase})
        p.setColor(role, window);
    p.setColor(QPalette::Base, base);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(role, text);
    p.setColor(QPalette::Highlight, QColor(42, 130, 218));
    p.setColor(QPalette::HighlightedText, Qt::black);
    return p;
}

// The layout each window is made with: its client size, and the controls
// that have a place of their own in it.
const std::map<QString, QSize> DesignSizes = {{"fmAbout", {368, 191}},   {"fmSettings", {584, 182}},
                                              {"fmBackup", {394, 216}},  {"fmInfo", {499, 70}},
                                              {"fmRestore", {514, 222}}, {"fmExport", {514, 221}},
                                              {"fmImport", {394, 221}}};
const std::map<QString, QRect> DesignPlaces = {
    {"fmRestore.ckRestore", {4, 5, 332, 213}},       {"fmRestore.Label1", {347, 7, 94, 16}},
    {"fmRestore.ckChar", {347, 30, 97, 17}},         {"fmRestore.ckMulti", {347, 54, 128, 17}},
    {"fmRestore.ckSingle", {347, 77, 157, 17}},      {"fmRestore.ckSafety", {347, 111, 157, 17}},
    {"fmRestore.ckOwner", {347, 154, 113, 17}},      {"fmRestore.Button2", {348, 192, 75, 25}},
    {"fmRestore.Button1", {431, 193, 75, 25}},       {"fmExport.BtBrowse", {421, 126, 76, 21}},
    {"fmExport.EdDestination", {345, 151, 152, 24}}, {"fmImport.Label1", {12, 13, 72, 16}},
    {"fmImport.EdImport", {89, 11, 220, 24}},        {"fmImport.BtBrowse", {315, 11, 75, 25}},
    {"fmImport.Label2", {13, 68, 89, 16}},           {"fmImport.ckChar", {113, 70, 97, 17}},
    {"fmImport.ckMulti", {113, 94, 128, 17}},        {"fmImport.ckSingle", {113, 117, 157, 17}},
    {"fmImport.Button2", {237, 192, 75, 25}},        {"fmImport.Button1", {315, 192, 75, 25}}};
class Looks : public testing::Test {
protected:
    void SetUp() override {
        font_ = QApplication::font();
        palette_ = QApplication::palette();
        // What a Debian desktop gives a Qt program: fontconfig's sans-serif, DejaVu Sans, at
        // Qt's 9 points (12 px on the 96 dpi screen the offscreen platform has too).
        desktop_ = QFont("DejaVu Sans", 9);
        ASSERT_EQ(QFontInfo(desktop_).family(), "DejaVu Sans") << "fonts-dejavu is missing";
        QApplication::setFont(desktop_);
        InitialiseSettings();
        QCoreApplication::setApplicationName(shell::ApplicationTitle);
        // One set, so that the set list has a check box to look at.
        std::filesystem::create_directories(BackupConfig.BackupDir.Get() + "MFB1A2B");
        // Never the machine's own systemd: the window then says it is not there.
        shell::SetSystemctl(QString::fromStdString(testenv::Scratch() + "/no-systemctl"));
    }
    void TearDown() override {
        shell::DestroyWindows();
        shell::SetSystemctl({});
        QApplication::setFont(font_);
        QApplication::setPalette(palette_);
    }

    // The desktop's font, `scale` times as large.
    void ScaleFont(double scale) {
        QFont font = desktop_;
        font.setPointSizeF(desktop_.pointSizeF() * scale);
        QApplication::setFont(font);
    }

    // Creates the windows and shows each in turn, calling `check` while it is up.
    void ShowEach(const std::function<void(QWidget*)>& check) {
        shell::CreateWindows();
        ui::MessageCapture quiet;
        for (QWidget* w :
             std::initializer_list<QWidget*>{fmAbout, fmSettings, fmBackup, fmInfo, fmRestore,
                                             fmExport, fmImport, fmAutoBackup, fmRemote}) {
            w->show();
            QApplication::processEvents();
            check(w);
            w->hide();
        }
    }

    void ExpectTextsFitInside(QWidget* window) {
        const QRect inside = window->rect();
        const std::vector<QWidget*> controls = Controls(window);
        for (QWidget* w : controls) {
            const QRect at(w->mapTo(window, QPoint()), w->size());
            EXPECT_TRUE(inside.contains(at)) << NameOf(w).toStdString() << " lies outside";
            for (QWidget* other : controls) {
                if (other != w && other->parentWidget() == w->parentWidget()) {
                    EXPECT_FALSE(other->geometry().intersects(w->geometry()))
                        << NameOf(w).toStdString() << " overlaps " << NameOf(other).toStdString();
                }
            }
            const QSize room = TextRoom(w);
            if (!room.isValid())
                continue;
            EXPECT_LE(room.width(), w->width()) << NameOf(w).toStdString() << " cut short";
            EXPECT_LE(room.height(), w->height()) << NameOf(w).toStdString() << " cut off";
        }
    }

    QFont font_;
    QFont desktop_;
    QPalette palette_;
};

// Between the default size and the large one a button's text came within
// 2 px of its frame.
TEST_F(Looks, EveryTextFitsAtLargerFontsAndAtTheLargestInADarkTheme) {
    for (const double scale : {1.15, 1.3}) {
        SCOPED_TRACE(scale);
        ScaleFont(scale);
        ShowEach([&](QWidget* window) { ExpectTextsFitInside(window); });
        shell::DestroyWindows();
    }
    ScaleFont(1.5);
    QApplication::setPalette(DarkPalette());

    ShowEach([&](QWidget* window) {
        ExpectTextsFitInside(window);
        // Paths show where they start; a long one is in the tooltip whole.
        for (auto* edit : window->findChildren<QLineEdit*>()) {
            if (edit->objectName() == "EdDesc")
                continue;
            const QString path = "/home/player/.steam/steam/steamapps/compatdata/1234567/pfx/"
                                 "drive_c/Program Files/Corvanta Software/Moonforge/";
            edit->setText(path);
            edit->clearFocus();
            EXPECT_EQ(edit->cursorPosition(), 0) << NameOf(edit).toStdString();
            EXPECT_TRUE(edit->toolTip().endsWith(path)) << NameOf(edit).toStdString();
        }
    });

    // The set list's check box stands out from the list's background.
    shell::CreateWindows();
    fmRestore->show();
    QApplication::processEvents();
    QListWidget* list = fmRestore->ckRestore;
    ASSERT_GE(list->count(), 1);
    const QRect item = list->visualItemRect(list->item(0));
    const int box = list->style()->pixelMetric(QStyle::PM_IndicatorWidth) + 8;
    const QImage shot = list->viewport()->grab().toImage();
    const QColor background = list->palette().color(QPalette::Base);
    double best = 1;
    for (int y = item.top(); y <= item.bottom(); ++y)
        for (int x = item.left(); x < item.left() + box; ++x)
            best = std::max(best, Contrast(shot.pixelColor(x, y), background));
    EXPECT_GE(best, 3.0) << "the check box is hard to see on the list";

    // A message box is as wide as its title.
    const QString title = "Moonforge BackUp Tool: a long caption for a short text";
    auto message = ui::MakeMessageBox({"OK?", title, ui::MessageIcon::Warning});
    message->show();
    QApplication::processEvents();
    QFont bold = message->font();
    bold.setBold(true);
    EXPECT_GE(message->width(), QFontMetrics(bold).horizontalAdvance(title));
}

TEST_F(Looks, AtTheDefaultFontEveryWindowKeepsTheLayoutItWasMadeWith) {
    // With the game's save folder, Backup and Restore show no line about it
    // (the large-font test sees that line).
    std::filesystem::create_directories(BackupConfig.GameDir.Get() + "save");
    ShowEach([&](QWidget* window) {
        ExpectTextsFitInside(window);
        const auto designSize = DesignSizes.find(window->objectName());
        if (designSize == DesignSizes.end()) {
            // A window laid out by its texts reads on a Steam Deck's 1280 x 800
            // desktop, beside its panel and under a title bar.
            EXPECT_LE(window->width(), 1280) << window->objectName().toStdString();
            EXPECT_LE(window->height(), 800 - 48 - 32) << window->objectName().toStdString();
            return;
        }
        EXPECT_EQ(window->size(), designSize->second) << window->objectName().toStdString();
        // Each control stays where it was made, a text wider than its place growing into the
        // room after it; a field gives way to such a text before it, keeping its right edge.
        for (QWidget* w : Controls(window)) {
            const QVariant designed = w->property("mfDesignGeometry");
            if (!designed.isValid())
                continue;
            const QRect design = designed.toRect(), now = w->geometry();
            if (qobject_cast<QLineEdit*>(w))
                EXPECT_EQ(now.topRight(), design.topRight()) << NameOf(w).toStdString();
            else
                EXPECT_EQ(now.topLeft(), design.topLeft()) << NameOf(w).toStdString();
            EXPECT_EQ(now.height(), design.height()) << NameOf(w).toStdString();
            const auto place = DesignPlaces.find(NameOf(w));
            if (place != DesignPlaces.end()) {
                EXPECT_EQ(design, place->second) << NameOf(w).toStdString();
            }
        }
    });
}

} // namespace
