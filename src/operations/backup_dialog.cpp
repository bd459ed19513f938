#include "operations/backup_dialog.h"

#include "config/backup_config.h"
#include "operations/operation_helpers.h"
#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/sync.h"
#include "storage/archiver_call.h"
#include "storage/backup_set.h"
#include "ui/message_box.h"
#include "ui/text_fit.h"

#include <QCheckBox>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

#include <algorithm>
#include <unordered_map>

TfmBackup* fmBackup = nullptr;

using operations::Q;

namespace {

// Size and last-write time of a file as a search sees it, to tell whether the
// game wrote it again while the backup ran.
struct FileState {
    bool Known = false;
    std::int64_t Size = 0;
    struct timespec WriteTime = {};

    bool operator==(const FileState& o) const {
        return Known && o.Known && Size == o.Size && WriteTime.tv_sec == o.WriteTime.tv_sec &&
               WriteTime.tv_nsec == o.WriteTime.tv_nsec;
    }
};

using FileStates = std::unordered_map<std::string, FileState>;

// The state of every file of the folders that `paths` lie in, one search per
// folder.
FileStates StatesOf(const std::vector<std::string>& paths) {
    FileStates states;
    std::vector<std::string> folders;
    for (const std::string& path : paths) {
        std::string folder = platform::ExtractFilePath(path);
        if (std::find(folders.begin(), folders.end(), folder) == folders.end())
            folders.push_back(std::move(folder));
    }
    for (const std::string& folder : folders) {
        platform::FileSearch search;
        if (!search.FindFirst(folder + "*.*", platform::faAnyFile))
            continue;
        do {
            const platform::SearchRec& rec = search.Rec();
            states[folder + rec.Name] = FileState{true, rec.Size, rec.WriteTime};
        } while (search.FindNext());
    }
    return states;
}

// Where BackupFile puts Source in the set, to flush it there.
std::string BackupTarget(const std::string& Source, const std::string& SetPath) {
    const std::string Name = platform::ExtractFileName(Source);
    if (BackupConfig.ZipBackups != 0)
        return SetPath + ArchiveBaseName(Name) + ".zip";
    return SetPath + Name;
}

} // namespace

TfmBackup::TfmBackup(QWidget* parent) : QDialog(parent) {
    setObjectName("fmBackup");
    setWindowTitle("Backup");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(394, 216);

    Button1 = new QPushButton("OK", this);
    Button1->setObjectName("Button1");
    Button1->setGeometry(228, 184, 75, 25);
    Button1->setDefault(true);
    Button1->setEnabled(false);

    Button2 = new QPushButton("Cancel", this);
    Button2->setObjectName("Button2");
    Button2->setGeometry(311, 184, 75, 25);
    Button2->setAutoDefault(false);

    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFrameShape(QFrame::StyledPanel);
    Panel1->setGeometry(4, 4, 386, 172);

    QFont underlined = font();
    underlined.setUnderline(true);

    Label1 = new QLabel("Backing up:", Panel1);
    Label1->setObjectName("Label1");
    Label1->setFont(underlined);
    Label1->setGeometry(8, 8, 160, 16);

    Label2 = new QLabel("Description:", Panel1);
    Label2->setObjectName("Label2");
    Label2->setFont(underlined);
    Label2->setGeometry(8, 104, 160, 16);

    ckChar = new QCheckBox("Character(s)", Panel1);
    ckChar->setObjectName("ckChar");
    ckChar->setGeometry(8, 30, 170, 17);
    ckMulti = new QCheckBox("Multiplayer game", Panel1);
    ckMulti->setObjectName("ckMulti");
    ckMulti->setGeometry(8, 52, 170, 17);
    ckSingle = new QCheckBox("Single player games", Panel1);
    ckSingle->setObjectName("ckSingle");
    ckSingle->setGeometry(8, 74, 170, 17);
    for (QCheckBox* box : {ckChar, ckMulti, ckSingle}) {
        box->setEnabled(false);
        box->setChecked(false);
    }

    EdDesc = new QLineEdit(Panel1);
    EdDesc->setObjectName("EdDesc");
    EdDesc->setGeometry(8, 124, 370, 24);

    ckArchive = new QCheckBox("Ignore archivebit", Panel1);
    ckArchive->setObjectName("ckArchive");
    ckArchive->setToolTip("Disables the archive test on gamefiles.");
    ckArchive->setGeometry(200, 30, 170, 17);

    ui::KeepTextVisible(this);

    // Delphi's OnClick also fires when code sets a check mark (FormActivate
    // does), so the handlers follow `toggled`.
    connect(ckChar, &QCheckBox::toggled, this, &TfmBackup::ckCharClick);
    connect(ckMulti, &QCheckBox::toggled, this, &TfmBackup::ckMultiClick);
    connect(ckSingle, &QCheckBox::toggled, this, &TfmBackup::ckSingleClick);
    connect(ckArchive, &QCheckBox::toggled, this, &TfmBackup::ckArchiveClick);
    connect(Button1, &QPushButton::clicked, this, &TfmBackup::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
}

void TfmBackup::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormActivate();
}

bool CanBackup(const std::string& Pattern) {
    platform::FileSearch search;
    if (!search.FindFirst(Pattern, platform::faAnyFile))
        return false;
    if (fmBackup && fmBackup->ckArchive->isChecked())
        return true;
    return (search.Rec().Attr & platform::faArchive) != 0;
}

void TfmBackup::UpdateForm() {
    const std::string gameDir = BackupConfig.GameDir.Get();
    ckChar->setEnabled(CanBackup(gameDir + "save/characters/characters.lpl"));
    ckMulti->setEnabled(CanBackup(gameDir + "save/net/net.sav"));
    ckSingle->setEnabled(CanBackup(gameDir + "save/games/game*.sav"));
    // A disabled box still checked from an earlier showing counts too.
    Button1->setEnabled(ckSingle->isChecked() || ckMulti->isChecked() || ckChar->isChecked());
}

void TfmBackup::FormActivate() {
    UpdateForm();
    if (ckChar->isEnabled())
        ckChar->setChecked(BackupConfig.Characters != 0);
    if (ckMulti->isEnabled())
        ckMulti->setChecked(BackupConfig.Multiplayer != 0);
    if (ckSingle->isEnabled())
        ckSingle->setChecked(BackupConfig.SinglePlayer != 0);
}

void TfmBackup::ckCharClick() {
    UpdateForm();
}
void TfmBackup::ckMultiClick() {
    UpdateForm();
}
void TfmBackup::ckSingleClick() {
    UpdateForm();
}
void TfmBackup::ckArchiveClick() {
    UpdateForm();
}

void TfmBackup::Button1Click() {
    DoBackup();
    accept();
}

void CollectFiles(const std::string& Folder, std::vector<std::string>& List) {
    constexpr std::uint32_t leftOut =
        platform::faDirectory | platform::faHidden | platform::faSysFile | platform::faVolumeID;
    platform::FileSearch search;
    if (!search.FindFirst(Folder + "*.*", platform::faArchive))
        return;
    do {
        const platform::SearchRec& rec = search.Rec();
        if ((rec.Attr & leftOut) == 0 && (rec.Attr & platform::faArchive) != 0)
            List.push_back(Folder + rec.Name);
    } while (search.FindNext());
}

bool ZipFile(const std::string& Source, const std::string& Archive) {
    return RunArchiver(ArchiverName, CompressParams(Archive, platform::ExtractFileName(Source)),
                       platform::ExtractFilePath(Source));
}

bool BackupFile(const std::string& Source, const std::string& SetPath) {
    const std::string Name = platform::ExtractFileName(Source);
    if (BackupConfig.ZipBackups != 0) {
        const std::string Archive = SetPath + ArchiveBaseName(Name);
        const bool ok = ZipFile(Source, Archive);
        if (!ok)
            ui::ShowMessage(Q("error zipping " + Source + " to " + Archive));
        return ok;
    }
    const std::string Target = SetPath + Name;
    const bool ok = platform::CopyFile(Source, Target, false);
    if (!ok)
        ui::ShowMessage(Q("error copying " + Source + " to " + Target));
    return ok;
}

void DoBackup() {
    TfmBackup* dialog = fmBackup;
    if (!dialog)
        return;
    const std::string gameDir = BackupConfig.GameDir.Get();
    std::vector<std::string> List;
    if (dialog->ckChar->isChecked())
        CollectFiles(gameDir + "save/characters/", List);
    if (dialog->ckMulti->isChecked())
        CollectFiles(gameDir + "save/net/", List);
    if (dialog->ckSingle->isChecked())
        CollectFiles(gameDir + "save/games/", List);
    if (List.empty()) {
        ui::ShowMessage("Nothing found to backup!");
        return;
    }

    std::string SetPath;
    if (!CreateBackupSet(dialog->EdDesc->text().toStdString(), SetPath))
        return;

    operations::ShowProgress("Backing Up", dialog);

    // What each file looked like before it was copied, to tell afterwards
    // whether the game wrote it again while the backup ran.
    const FileStates before = StatesOf(List);
    std::vector<std::string> backedUp;
    std::vector<std::string> copies;
    for (const std::string& path : List) {
        operations::ProgressText(path);
        if (BackupFile(path, SetPath)) {
            backedUp.push_back(path);
            copies.push_back(BackupTarget(path, SetPath));
        }
    }

    // A source is marked backed up only once every copy is on disk: a machine
    // that stops before leaves all sources marked changed, so the next backup
    // takes them again.
    if (!backedUp.empty()) {
        copies.push_back(SetPath);
        if (platform::FlushFiles(copies)) {
            const FileStates after = StatesOf(backedUp);
            for (const std::string& source : backedUp) {
                // Written again by the game while the backup ran: the set may
                // hold the older content, so the file stays marked changed.
                const auto b = before.find(source);
                const auto a = after.find(source);
                if (b != before.end() && a != after.end() && a->second == b->second)
                    platform::SetFileAttributes(source, 0);
            }
        } else {
            const std::string cause = platform::SysErrorMessage(platform::GetLastError());
            ui::ShowMessage(Q("error writing " + SetPath + " to disk: " + cause));
        }
    }

    operations::HideProgress();
}
