#pragma once

// Help > Automatic backups: how to have the saves backed up without opening
// the program. The window only explains and sets up; the work is done by
// `mfbackup-cli wrap` around the game and by the save watcher's service.

#include <QDialog>
#include <QString>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace shell {

class WatchService;

// `word` as one word of a POSIX shell's command line: as it is when it holds
// nothing the shell treats specially, else in single quotes.
QString ShellWord(const QString& word);

// The command-line program as a launcher should start it: the path PATH
// gives for "mfbackup-cli", else the one beside the running program.
QString CliPath();
// How a launcher's command line names it: its bare name when PATH finds it,
// else its full path, quoted for the shell.
QString CliCommand();

} // namespace shell

class TfmAutoBackup : public QDialog {
    Q_OBJECT
public:
    explicit TfmAutoBackup(QWidget* parent = nullptr);

    QLabel* LbIntro;
    QGroupBox* GbSteam;
    QLabel* LbSteam;
    QLineEdit* EdLaunchOption;
    QPushButton* BtCopy;
    QGroupBox* GbLaunchers;
    QLabel* LbLutris;
    QLineEdit* EdPrefix;
    QPushButton* BtCopyPrefix;
    QLabel* LbHeroic;
    QLineEdit* EdProgram;
    QPushButton* BtCopyProgram;
    QGroupBox* GbWatch;
    QLabel* LbWatch;
    QLabel* LbWatchState;
    QPushButton* BtWatch;
    QPushButton* BtClose;
    shell::WatchService* Watch;

    void BtCopyClick();
    void BtCopyPrefixClick();
    void BtCopyProgramClick();
    void BtWatchClick();
    // Fills the lines for the program as PATH finds it now and asks systemd
    // for the service's state; runs each time the window is shown.
    void Refresh();

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void ShowWatchState();
    // Wide enough for the texts to read well, as high as they need.
    void FitToText();
};

extern TfmAutoBackup* fmAutoBackup;
