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

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>

// Readable failure output.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

// Each window in the order it is made, with its caption.
const std::pair<QString, QString> Made[] = {{"Form1", "Moonforge Backup Tool"},
                                            {"fmAbout", "About"},
                                            {"fmSettings", "Settings"},
                                            {"fmBackup", "Backup"},
                                            {"fmInfo", "Backing up"},
                                            {"fmRestore", "Restore"},
                                            {"fmExport", "Export backup"},
                                            {"fmImport", "Import backup"},
                                            {"fmAutoBackup", "Automatic backups"},
                                            {"fmRemote", "Remote"}};

std::string SettingsFile() {
    return testenv::ConfigHome() + "/mfbackup.ini";
}

class Shell : public testing::Test {
protected:
    void SetUp() override {
        InitialiseSettings();
        QCoreApplication::setApplicationName(shell::ApplicationTitle);
    }
    void TearDown() override {
        shell::DestroyWindows();
        shell::SetSystemctl({});
    }

    std::vector<QWidget*> Windows() const {
        return {Form1,     fmAbout,  fmSettings, fmBackup,     fmInfo,
                fmRestore, fmExport, fmImport,   fmAutoBackup, fmRemote};
    }
};

// Closes every modal dialog as soon as it is up and notes which one it was.
class ModalCloser {
public:
    ModalCloser() {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                shown_ << dialog->objectName();
                dialog->reject();
            }
        });
        timer_.start();
    }
    const QStringList& shown() const { return shown_; }

private:
    QTimer timer_;
    QStringList shown_;
};

// Records the order in which top-level widgets were constructed: each posts
// itself a polish request when it is made.
class CreationOrder : public QObject {
public:
    QStringList names;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::PolishRequest && watched->isWidgetType() &&
            static_cast<QWidget*>(watched)->isWindow() && !qobject_cast<QMenu*>(watched))
            names << watched->objectName();
        return false;
    }
};

} // namespace

TEST_F(Shell, WindowsAreMadeOnceInOrderAndDestroyedInReverse) {
    CreationOrder order;
    qApp->installEventFilter(&order);
    shell::CreateWindows();
    QCoreApplication::processEvents();
    qApp->removeEventFilter(&order);
    QStringList names;
    for (const auto& [name, caption] : Made)
        names << name;
    EXPECT_EQ(order.names, names);

    const auto windows = Windows();
    for (std::size_t i = 0; i < windows.size(); ++i) {
        QWidget* w = windows[i];
        ASSERT_NE(w, nullptr) << Made[i].first.toStdString();
        EXPECT_EQ(w->objectName(), Made[i].first);
        EXPECT_EQ(w->windowTitle(), Made[i].second);
        EXPECT_EQ(w->parentWidget(), nullptr);
        int named = 0;
        for (QWidget* top : QApplication::topLevelWidgets())
            named += top->objectName() == Made[i].first;
        EXPECT_EQ(named, 1) << Made[i].first.toStdString();
        if (i > 0) {
            EXPECT_EQ(w->minimumSize(), w->maximumSize())
                << "fixed size " << w->objectName().toStdString();
        }
    }
    auto* area = qobject_cast<QMdiArea*>(Form1->centralWidget());
    ASSERT_NE(area, nullptr);
    EXPECT_TRUE(area->subWindowList().isEmpty());

    QStringList destroyed;
    for (QWidget* w : windows)
        QObject::connect(w, &QObject::destroyed,
                         [&destroyed, name = w->objectName()] { destroyed << name; });
    shell::DestroyWindows();
    EXPECT_EQ(destroyed, QStringList(names.rbegin(), names.rend()));
    for (QWidget* w : Windows())
        EXPECT_EQ(w, nullptr);
}

TEST_F(Shell, MenuHasItsItemsCaptionsHintsAndImages) {
    shell::CreateWindows();
    QMenuBar* bar = Form1->menuBar();
    EXPECT_EQ(bar->objectName(), "MainMenu1");

    struct Item {
        const char* name;
        const char* caption;
        const char* hint;
        bool image;
    };
    const Item onBar[] = {{"Backup1", "&Backup", "Backup gamefiles.", true},
                          {"Restore1", "&Restore", "Restore gamefiles", true},
                          {"Settings1", "&Settings", "Game options.", true},
                          {"Transport1", "&Transport", "Move gamefiles to another system.", true},
                          {"Help1", "&Help", "", true},
                          {"Exit1", "E&xit", "", false}};
    const auto check = [](QAction* a, const Item& item) {
        EXPECT_EQ(a->objectName(), item.name);
        EXPECT_EQ(a->text(), item.caption);
        EXPECT_EQ(a->statusTip(), item.hint);
        if (item.image)
            EXPECT_EQ(a->icon().availableSizes(), QList<QSize>{QSize(32, 16)}) << item.name;
        else
            EXPECT_TRUE(a->icon().isNull()) << item.name;
    };
    const QList<QAction*> barActions = bar->actions();
    ASSERT_EQ(barActions.size(), 6);
    for (int i = 0; i < 6; ++i)
        check(barActions[i], onBar[i]);
    // Commands act from the bar; only Transport and Help drop down.
    for (int i : {0, 1, 2, 5})
        EXPECT_EQ(barActions[i]->menu(), nullptr);

    QMenu* transport = barActions[3]->menu();
    ASSERT_NE(transport, nullptr);
    ASSERT_EQ(transport->actions().size(), 3);
    check(transport->actions()[0], {"Export1", "&Export", "Export backup files to a medium.", 0});
    check(transport->actions()[1], {"Import1", "&Import", "Import backup files from a medium", 0});
    check(transport->actions()[2],
          {"Remote1", "&Remote...",
           "Push backup sets to a remote and pull those of your other machines.", 0});
    QMenu* help = barActions[4]->menu();
    ASSERT_NE(help, nullptr);
    ASSERT_EQ(help->actions().size(), 2);
    check(help->actions()[0], {"About1", "&About", "", false});
    check(help->actions()[1],
          {"AutoBackup1", "A&utomatic backups...",
           "Back up the saves by themselves, from Steam, Lutris or Heroic.", false});
}

TEST_F(Shell, BarItemsShowImageAndCaption) {
    shell::CreateWindows();
    Form1->show();
    QMenuBar* bar = Form1->menuBar();
    const QImage shot = bar->grab().toImage();
    const QColor ground = bar->palette().color(QPalette::Window);

    for (QAction* a :
         {Form1->Backup1, Form1->Restore1, Form1->Settings1, Form1->Transport1, Form1->Help1}) {
        const QRect r = bar->actionGeometry(a);
        const int textWidth = bar->fontMetrics().horizontalAdvance(QString(a->text()).remove('&'));
        EXPECT_GE(r.width(), 32 + textWidth) << a->objectName().toStdString();

        // The image's pixels at the left, the caption's dark pixels at the right.
        int image = 0;
        int dark = 0;
        for (int y = r.top(); y <= r.bottom(); ++y) {
            for (int x = r.left(); x <= r.right(); ++x) {
                const QColor c = shot.pixelColor(x, y);
                if (c == ground)
                    continue;
                if (x < r.left() + 32)
                    ++image;
                if (x > r.right() - textWidth && c.lightness() < 90)
                    ++dark;
            }
        }
        EXPECT_GT(image, 40) << a->objectName().toStdString();
        EXPECT_GT(dark, 10) << a->objectName().toStdString();
    }
}

// Each item opens its window; About shows once at start.
TEST_F(Shell, AboutShowsOnceAtStartAndEachItemOpensItsWindow) {
    // Never the machine's own systemd.
    shell::SetSystemctl(QString::fromStdString(testenv::Scratch() + "/no-systemctl"));
    shell::CreateWindows();
    ui::MessageCapture messages; // what the dialogs may say when they open
    ModalCloser closer;
    Form1->show();
    QTRY_COMPARE(closer.shown(), QStringList{"fmAbout"});

    for (QAction* a : {Form1->Backup1, Form1->Restore1, Form1->Settings1, Form1->Export1,
                       Form1->Import1, Form1->Remote1, Form1->About1, Form1->AutoBackup1})
        a->trigger();
    Form1->activateWindow();
    QTest::qWait(100);
    EXPECT_EQ(closer.shown(),
              QStringList({"fmAbout", "fmBackup", "fmRestore", "fmSettings", "fmExport", "fmImport",
                           "fmRemote", "fmAbout", "fmAutoBackup"}));
}

TEST_F(Shell, AboutBoxHasItsLines) {
    shell::CreateWindows();
    EXPECT_EQ(fmAbout->tx_moonforge->text(), "Moonforge Backup Tool");
    EXPECT_TRUE(fmAbout->tx_moonforge->font().italic());
    EXPECT_EQ(fmAbout->tx_moonforge->font().pixelSize(), 30);
    EXPECT_TRUE(fmAbout->lb_version->text().contains("1.02 beta"));
    EXPECT_TRUE(fmAbout->Label1->text().contains("@example.org"));
    EXPECT_TRUE(fmAbout->Button1->isDefault());
    EXPECT_EQ(fmAbout->Button1->text(), "OK");

    QTimer::singleShot(0, fmAbout->Button1, &QPushButton::click);
    EXPECT_EQ(fmAbout->exec(), QDialog::Accepted);
}

TEST_F(Shell, ExitEndsTheRunAndSavesNothing) {
    // A short settings file is used as it stands and must not be rewritten.
    shell::DestroyWindows();
    testenv::WriteFile(SettingsFile(), std::string("\x00\x00\x01", 3));
    InitialiseSettings();
    shell::CreateWindows();

    ui::MessageCapture messages;
    ModalCloser closer;
    Form1->show();
    QTimer::singleShot(50, Form1->Exit1, &QAction::trigger);
    QTimer::singleShot(5000, [] { QCoreApplication::exit(99); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_FALSE(Form1->isVisible());
    EXPECT_EQ(closer.shown(), QStringList{"fmAbout"});
    shell::DestroyWindows();
    EXPECT_EQ(testenv::ReadFile(SettingsFile()), std::string("\x00\x00\x01", 3));
}

TEST_F(Shell, StartUpErrorsAreShownOnceTheApplicationExists) {
    std::filesystem::remove(SettingsFile());
    std::filesystem::create_directories(SettingsFile());
    const std::vector<std::string> errors = InitialiseSettings();

    ui::MessageCapture shown;
    shell::ShowStartupErrors(errors);
    ASSERT_EQ(shown.messages().size(), 1u);
    EXPECT_EQ(shown.messages()[0].text,
              "Cannot create file " + QString::fromStdString(SettingsFile()));
    EXPECT_EQ(shown.messages()[0].caption, "Moonforge BackUp Tool");
    EXPECT_EQ(shown.messages()[0].icon, ui::MessageIcon::Error);
}
