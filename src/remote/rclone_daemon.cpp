#include "remote/rclone_daemon.h"

#include "platform/capture.h"
#include "platform/last_error.h"
#include "platform/loopback_socket.h"
#include "platform/paths.h"

#include <QJsonDocument>
#include <QJsonValue>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace remote {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::chrono::seconds kStartLimit{10}; // for rcd to serve
constexpr milliseconds kQuitGrace{2000};
constexpr milliseconds kJobStopGrace{5000};
constexpr milliseconds kLongestPoll{20}; // a job's end seen late costs the command
constexpr std::size_t kMaxAnswer = std::size_t(256) << 20; // a listing of a million files
constexpr std::size_t kMaxQuoted = 300;                    // characters of rclone's words
constexpr std::string_view kServing = "Serving remote control on http://127.0.0.1:";

// Calls that move files, run as jobs so that their progress can be watched.
bool MovesFiles(std::string_view method) {
    return method.substr(0, 5) == "sync/" || method == "operations/copyfile" ||
           method == "operations/movefile";
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The daemon's environment: the user's, without what would move its address,
// change its authentication or send its log elsewhere; and its password,
// which no other user can read there (the command line they can).
std::vector<std::string> DaemonEnvironment(const std::string& user, const std::string& pass) {
    std::vector<std::string> environment;
    for (std::string& variable : platform::Environment()) {
        const std::string_view name = std::string_view(variable).substr(0, variable.find('='));
        if (StartsWith(name, "RCLONE_RC_") || StartsWith(name, "RCLONE_LOG_") ||
            name == "RCLONE_VERBOSE" || name == "RCLONE_QUIET" || name == "RCLONE_USE_JSON_LOG" ||
            StartsWith(name, "RCLONE_SYSLOG"))
            continue;
        environment.push_back(std::move(variable));
    }
    environment.push_back("RCLONE_RC_USER=" + user);
    environment.push_back("RCLONE_RC_PASS=" + pass);
    return environment;
}

std::vector<std::string> DaemonArguments(const std::string& configFile) {
    std::vector<std::string> args{"rcd", "--rc-addr=127.0.0.1:0", "--ask-password=false",
                                  "--log-level=NOTICE"};
    // A connection given up after 20 s, a request no byte moves for after
    // 45 s, a failed request tried 3 times, unless the user says otherwise.
    static const char* const bounds[][2] = {{"RCLONE_CONTIMEOUT", "--contimeout=20s"},
                                            {"RCLONE_TIMEOUT", "--timeout=45s"},
                                            {"RCLONE_LOW_LEVEL_RETRIES", "--low-level-retries=3"}};
    for (const auto& [variable, flag] : bounds)
        if (!std::getenv(variable))
            args.push_back(flag);
    if (!configFile.empty())
        args.insert(args.end(), {"--config", configFile});
    return args;
}

// The port in rcd's "Serving remote control on http://127.0.0.1:PORT/"; 0
// while that line is not there.
int ServedPort(const std::string& log) {
    const std::size_t at = log.find(kServing);
    if (at == std::string::npos)
        return 0;
    int port = 0;
    for (std::size_t i = at + kServing.size();
         i < log.size() && std::isdigit(static_cast<unsigned char>(log[i])); ++i)
        port = port * 10 + (log[i] - '0');
    return port > 0 && port < 65536 ? port : 0;
}

// The words worth quoting of a log, short and printable.
std::string Quoted(std::string_view words) {
    return platform::PrintableText(HideSecrets(words).substr(0, kMaxQuoted));
}

// The first error rclone logged in `log` that says more than `error`: the
// file or request that failed. Its own line repeating the failed call is no
// news.
std::string FirstLoggedError(const std::string& log, const std::string& error) {
    for (std::size_t pos = 0; pos < log.size();) {
        std::size_t end = log.find('\n', pos);
        if (end == std::string::npos)
            end = log.size();
        const std::string_view line = std::string_view(log).substr(pos, end - pos);
        pos = end + 1;
        const std::size_t at = line.find("ERROR : ");
        if (at == std::string_view::npos)
            continue;
        const std::string_view words = line.substr(at + 8);
        if (!StartsWith(words, "rc: \"") && words != error)
            return std::string(words);
    }
    return {};
}

// "rclone METHOD" and the remote paths it works on, for messages.
std::string Describe(const std::string& method, const QJsonObject& params) {
    std::string what = "rclone " + method;
    for (const auto& [fs, path] :
         {std::pair{"fs", "remote"}, {"srcFs", "srcRemote"}, {"dstFs", "dstRemote"}})
        if (params.contains(fs))
            what += " " + JoinRemote(params.value(fs).toString().toStdString(),
                                     params.value(path).toString().toStdString());
    return Quoted(what);
}

// What shows a job moving: the counts of its statistics group.
std::string ProgressOf(const QJsonObject& stats) {
    std::string mark;
    for (const char* key : {"bytes", "checks", "transfers", "errors", "deletes", "renames",
                            "totalBytes", "totalChecks", "totalTransfers"})
        mark += std::to_string(stats.value(key).toInteger()) + ' ';
    return mark;
}

struct HttpAnswer {
    int Code = 0;
    std::string Body;
};

// A chunked body (Go's server sends one for an answer of more than 4 KiB).
bool Unchunk(std::string_view raw, std::string& body) {
    body.clear();
    for (;;) {
        const std::size_t end = raw.find("\r\n");
        if (end == std::string_view::npos)
            return false;
        std::size_t size = 0;
        std::size_t i = 0;
        for (; i < end && std::isxdigit(static_cast<unsigned char>(raw[i])); ++i) {
            if (size > (std::size_t(1) << 40))
                return false;
            size = size * 16 + static_cast<std::size_t>(raw[i] <= '9' ? raw[i] - '0'
                                                                      : (raw[i] | 0x20) - 'a' + 10);
        }
        if (i == 0)
            return false;
        if (size == 0)
            return true;
        raw.remove_prefix(end + 2);
        if (raw.size() < size + 2)
            return false;
        body.append(raw.substr(0, size));
        raw.remove_prefix(size + 2);
    }
}

// An HTTP/1.1 answer read to the connection's close.
bool ParseAnswer(std::string_view raw, HttpAnswer& answer) {
    const std::size_t headerEnd = raw.find("\r\n\r\n");
    if (headerEnd == std::string_view::npos || !StartsWith(raw, "HTTP/1.") || raw.size() < 12)
        return false;
    answer.Code = std::atoi(std::string(raw.substr(9, 3)).c_str());
    std::string headers(raw.substr(0, headerEnd + 2));
    std::transform(headers.begin(), headers.end(), headers.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::string_view rest = raw.substr(headerEnd + 4);
    if (headers.find("\r\ntransfer-encoding: chunked\r\n") != std::string::npos)
        return Unchunk(rest, answer.Body);
    const std::size_t length = headers.find("\r\ncontent-length: ");
    if (length != std::string::npos) {
        const std::size_t size = std::strtoull(headers.c_str() + length + 18, nullptr, 10);
        if (rest.size() < size)
            return false;
        answer.Body = rest.substr(0, size);
        return true;
    }
    answer.Body = rest;
    return true;
}

// One POST over its own connection: 0 or the errno of what failed.
int Exchange(int port, const std::string& request, Clock::time_point deadline, HttpAnswer& answer) {
    platform::LoopbackSocket socket;
    std::string raw;
    if (const int err = socket.Connect(port, deadline))
        return err;
    if (const int err = socket.SendAll(request, deadline))
        return err;
    if (const int err = socket.ReceiveAll(raw, kMaxAnswer, deadline))
        return err;
    return ParseAnswer(raw, answer) ? 0 : EPROTO;
}

} // namespace

RcloneDaemon::~RcloneDaemon() {
    Stop();
}

Status RcloneDaemon::Start(std::string configFile) {
    Stop();
    const std::string program = platform::FindOnPath("rclone");
    if (program.empty())
        return {Status::NoRclone, 0,
                "rclone is not installed (Debian package rclone): no rclone on PATH"};
    if (const char* stall = std::getenv("MFBACKUP_RCLONE_STALL_SECONDS"))
        stall_ = std::chrono::seconds(std::clamp(std::atoi(stall), 1, 86400));
    const std::string user = platform::RandomHex(16);
    const std::string pass = platform::RandomHex(32);
    if (user.empty() || pass.empty())
        return {Status::RcloneFailed, -1,
                "no password for rclone rcd: " +
                    platform::SysErrorMessage(platform::GetLastError())};
    if (!process_.Start(program, DaemonArguments(configFile), DaemonEnvironment(user, pass)))
        return {Status::NoRclone, -1,
                "cannot start " + program + ": " +
                    platform::SysErrorMessage(platform::GetLastError())};
    authorization_ =
        "Basic " + QByteArray::fromStdString(user + ":" + pass).toBase64().toStdString();

    const Clock::time_point until = Clock::now() + kStartLimit;
    while ((port_ = ServedPort(process_.Output())) == 0) {
        const bool ended = !process_.Running();
        if (ended || Clock::now() >= until) {
            const std::string log = process_.Output();
            Stop();
            std::string last = log.substr(0, log.find_last_not_of("\n") + 1);
            last = last.substr(last.find_last_of('\n') + 1);
            return {Status::RcloneFailed, -1,
                    "rclone rcd " +
                        std::string(ended ? "ended"
                                          : "did not serve in " +
                                                std::to_string(kStartLimit.count()) + " s") +
                        ": " + (last.empty() ? "no message" : Quoted(last))};
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    return {};
}

void RcloneDaemon::Stop() {
    process_.Stop(kQuitGrace);
    port_ = 0;
}

Status RcloneDaemon::Failed(const std::string& what, int code, const std::string& words,
                            std::size_t logFrom) const {
    const std::string logged = FirstLoggedError(process_.Output(logFrom), words);
    return {Status::RcloneFailed, code,
            what + " failed: " + Quoted(words.empty() ? "no message" : words) +
                (logged.empty() || words.find(logged) != std::string::npos
                     ? ""
                     : " (" + Quoted(logged) + ")")};
}

Status RcloneDaemon::Post(const std::string& method, const QJsonObject& params, QJsonObject& out,
                          Deadline deadline) {
    const std::size_t logFrom = process_.OutputSize();
    const std::string body = QJsonDocument(params).toJson(QJsonDocument::Compact).toStdString();
    const std::string request =
        "POST /" + method + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
        "\r\nAuthorization: " + authorization_ +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    HttpAnswer answer;
    const int err = port_ == 0 ? ECONNREFUSED : Exchange(port_, request, deadline, answer);
    const std::string what = Describe(method, params);
    if (err == ETIMEDOUT)
        return {Status::RcloneFailed, -1,
                what + " gave no answer in " + std::to_string(stall_.count()) + " s"};
    if (err != 0)
        return {Status::RcloneFailed, -1,
                "rclone rcd did not answer " + method + ": " + std::strerror(err)};
    if (answer.Code == 401)
        return {Status::RcloneFailed, 401, "rclone rcd refused this program's password"};
    QJsonParseError error;
    const QJsonDocument json =
        QJsonDocument::fromJson(QByteArray::fromStdString(answer.Body), &error);
    if (error.error != QJsonParseError::NoError || !json.isObject())
        return Status::Refuse(what + " answered with no JSON object (HTTP status " +
                              std::to_string(answer.Code) + ")");
    out = json.object();
    if (answer.Code == 200)
        return {};
    return Failed(what, out.value("status").toInt(answer.Code),
                  out.value("error").toString().toStdString(), logFrom);
}

Status RcloneDaemon::Call(const std::string& method, const QJsonObject& params, QJsonObject& out) {
    out = QJsonObject();
    if (method.empty() || method.find_first_of(" \r\n") != std::string::npos)
        return {Status::RcloneFailed, 400, "not an rclone method: " + Quoted(method)};
    if (MovesFiles(method))
        return RunJob(method, params, out);
    return Post(method, params, out, Clock::now() + stall_);
}

Status RcloneDaemon::RunJob(const std::string& method, const QJsonObject& params,
                            QJsonObject& out) {
    const std::size_t logFrom = process_.OutputSize();
    const std::string what = Describe(method, params);
    QJsonObject async = params;
    async.insert("_async", true);
    QJsonObject started;
    Status status = Post(method, async, started, Clock::now() + stall_);
    if (!status.Good())
        return status;
    const qint64 id = started.value("jobid").toInteger(-1);
    if (id < 0)
        return Status::Refuse(what + " started no job");

    const QJsonObject ask{{"jobid", id}};
    const QJsonObject group{{"group", "job/" + QString::number(id)}};
    std::string mark;
    Clock::time_point moved = Clock::now();
    Clock::time_point looked = moved;
    milliseconds wait(1);
    for (;;) {
        std::this_thread::sleep_for(wait);
        wait = std::min(wait * 2, kLongestPoll);
        QJsonObject job;
        if (!(status = Post("job/status", ask, job, Clock::now() + stall_)).Good())
            return status;
        if (job.value("finished").toBool()) {
            if (job.value("success").toBool()) {
                out = job.value("output").toObject();
                return {};
            }
            return Failed(what, 500, job.value("error").toString().toStdString(), logFrom);
        }
        const Clock::time_point now = Clock::now();
        if (now - looked < std::min<Clock::duration>(stall_ / 4, std::chrono::seconds(1)))
            continue;
        looked = now;
        QJsonObject stats;
        if (!(status = Post("core/stats", group, stats, now + stall_)).Good())
            return status;
        if (std::string progress = ProgressOf(stats); progress != mark) {
            mark = std::move(progress);
            moved = now;
        } else if (now - moved >= stall_) {
            StopJob(id);
            const std::string logged = FirstLoggedError(process_.Output(logFrom), {});
            return {Status::RcloneFailed, -1,
                    what + " was stopped: no progress for " + std::to_string(stall_.count()) +
                        " s" + (logged.empty() ? "" : " (" + Quoted(logged) + ")")};
        }
    }
}

void RcloneDaemon::StopJob(qint64 id) {
    const QJsonObject ask{{"jobid", id}};
    QJsonObject ignored;
    const Clock::time_point until = Clock::now() + kJobStopGrace;
    if (!Post("job/stop", ask, ignored, until).Good())
        return;
    while (Clock::now() < until) {
        QJsonObject job;
        if (!Post("job/status", ask, job, until).Good() || job.value("finished").toBool())
            return;
        std::this_thread::sleep_for(milliseconds(20));
    }
}

} // namespace remote
