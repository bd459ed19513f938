#include "gui/operations/restore_dialog.h"

#include "core/checked_copy.h"
#include "gui/operations/operation_helpers.h"
#include "gui/widgets/check_list_delegate.h"
#include "gui/widgets/file_dialog.h"
#include "gui/widgets/message_box.h"
#include "gui/widgets/text_fit.h"
#include "sets/set_list.h"
#include "settings/backup_config.h"

#include <QCheckBox>
#include <QEvent>
#include <QFont>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QWindow>

#include <optional>

TfmRestore* fmRestore = nullptr;

using operations::Q;

namespace {

// Walks a date/time format, calling `token` for each run of one pattern
// letter outside quoted text; literal text is copied as it is.
template <typename TokenFn> QString RewriteFormat(const QString& format, TokenFn token) {
    QString out;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size();) {
        const QChar c = format[i];
        if (c == u'\'') {
            quoted = !quoted;
            out += c;
            ++i;
            continue;
        }
        if (quoted || !c.isLetter()) {
            out += c;
            ++i;
            continue;
        }
        qsizetype j = i;
        while (j < format.size() && format[j] == c)
            ++j;
        out += token(c, j - i);
        i = j;
    }
    return out;
}

// The short date with a four-digit year, whatever the locale writes.
QString FourDigitYearFormat(const QString& format) {
    return RewriteFormat(format, [](QChar c, qsizetype n) {
        if (c == u'y')
            return QString("yyyy");
        return QString(n, c);
    });
}

// The long time without its time-zone field (and the brackets around it and
// the blank that set it off: "H:mm:ss (t)" gives "H:mm:ss").
QString WithoutTimeZone(const QString& format) {
    const QString marked = RewriteFormat(format, [](QChar c, qsizetype n) {
        if (c == u't')
            return QString(QChar(0)); // marks where the zone stood
        return QString(n, c);
    });
    const QString opening = "([", closing = ")]";
    QString out;
    for (qsizetype i = 0; i < marked.size(); ++i) {
        if (marked[i] != QChar(0)) {
            out += marked[i];
            continue;
        }
        const qsizetype bracket = out.isEmpty() ? -1 : opening.indexOf(out.back());
        if (bracket >= 0 && i + 1 < marked.size() && marked[i + 1] == closing[bracket]) {
            out.chop(1);
            ++i;
        }
        if (out.endsWith(u' '))
            out.chop(1);
        else if (i + 1 < marked.size() && marked[i + 1] == u' ')
            ++i;
    }
    return out.trimmed();
}

QFont Underlined(const QWidget* dialog) {
    QFont font = dialog->font();
    font.setUnderline(true);
    return font;
}

} // namespace

// ---------------------------------------------------------------------------
// TObjSearchRec

QString FormatSetDate(const QDateTime& localTime, const QLocale& locale) {
    const QString date = locale.toString(
        localTime.date(), FourDigitYearFormat(locale.dateFormat(QLocale::ShortFormat)));
    if (localTime.time() == QTime(0, 0, 0))
        return date;
    return date + " " +
           locale.toString(localTime.time(),
                           WithoutTimeZone(locale.timeFormat(QLocale::LongFormat)));
}

QString TObjSearchRec::DateText() const {
    // The directory search's packed form keeps local time in 2-second steps.
    const QDateTime local = QDateTime::fromSecsSinceEpoch(
        static_cast<qint64>(SearchRec.WriteTime.tv_sec), Qt::LocalTime);
    QTime t = local.time();
    t = QTime(t.hour(), t.minute(), t.second() & ~1);
    return FormatSetDate(QDateTime(local.date(), t), QLocale::system());
}

bool TObjSearchRec::Holds(sets::Kind kind) const {
    return sets::Holds(sets::SetFolder(operations::BackupDir(), SetName()), kind,
                       operations::ZipBackups());
}

// ---------------------------------------------------------------------------
// TfmRestore

TfmRestore::TfmRestore(QWidget* parent) : TfmRestore(parent, true) {
    LbNoSave = operations::MakeNoSaveLine(this);
}

TfmRestore::TfmRestore(QWidget* parent, bool runFormCreate) : QDialog(parent) {
    setObjectName("fmRestore");
    setWindowTitle("Restore");
    BuildControls();
    if (runFormCreate)
        FormCreate();
}

TfmRestore::~TfmRestore() {
    FormDestroy();
}

void TfmRestore::BuildControls() {
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(514, 222);

    ckRestore = new QListWidget(this);
    ckRestore->setObjectName("ckRestore");
    ckRestore->setGeometry(4, 5, 332, 213);

    BuildKindColumn();
    BuildDestination();
    // Restore's own controls and Export's stay hidden until their creation
    // handler shows them.
    for (QWidget* w :
         std::initializer_list<QWidget*>{ckSafety, Label3, BtBrowse, EdDestination, ckOwner}) {
        w->setVisible(false);
        w->setEnabled(false);
    }
    BuildButtons();

    ckRestore->setItemDelegate(new ui::CheckListDelegate(ckRestore));
    ui::ShowPathStart(EdDestination);
    ui::KeepTextVisible(this);

    OrderTabs();
    ConnectHandlers();
}

void TfmRestore::BuildKindColumn() {
    Label1 = new QLabel("Items to restore:", this);
    Label1->setObjectName("Label1");
    Label1->setFont(Underlined(this));
    Label1->setGeometry(347, 7, 94, 16);

    ckChar = new QCheckBox("Character files", this);
    ckChar->setObjectName("ckChar");
    ckChar->setGeometry(347, 30, 97, 17);
    ckMulti = new QCheckBox("Multiplayer game", this);
    ckMulti->setObjectName("ckMulti");
    ckMulti->setGeometry(347, 54, 128, 17);
    ckSingle = new QCheckBox("Single player game(s)", this);
    ckSingle->setObjectName("ckSingle");
    ckSingle->setGeometry(347, 77, 157, 17);
    for (QCheckBox* box : {ckChar, ckMulti, ckSingle}) {
        box->setEnabled(false);
        box->setChecked(false);
    }

    // A caption short enough for the column at the desktop's default font;
    // the tooltip tells the rest.
    ckSafety = new QCheckBox("Back up saves first", this);
    ckSafety->setObjectName("ckSafety");
    ckSafety->setToolTip("First copies the game's files this restore replaces into a new backup "
                         "set, so that the restore can be undone.");
    ckSafety->setGeometry(347, 111, 157, 17);
}

// Export's destination and Restore's owner box share the place under the
// kinds.
void TfmRestore::BuildDestination() {
    Label3 = new QLabel("Destination:", this);
    Label3->setObjectName("Label3");
    Label3->setFont(Underlined(this));
    Label3->setGeometry(346, 129, 70, 16);

    BtBrowse = new QPushButton(style()->standardIcon(QStyle::SP_DirOpenIcon), "Browse", this);
    BtBrowse->setObjectName("BtBrowse");
    BtBrowse->setGeometry(421, 126, 76, 21);
    BtBrowse->setAutoDefault(false);

    EdDestination = new QLineEdit("Destination medium", this);
    EdDestination->setObjectName("EdDestination");
    EdDestination->setGeometry(345, 151, 152, 24);
    EdDestination->installEventFilter(this);

    ckOwner = new QCheckBox("Update owner", this);
    ckOwner->setObjectName("ckOwner");
    ckOwner->setToolTip("Use this to update the ownername of the gamefiles.");
    ckOwner->setGeometry(347, 154, 113, 17);
}

void TfmRestore::BuildButtons() {
    Button2 = new QPushButton("Cancel", this);
    Button2->setObjectName("Button2");
    Button2->setGeometry(348, 192, 75, 25);
    Button2->setAutoDefault(false);

    Button1 = new QPushButton("OK", this);
    Button1->setObjectName("Button1");
    Button1->setGeometry(431, 193, 75, 25);
    Button1->setDefault(true);
    Button1->setEnabled(false);

    OpenDialog1 = new ui::OpenDialog(this);
    OpenDialog1->setObjectName("OpenDialog1");
    OpenDialog1->FileName = "Destination medium";
    OpenDialog1->PathMustExist = false;
}

void TfmRestore::OrderTabs() {
    setTabOrder(Button1, Button2);
    setTabOrder(Button2, ckRestore);
    setTabOrder(ckRestore, ckChar);
    setTabOrder(ckChar, ckMulti);
    setTabOrder(ckMulti, ckSingle);
    setTabOrder(ckSingle, ckSafety);
    setTabOrder(ckSafety, EdDestination);
    setTabOrder(EdDestination, BtBrowse);
    setTabOrder(BtBrowse, ckOwner);
}

void TfmRestore::ConnectHandlers() {
    connect(ckRestore, &QListWidget::itemChanged, this, &TfmRestore::OnSetItemChanged);
    // Delphi's OnClick also fires when code changes the check mark; the kind
    // handlers must then run too, so they follow `toggled`.
    connect(ckChar, &QCheckBox::toggled, this, &TfmRestore::ckCharClick);
    connect(ckMulti, &QCheckBox::toggled, this, &TfmRestore::ckMultiClick);
    connect(ckSingle, &QCheckBox::toggled, this, &TfmRestore::ckSingleClick);
    connect(EdDestination, &QLineEdit::textChanged, this, &TfmRestore::EdDestinationChange);
    connect(BtBrowse, &QPushButton::clicked, this, &TfmRestore::BtBrowseClick);
    connect(Button1, &QPushButton::clicked, this, &TfmRestore::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
}

void TfmRestore::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormActivate();
}

void TfmRestore::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    if (!event->spontaneous())
        FormDeactivate();
}

bool TfmRestore::eventFilter(QObject* watched, QEvent* event) {
    if (watched == EdDestination && event->type() == QEvent::FocusOut)
        EdDestinationExit();
    if (watched == windowHandle() && event->type() == QEvent::Expose && NoContentsPending_ &&
        windowHandle()->isExposed()) {
        NoContentsPending_ = false;
        // After the expose has been handled: the box runs an event loop.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (isVisible())
                    ui::ShowMessage("No contents in backup directory!");
            },
            Qt::QueuedConnection);
    }
    return QDialog::eventFilter(watched, event);
}

void TfmRestore::FormCreate() {
    ListsBuilt = false;
    ckOwner->setEnabled(true);
    ckOwner->setVisible(true);
    ckOwner->setChecked(BackupConfig.OwnerOnRestore != 0);
    ckSafety->setEnabled(true);
    ckSafety->setVisible(true);
}

void TfmRestore::FormActivate() {
    if (LbNoSave)
        operations::UpdateNoSaveLine(this, LbNoSave);
    // Each showing starts with no set checked and no kind chosen, and keeps
    // the current saves unless the user says otherwise this time.
    SetKindBoxes(false, false, false);
    ckSafety->setChecked(ckSafety->isEnabled());
    UpdateButton1();
    ListsCreate();
    // Said once the dialog is on screen, not while it is still being shown
    // (its window not yet there to be seen under the box): when its window is
    // first exposed.
    NoContentsPending_ = SetList.empty();
    if (NoContentsPending_ && windowHandle())
        windowHandle()->installEventFilter(this);
}

void TfmRestore::FormDeactivate() {
    NoContentsPending_ = false;
    ListsDestroy();
}

void TfmRestore::FormDestroy() {
    ListsDestroy();
}

void TfmRestore::ListsCreate() {
    if (ListsBuilt)
        return;
    ListsBuilt = true;

    ChangingSetChecks_ = true;
    ckRestore->clear();
    ChangingSetChecks_ = false;
    SetList.clear();
    CurrentSet = nullptr;

    for (sets::SetEntry& set : sets::ListSets(operations::BackupDir())) {
        TSetListEntry entry;
        entry.Object = std::make_unique<TObjSearchRec>(set.Rec);
        entry.Description = std::move(set.Description);
        SetList.push_back(std::move(entry));
    }

    ChangingSetChecks_ = true;
    for (std::size_t i = 0; i < SetList.size(); ++i) {
        auto* item =
            new QListWidgetItem(SetList[i].Object->DateText() + " " + Q(SetList[i].Description));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
        item->setData(Qt::UserRole, static_cast<qulonglong>(i));
        ckRestore->addItem(item);
    }
    ChangingSetChecks_ = false;
}

void TfmRestore::ListsDestroy() {
    if (!ListsBuilt)
        return;
    ListsBuilt = false;
    // The items stay on screen until the next build; they only hold indexes,
    // which are not followed while the lists are released.
    CurrentSet = nullptr;
    SetList.clear();
}

void TfmRestore::OnSetItemChanged(QListWidgetItem* item) {
    if (ChangingSetChecks_ || !item)
        return;
    if (ckRestore->currentItem() != item) {
        ChangingSetChecks_ = true;
        ckRestore->setCurrentItem(item);
        ChangingSetChecks_ = false;
    }
    ckRestoreClickCheck();
}

void TfmRestore::ckRestoreClickCheck() {
    QListWidgetItem* current = ckRestore->currentItem();

    ChangingSetChecks_ = true;
    for (int i = 0; i < ckRestore->count(); ++i) {
        QListWidgetItem* item = ckRestore->item(i);
        if (item != current && item->checkState() != Qt::Unchecked)
            item->setCheckState(Qt::Unchecked);
    }
    ChangingSetChecks_ = false;

    TObjSearchRec* set = nullptr;
    if (current && current->checkState() == Qt::Checked && ListsBuilt) {
        const auto index = current->data(Qt::UserRole).toULongLong();
        if (index < SetList.size())
            set = SetList[index].Object.get();
    }
    if (set) {
        CurrentSet = set;
        SetKindBoxes(set->HasCharFile(), set->HasMultiFile(), set->HasSingleFile());
    } else {
        SetKindBoxes(false, false, false);
    }
    UpdateButton1();
}

void TfmRestore::SetKindBoxes(bool chars, bool multi, bool single) {
    ckChar->setEnabled(chars);
    ckChar->setChecked(chars);
    ckMulti->setEnabled(multi);
    ckMulti->setChecked(multi);
    ckSingle->setEnabled(single);
    ckSingle->setChecked(single);
}

void TfmRestore::UpdateButton1() {
    Button1->setEnabled(ckChar->isChecked() || ckSingle->isChecked() || ckMulti->isChecked());
}

void TfmRestore::CopyDescFile(const std::string& /*SetFolder*/) {}

void TfmRestore::Button1Click() {
    // Enter presses OK without leaving the destination field: complete it, so
    // that the files land inside the folder and not beside it.
    if (!EdDestination->isHidden())
        EdDestinationExit();
    RestoreAction();
    accept();
}

void TfmRestore::ckCharClick() {
    UpdateButton1();
}
void TfmRestore::ckMultiClick() {
    UpdateButton1();
}
void TfmRestore::ckSingleClick() {
    UpdateButton1();
}
void TfmRestore::EdDestinationChange() {
    UpdateButton1();
}

void TfmRestore::EdDestinationExit() {
    operations::CompleteFolderText(EdDestination);
}

void TfmRestore::BtBrowseClick() {
    operations::BrowseFolder(OpenDialog1, this, EdDestination);
}

void TfmRestore::RestoreAction() {
    if (!CurrentSet)
        return;
    // Only this copy of the name is used from here on: the lists may be
    // released and rebuilt while the action runs.
    core::RestorePlan plan;
    plan.BackupDir = operations::BackupDir();
    plan.GameDir = operations::GameDir();
    plan.SetName = CurrentSet->SetName();
    plan.Kinds = {ckChar->isChecked(), ckMulti->isChecked(), ckSingle->isChecked()};
    plan.Zip = operations::ZipBackups();
    plan.Safety = ckSafety->isChecked();
    plan.SafetyZip = plan.Zip;
    operations::DialogReporter reporter(this);
    core::RestoreSet(
        plan, reporter, SetChecksums,
        [this](const std::string& Source, const std::string& Dest) {
            return RestoreFile(Source, Dest);
        },
        [this](const std::string& SetFolder) {
            CopyDescFile(SetFolder);
            return true;
        });
    SetChecksums = {};
}

bool TfmRestore::RestoreFile(const std::string& Source, const std::string& Dest) {
    operations::DialogReporter reporter(this);
    std::optional<std::string> owner;
    if (ckOwner->isChecked())
        owner = ComputerName;
    return core::RestoreFile(Source, Dest, operations::ZipBackups(), owner, reporter, SetChecksums);
}

bool TfmRestore::UpdateOwner(const std::string& FileName) {
    operations::DialogReporter reporter(this);
    return core::UpdateOwner(FileName, ComputerName, reporter);
}
