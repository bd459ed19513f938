#pragma once

// The main window: a frame with the menu bar over an empty client area. Each
// menu command opens one dialog modally; the work happens in the dialogs.

#include <QMainWindow>

class QAction;
class QMenu;
class QMenuBar;

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);

    QMenuBar* MainMenu1;
    QAction* Backup1;
    QAction* Restore1;
    QAction* Settings1;
    QAction* Transport1; // opens TransportMenu
    QAction* Export1;
    QAction* Import1;
    QAction* Remote1; // under Transport, after Import
    QAction* Help1;   // opens HelpMenu
    QAction* About1;
    QAction* AutoBackup1; // under Help, after About
    QAction* Exit1;
    QMenu* TransportMenu;
    QMenu* HelpMenu;

    void Backup1Click();
    void Restore1Click();
    void Settings1Click();
    void Export1Click();
    void Import1Click();
    void Remote1Click();
    void About1Click();
    void AutoBackup1Click();
    void Exit1Click();
    // Shows the About box; runs once, when the window is first shown.
    void FormActivate();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    bool shown_ = false;
};

extern TForm1* Form1;
