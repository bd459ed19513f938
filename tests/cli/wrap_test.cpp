// mfbackup-cli wrap as a launcher runs it: the game's exit status passed on,
// and the saves it wrote backed up afterwards, told on standard error, in the
// run log and in a desktop notification.

#include "auto_fixture.h"
#include "common/private_bus.h"

#include <QCoreApplication>
#include <QThread>

#include <csignal>
#include <regex>

namespace {

struct WrapCase {
    const char* Name;
    QStringList Command;
    int Status;
    // The run log's line after its time ("{set}": the set made), and
    // standard error.
    std::string Logged;
    std::string Err;
    bool SavedBefore = false; // a save changed before the run: a backup would take it
};

void PrintTo(const WrapCase& c, std::ostream* os) {
    *os << c.Name;
}

const std::string kBackedUp = "Moonforge saves backed up: 1 file into {set}";

const std::string kSaid = "mfbackup-cli: " + kBackedUp + "\n";

const WrapCase kWrapCases[] = {
    {"GameEndsWell", {"game", "0"}, 0, "wrap -- game 0\texit 0; " + kBackedUp, kSaid},
    {"GameFails", {"game", "7"}, 7, "wrap -- game 7\texit 7; " + kBackedUp, kSaid},
    {"GameKilledBySignal",
     {"game", "kill"},
     128 + SIGKILL,
     "wrap -- game kill\texit 137; " + kBackedUp,
     kSaid},
    {"NothingChanged",
     {"sh", "-c", "exit 3"},
     3,
     "wrap -- sh -c 'exit 3'\texit 3; nothing changed",
     "Nothing found to backup!\n"},
    {"GameNotFound",
     {"no-such-game"},
     127,
     "wrap -- no-such-game\tnot started: command not found",
     "mfbackup-cli: no-such-game: command not found\n",
     true},
};

class WrapTest : public AutoTest {};
class WrapStatus : public AutoTest, public ::testing::WithParamInterface<WrapCase> {};

std::string Replaced(std::string text, const std::string& set) {
    if (const auto at = text.find("{set}"); at != std::string::npos)
        text.replace(at, 5, set);
    return text;
}

} // namespace

TEST_P(WrapStatus, EndsWithTheGamesStatusOnceItsLastWriteIsBackedUp) {
    const WrapCase& c = GetParam();
    if (c.SavedBefore)
        Save("net/net.sav", "changed");
    const testenv::Outcome r = Cli(QStringList{"wrap", "--"} + c.Command);
    EXPECT_EQ(r.exitCode, c.Status) << r.err;
    EXPECT_EQ(r.out, "");

    const bool made = c.Logged.find("{set}") != std::string::npos;
    ASSERT_EQ(Sets().size(), made ? 1u : 0u);
    const std::string set = made ? Sets()[0] : "";
    EXPECT_EQ(r.err, Replaced(c.Err, set));
    const std::vector<std::string> log = LogLines();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(std::regex_match(log[0], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\t.*)")))
        << log[0];
    EXPECT_EQ(log[0].substr(20), Replaced(c.Logged, set));
    if (!made)
        return;
    // The child's write after the game ended is in the set.
    EXPECT_EQ(testenv::ReadFile(backupDir + set + "/characters.lpl"), "last write");
    EXPECT_TRUE(std::regex_match(
        Description(set), std::regex(R"(After playing \d{1,2} [A-Z][a-z]{2} \d{4} \d\d:\d\d\r\n)")))
        << Description(set);
}

INSTANTIATE_TEST_SUITE_P(Cases, WrapStatus, ::testing::ValuesIn(kWrapCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(WrapTest, BeforeAlsoBacksUpWhatChangedBeforeTheGameStartedOfTheKindsAsked) {
    Save("characters/characters.lpl", "before the game");
    const std::string net = Save("net/net.sav", "not asked for");
    const testenv::Outcome r = Cli({"wrap", "--before", "--kinds", "characters", "--zip", "--desc",
                                    "Dragon", "--", "game", "0"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> sets = Sets();
    ASSERT_EQ(sets.size(), 2u);
    std::string before = sets[0], after = sets[1];
    if (Description(before).rfind("Before playing ", 0) != 0)
        std::swap(before, after);
    EXPECT_EQ(Description(before).rfind("Before playing ", 0), 0u) << Description(before);
    EXPECT_EQ(Description(after).rfind("Dragon ", 0), 0u) << Description(after);
    for (const std::string& set : sets)
        EXPECT_EQ(Files(backupDir + set), (Names{".mfbackup-sums", "characters.zip", "desc.txt"}));
    EXPECT_TRUE(Changed(net));
    const std::vector<std::string> log = LogLines();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("\tbefore: Moonforge saves backed up: 1 file into " + before +
                          "; exit 0; Moonforge saves backed up: 1 file into " + after),
              std::string::npos)
        << log[0];
}

TEST_F(WrapTest, TwoWrapsAtOnceMakeOneSetTheSecondWaitingForTheFirst) {
    // Both games end while another run holds the backup folder.
    platform::FolderLock other;
    ASSERT_EQ(other.TryLock(backupDir), platform::FolderLock::Outcome::Taken);
    Running first({"wrap", "--", "game", "0"}, env_);
    Running second({"wrap", "--", "game", "0"}, env_);
    const std::string waiting = "Waiting for another backup to end...\n";
    ASSERT_TRUE(first.WaitForError(waiting)) << first.Err();
    ASSERT_TRUE(second.WaitForError(waiting)) << second.Err();
    EXPECT_TRUE(Sets().empty());
    other.Unlock();

    EXPECT_EQ(first.Finish(), 0);
    EXPECT_EQ(second.Finish(), 0);
    ASSERT_EQ(Sets().size(), 1u);
    // One of them backed up the change; the other found it backed up.
    const std::string made = Replaced(kSaid, Sets()[0]), none = "Nothing found to backup!\n";
    const std::string both = first.Err() + second.Err();
    EXPECT_TRUE(both == waiting + made + waiting + none || both == waiting + none + waiting + made)
        << both;
}

// SIGTERM reaches the game, not the wrapper: the game saves on its way out,
// and that save is backed up.
TEST_F(WrapTest, PassesSigtermToTheGameAndStillBacksUp) {
    Running wrap({"wrap", "--", "quitter"}, env_);
    for (int i = 0; i < 400 && !testenv::Exists(testenv::Scratch() + "/playing"); ++i)
        QThread::msleep(25);
    ASSERT_TRUE(testenv::Exists(testenv::Scratch() + "/playing"));
    wrap.Signal(SIGTERM);
    EXPECT_EQ(wrap.Finish(), 3) << wrap.Err();
    ASSERT_EQ(Sets().size(), 1u);
    EXPECT_EQ(testenv::ReadFile(backupDir + Sets()[0] + "/characters.lpl"), "saved on quit");
}

TEST_F(WrapTest, TellsTheBackupInADesktopNotification) {
    if (std::string(MF_DBUS_DAEMON).empty())
        GTEST_SKIP() << "dbus-daemon is not installed";
    testenv::PrivateBus bus;
    ASSERT_FALSE(bus.Address().isEmpty());
    testenv::FakeNotifications notifications;
    ASSERT_TRUE(notifications.Serve(bus.Address(), "notifications"));
    env_.insert("DBUS_SESSION_BUS_ADDRESS", bus.Address());

    ASSERT_EQ(Cli({"wrap", "--", "game", "0"}).exitCode, 0);
    ASSERT_EQ(Sets().size(), 1u);
    // The notifier is not waited for: its call comes when it comes.
    QElapsedTimer clock;
    clock.start();
    while (notifications.Calls.isEmpty() && clock.elapsed() < 15000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const std::string description = Description(Sets()[0]);
    EXPECT_EQ(notifications.Calls, QStringList{QString::fromStdString(
                                       "Moonforge Backup Tool|" + Replaced(kBackedUp, Sets()[0]) +
                                       "|" + description.substr(0, description.size() - 2))});
    QDBusConnection::disconnectFromBus("notifications");
}
