// The installed program as a user gets it: `cmake --install` into a temporary
// prefix, and the Debian package that cpack builds.

#include "common/run_program.h"
#include "common/test_env.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using testenv::Outcome;
using testenv::RunProgram;

// The target a symbolic link holds as written; "" when `path` is no link.
std::string LinkTarget(const QString& path) {
    std::error_code ec;
    return std::filesystem::read_symlink(path.toStdString(), ec).string();
}

// Installs the build into `prefix`; fails the test when the install fails.
void InstallInto(const QString& prefix) {
    Outcome r = RunProgram(MF_CMAKE, {"--install", MF_BUILD_DIR, "--prefix", prefix});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
}

QStringList Entries(const QString& dir) {
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

bool IsExecutableFile(const QString& path) {
    QFileInfo info(path);
    return info.isFile() && !info.isSymLink() && info.isExecutable();
}

// A key of the [Desktop Entry] group, with the string escapes undone.
std::string DesktopValue(const std::string& text, const std::string& key) {
    bool inGroup = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line[0] == '[') {
            inGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inGroup || line.rfind(key + "=", 0) != 0)
            continue;
        std::string value;
        for (std::size_t i = key.size() + 1; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) {
                const char c = line[++i];
                value += c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
            } else {
                value += line[i];
            }
        }
        return value;
    }
    return {};
}

// The words of a command line as a menu entry's Exec= or a unit's
// ExecStart= gives it: double quotes and the backslashes inside them undone,
// "%%" and "$$" read as one character.
std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"')
            quoted = !quoted;
        else if (quoted && c == '\\' && i + 1 < line.size())
            words.back() += line[++i];
        else if (!quoted && c == ' ')
            words.emplace_back();
        else if ((c == '%' || c == '$') && i + 1 < line.size() && line[i + 1] == c)
            words.back() += line[++i];
        else
            words.back() += c;
    }
    return words;
}

// Checks the menu entry installed under `root` + `prefix` (root is where the
// files are, prefix where they will be used from).
void CheckDesktopEntry(const QString& root, const QString& prefix) {
    const QString path = root + prefix + "/share/applications/mfbackup.desktop";
    const std::string text = testenv::ReadFile(path.toStdString());
    ASSERT_FALSE(text.empty()) << path.toStdString();
    EXPECT_EQ(DesktopValue(text, "Name"), "Moonforge Backup Tool");
    EXPECT_EQ(Words(DesktopValue(text, "Exec"))[0], (prefix + "/bin/mfbackup").toStdString());
    const std::string categories = ";" + DesktopValue(text, "Categories");
    EXPECT_NE(categories.find(";Utility;"), std::string::npos) << categories;
    EXPECT_NE(categories.find(";Archiving;"), std::string::npos) << categories;
    const QString icon = QString::fromStdString(DesktopValue(text, "Icon"));
    EXPECT_EQ(icon, "mfbackup");
    const QString icons = root + prefix + "/share/icons/hicolor/";
    EXPECT_TRUE(QFileInfo(icons + "scalable/apps/" + icon + ".svg").size() > 0);
    EXPECT_EQ(QImage(icons + "48x48/apps/" + icon + ".png").size(), QSize(48, 48));
    EXPECT_EQ(QImage(icons + "256x256/apps/" + icon + ".png").size(), QSize(256, 256));

    if (std::string(MF_DESKTOP_FILE_VALIDATE).empty())
        return;
    Outcome r = RunProgram(MF_DESKTOP_FILE_VALIDATE, {path});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out + r.err, "") << "desktop-file-validate has remarks";
}

// Checks the manual pages, the completion and the documentation under
// `root` + `prefix`.
void CheckDocumentation(const QString& root, const QString& prefix) {
    const QString share = root + prefix + "/share/";
    EXPECT_EQ(Entries(share + "man/man1"), QStringList({"mfbackup-cli.1.gz", "mfbackup.1.gz"}));
    EXPECT_EQ(Entries(share + "doc/mfbackup"), QStringList({"README.md", "copyright"}));
    const std::string completion =
        testenv::ReadFile((share + "bash-completion/completions/mfbackup-cli").toStdString());
    EXPECT_NE(completion.find("complete -F _mfbackup_cli mfbackup-cli"), std::string::npos);
    Outcome page = RunProgram("gzip", {"-dc", share + "man/man1/mfbackup-cli.1.gz"});
    EXPECT_EQ(page.out.rfind(".TH MFBACKUP-CLI 1 \"\" \"mfbackup 1.02\"", 0), 0u) << page.err;
}

// The words of the ExecStart= line of a systemd unit.
std::vector<std::string> UnitExecStart(const QString& path) {
    const std::string text = testenv::ReadFile(path.toStdString());
    const std::size_t at = text.find("\nExecStart=");
    if (at == std::string::npos)
        return {};
    return Words(text.substr(at + 11, text.find('\n', at + 1) - at - 11));
}

// A prefix with a blank, as a user's folder may have.
QString Prefix() {
    return QString::fromStdString(testenv::Scratch()) + "/install prefix";
}

TEST(InstalledLayout, ProgramsShareAPrivateFolderReachedByLinksTheMenuAndTheWatcherStart) {
    const QString prefix = Prefix();
    InstallInto(prefix);

    EXPECT_EQ(Entries(prefix), QStringList({"bin", "lib", "share"}));
    EXPECT_EQ(Entries(prefix + "/lib/mfbackup"),
              QStringList({"mfbackup", "mfbackup-cli", "mfbackup-notify", "pkzip.exe"}));
    for (const char* program : {"mfbackup", "mfbackup-cli", "mfbackup-notify", "pkzip.exe"})
        EXPECT_TRUE(IsExecutableFile(prefix + "/lib/mfbackup/" + program)) << program;

    // Only the links land on PATH, and they are relative so that a staged
    // install (DESTDIR, the package) points at the right file once in place.
    EXPECT_EQ(Entries(prefix + "/bin"), QStringList({"mfbackup", "mfbackup-cli"}));
    for (const QString program : {"mfbackup", "mfbackup-cli"}) {
        QFileInfo link(prefix + "/bin/" + program);
        ASSERT_TRUE(link.isSymLink());
        EXPECT_EQ(LinkTarget(link.filePath()), "../lib/mfbackup/" + program.toStdString());
        EXPECT_EQ(link.canonicalFilePath(),
                  QFileInfo(prefix + "/lib/mfbackup/" + program).canonicalFilePath());
    }

    // The command line opens no window: of Qt it links the core alone.
    const Outcome ldd = RunProgram("ldd", {prefix + "/lib/mfbackup/mfbackup-cli"});
    ASSERT_EQ(ldd.exitCode, 0) << ldd.err;
    QStringList qt;
    for (const QString& line : QString::fromStdString(ldd.out).split('\n'))
        if (line.contains("libQt"))
            qt << line.trimmed().section(' ', 0, 0);
    EXPECT_EQ(qt.join(" ").toStdString(), "libQt6Core.so.6");

    CheckDesktopEntry("", prefix);
    CheckDocumentation("", prefix);

    // The save watcher's unit starts the command line through its link.
    const QString unit = prefix + "/lib/systemd/user/mfbackup-watch.service";
    EXPECT_EQ(UnitExecStart(unit),
              (std::vector<std::string>{(prefix + "/bin/mfbackup-cli").toStdString(), "watch"}));
    EXPECT_NE(testenv::ReadFile(unit.toStdString()).find("\nRestart=on-failure\n"),
              std::string::npos);
    if (std::string(MF_SYSTEMD_ANALYZE).empty())
        GTEST_SKIP() << "systemd-analyze is not installed (package systemd)";
    // A user manager's check, offline: it needs a runtime folder of its own.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(testenv::Scratch()));
    Outcome r = RunProgram(MF_SYSTEMD_ANALYZE, {"--user", "--man=no", "verify", unit}, {}, env);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out + r.err, "") << "systemd-analyze has remarks";
}

// Neither PATH nor the current folder holds an archiver: only the program's
// own folder, reached through the link, can.
TEST(InstalledLayout, CommandLineThroughItsLinkZipsAndUnzipsWithTheArchiverBesideIt) {
    const QString prefix = Prefix();
    InstallInto(prefix);
    const std::string game = testenv::Scratch() + "/game/";
    const std::string backups = testenv::Scratch() + "/backups/";
    const std::string save = game + "save/net/net.sav";
    testenv::WriteFile(save, "net game");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(backups)));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", QString::fromStdString(testenv::Scratch()));
    const QString work = QString::fromStdString(testenv::Scratch());
    const auto run = [&](const QString& cli, const QStringList& args) {
        return RunProgram(cli, args, work, env);
    };
    const QString cli = prefix + "/bin/mfbackup-cli";
    for (const auto& [key, value] : {std::pair{"game-dir", game}, {"backup-dir", backups}})
        ASSERT_EQ(run(cli, {"settings", "set", key, QString::fromStdString(value)}).exitCode, 0);
    Outcome backup = run(cli, {"backup", "--zip"});
    ASSERT_EQ(backup.exitCode, 0) << backup.out << backup.err;
    const QStringList sets = Entries(QString::fromStdString(backups));
    ASSERT_EQ(sets.size(), 1);
    EXPECT_EQ(Entries(QString::fromStdString(backups) + sets[0]),
              (QStringList{".mfbackup-sums", "net.zip"}));
    testenv::WriteFile(save, "played since");
    Outcome restore = run(cli, {"restore", "latest", "--no-safety", "--no-owner"});
    ASSERT_EQ(restore.exitCode, 0) << restore.out << restore.err;
    EXPECT_EQ(testenv::ReadFile(save), "net game");

    // Control: a copy of the program outside that folder does not find it.
    const QString elsewhere = work + "/elsewhere/mfbackup-cli";
    ASSERT_TRUE(QDir().mkpath(work + "/elsewhere"));
    ASSERT_TRUE(QFile::copy(prefix + "/lib/mfbackup/mfbackup-cli", elsewhere));
    testenv::WriteFile(save, "played again");
    EXPECT_EQ(run(elsewhere, {"backup", "--zip"}).exitCode, 1);
}

TEST(DebianPackage, HoldsTheInstalledLayoutUnderUsrWithDebianDependencies) {
    if (std::string(MF_DPKG_DEB).empty())
        GTEST_SKIP() << "dpkg-deb is not installed";
    const QString out = QString::fromStdString(testenv::Scratch() + "/package");
    Outcome pack = RunProgram(
        MF_CPACK,
        {"-G", "DEB", "-B", out, "--config", QString(MF_BUILD_DIR) + "/CPackConfig.cmake"}, {},
        QProcessEnvironment::systemEnvironment(), 90000);
    ASSERT_EQ(pack.exitCode, 0) << pack.out << pack.err;
    const QStringList debs = QDir(out).entryList({"*.deb"}, QDir::Files);
    ASSERT_EQ(debs.size(), 1) << pack.out;
    const QString deb = out + "/" + debs.front();

    Outcome fields = RunProgram(MF_DPKG_DEB, {"-f", deb, "Package", "Depends", "Recommends"});
    ASSERT_EQ(fields.exitCode, 0) << fields.err;
    EXPECT_NE(fields.out.find("Package: mfbackup"), std::string::npos) << fields.out;
    EXPECT_NE(fields.out.find("Recommends: rclone"), std::string::npos) << fields.out;
    for (const char* dependency :
         {"libqt6widgets6", "libqt6core6", "libqt6dbus6", "libc6", "libstdc++6"})
        EXPECT_NE(fields.out.find(dependency), std::string::npos) << dependency << "\n"
                                                                  << fields.out;

    const QString root = out + "/root";
    Outcome unpack = RunProgram(MF_DPKG_DEB, {"-x", deb, root});
    ASSERT_EQ(unpack.exitCode, 0) << unpack.err;
    // Nothing but the program's files: no test, benchmark or helper.
    EXPECT_EQ(Entries(root), QStringList({"usr"}));
    EXPECT_EQ(Entries(root + "/usr"), QStringList({"bin", "lib", "share"}));
    EXPECT_EQ(Entries(root + "/usr/lib"), QStringList({"mfbackup", "systemd"}));
    EXPECT_EQ(Entries(root + "/usr/lib/mfbackup"),
              QStringList({"mfbackup", "mfbackup-cli", "mfbackup-notify", "pkzip.exe"}));
    EXPECT_EQ(UnitExecStart(root + "/usr/lib/systemd/user/mfbackup-watch.service"),
              (std::vector<std::string>{"/usr/bin/mfbackup-cli", "watch"}));
    EXPECT_EQ(Entries(root + "/usr/bin"), QStringList({"mfbackup", "mfbackup-cli"}));
    EXPECT_EQ(LinkTarget(root + "/usr/bin/mfbackup"), "../lib/mfbackup/mfbackup");
    EXPECT_EQ(LinkTarget(root + "/usr/bin/mfbackup-cli"), "../lib/mfbackup/mfbackup-cli");
    CheckDesktopEntry(root, "/usr");
    CheckDocumentation(root, "/usr");
}

} // namespace
