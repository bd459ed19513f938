#pragma once

// pkzip.exe run as the backup program runs it: a separate process in a chosen
// folder, with Info-ZIP and Python's zipfile as the independent judges of the
// zip files it writes and as the makers of the ones it reads. What the
// archiver's tests share: running it and the judges, and scratch files.

#include "common/run_program.h"
#include "common/test_env.h"

#include <QCoreApplication>
#include <QProcess>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testenv::Listing;
using testenv::ReadFile;
using testenv::WriteFile;

using Result = testenv::Outcome;
using Args = std::vector<std::string>;

inline Result RunProgram(const std::string& program, const Args& args, const std::string& cwd) {
    QStringList list;
    for (const std::string& a : args)
        list << QString::fromStdString(a);
    return testenv::RunProgram(QString::fromStdString(program), list, QString::fromStdString(cwd),
                               QProcessEnvironment::systemEnvironment(), 60000);
}

inline Result Pkzip(const Args& args, const std::string& cwd) {
    return RunProgram(QCoreApplication::applicationDirPath().toStdString() + "/pkzip.exe", args,
                      cwd);
}

// Runs a python3 script with `args` as sys.argv[1:]; it must succeed.
inline std::string Python(const char* script, const Args& args, const std::string& cwd) {
    Args all{"-c", script};
    all.insert(all.end(), args.begin(), args.end());
    Result r = RunProgram("python3", all, cwd);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
}

inline std::string Folder(const std::string& name) {
    std::string path = testenv::Scratch() + "/" + name;
    fs::create_directories(path);
    return path;
}

inline time_t Mtime(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mtime;
}

inline void SetMtime(const std::string& path, time_t t) {
    const timespec times[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

inline time_t LocalTime(int year, int mon, int day, int hour, int min, int sec) {
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

inline std::string RandomBytes(std::size_t n) {
    std::mt19937 gen(42);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen());
    return s;
}

inline std::string Text(std::size_t lines) {
    std::string s;
    for (std::size_t i = 0; i < lines; ++i)
        s += "line " + std::to_string(i) + " of a save file\r\n";
    return s;
}

// A failure: non-zero exit, nothing on standard output, exactly one line on
// standard error that contains `part`.
inline void ExpectFailure(const Result& r, int code, const std::string& part) {
    EXPECT_EQ(r.exitCode, code);
    EXPECT_TRUE(r.out.empty()) << r.out;
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
    EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
}
