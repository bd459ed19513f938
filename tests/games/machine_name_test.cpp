#include "games/machine_name.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <pwd.h>
#include <unistd.h>

using namespace games;

namespace {

constexpr const char* kKey = "System\\CurrentControlSet\\Control\\ComputerName\\ComputerName";

std::string Reg(const std::string& values) {
    return "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n"
           "[System\\\\CurrentControlSet\\\\Control\\\\ComputerName\\\\ActiveComputerName] "
           "1700000000\n\"ComputerName\"=\"ACTIVE\"\n\n"
           "[System\\\\CurrentControlSet\\\\Control\\\\ComputerName\\\\ComputerName] "
           "1700000000\n#time=1da1b2c3d4e5f60\n" +
           values + "\n[Software\\\\Other] 1700000000\n\"ComputerName\"=\"OTHER\"\n";
}

} // namespace

TEST(SystemReg, DecodesEscapedStringsUnderTheRightKey) {
    const auto r = FindRegistryString(Reg(R"("Other"=dword:00000001)"
                                          "\n"
                                          R"("ComputerName"="MY\\PC \"1\" caf\x00e9\x1f600")"),
                                      kKey, "computername");
    ASSERT_EQ(r.Result, RegistryString::Found);
    // \x takes at most four hex digits: "\x1f600" is U+1F60 then "0".
    EXPECT_EQ(r.Value, "MY\\PC \"1\" caf\xc3\xa9\xe1\xbd\xa0"
                       "0");
    // The key may be given as the file writes it, in any case.
    EXPECT_EQ(FindRegistryString(Reg(R"("ComputerName"="X")"),
                                 "SYSTEM\\\\currentcontrolset\\\\Control\\\\ComputerName\\\\"
                                 "ComputerName",
                                 "ComputerName")
                  .Value,
              "X");
    EXPECT_EQ(FindRegistryString(Reg(R"("ComputerName"=str(2):"EXP")"), kKey, "ComputerName").Value,
              "EXP");
    // The C escapes, and octal code units.
    EXPECT_EQ(
        FindRegistryString(Reg(R"("ComputerName"="a\tb\ec\101\q")"), kKey, "ComputerName").Value,
        "a\tb\x1b"
        "cAq");
}

TEST(SystemReg, OtherTypesAreWrongTypeAndAbsenceIsMissing) {
    for (const auto& [text, result] :
         {std::pair{Reg(R"("ComputerName"=dword:0000002a)"), RegistryString::WrongType},
          {Reg(R"("ComputerName"=hex:48,00,49,00)"), RegistryString::WrongType},
          {Reg(R"("Name"="X")"), RegistryString::Missing},
          {std::string(), RegistryString::Missing},
          {std::string("[System\\\\Broken"), RegistryString::Missing}})
        EXPECT_EQ(FindRegistryString(text, kKey, "ComputerName").Result, result) << text;
}

TEST(SystemReg, ReadsThePrefixFileAndFallsBackToTheHostName) {
    EXPECT_EQ(WinePrefix(), testenv::WinePrefix());
    EXPECT_EQ(ReadComputerNameValue().Result, RegistryString::Missing); // no system.reg yet
    testenv::WriteFile(testenv::WinePrefix() + "/system.reg", Reg(R"("ComputerName"="GAMEBOX")"));
    const auto r = ReadComputerNameValue();
    EXPECT_EQ(r.Result, RegistryString::Found);
    EXPECT_EQ(r.Value, "GAMEBOX");

    ::setenv("WINEPREFIX", "", 1);
    EXPECT_EQ(WinePrefix(), testenv::Home() + "/.wine");
    // Without HOME the password database gives the home folder.
    ::unsetenv("HOME");
    const passwd* pw = ::getpwuid(::getuid());
    ASSERT_NE(pw, nullptr);
    const std::string home = pw->pw_dir;
    EXPECT_EQ(platform::HomeDirectory(), home);
    EXPECT_EQ(WinePrefix(), (home == "/" ? "" : home) + "/.wine");
    ::setenv("HOME", testenv::Home().c_str(), 1);

    EXPECT_EQ(WineComputerNameFromHost("my-host.example.org"), "MY-HOST");
    EXPECT_EQ(WineComputerNameFromHost("averyveryverylonghostname"), "AVERYVERYVERYLO");
    EXPECT_EQ(WineComputerNameFromHost("a b+c\xc3\xa9~{x}"), "A_B_C__{X}");
    EXPECT_FALSE(HostComputerName().empty());
}
