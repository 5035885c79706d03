// The whole system on loopback: a scratch station, stationsim and veldrum as
// child processes, and readers for the log, the ring files and the index.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "tests/recorder/support.h"
#include "tests/seed/liss_client.h"
#include "tools/stationsim/signal.h"

extern char** environ;

namespace system_run {

using liss_client::free_port;
using recorder_test::exists;
using recorder_test::read_file;

inline std::string bin(const std::string& name) { return VELDRUM_BINARY_DIR "/bin/" + name; }

inline bool wait_until(const std::function<bool()>& done, int timeout_ms) {
    for (int waited = 0; !done(); waited += 100, usleep(100000))
        if (waited >= timeout_ms) return false;
    return true;
}

inline size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// What a shell command writes on stdout.
inline std::string sh(const std::string& command) {
    std::string out;
    char buffer[4096];
    FILE* p = popen(command.c_str(), "r");
    for (size_t n; p && (n = fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    if (p) pclose(p);
    return out;
}

struct Child {  // its stdout and stderr in one file
    pid_t pid = -1;
    std::string output;
    // Exit code, 128+signal when killed, -1 when it outlives timeout_ms (then killed).
    int wait(int timeout_ms) {
        int status = 0;
        const bool ended =
            pid > 0 &&
            wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms);
        if (!ended && pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, &status, 0);
        pid = -1;
        return !ended ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int stop(int timeout_ms) {
        if (pid > 0) kill(pid, SIGTERM);
        return wait(timeout_ms);
    }
    std::string text() const { return read_file(output); }
};

inline Child spawn(std::vector<std::string> args, const std::string& cwd,
                   const std::string& output) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    Child c{-1, output};
    if (posix_spawn(&c.pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) c.pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return c;
}

// A ring file read back: "<hour>/<name>", header, fields and samples.
struct RingFile {
    std::string relative, header, channel;
    double sps = 0;
    long long start = 0, duration = 0;
    std::vector<uint16_t> samples;
    long long seconds() const { return sps >= 1 ? samples.size() / size_t(sps) : 0; }
};

// Every second of a channel once and as the simulator sent its signal
// `index` from start; with count, exactly those from start.
inline void expect_channel(const std::vector<RingFile>& files, const std::string& channel, int rate,
                           int index, long long start, long long count = 0, uint32_t seed = 1) {
    std::set<long long> found;
    std::vector<long long> repeated, wrong;
    for (const RingFile& f : files)
        for (size_t i = 0; f.channel == channel && i + rate <= f.samples.size(); i += rate) {
            const long long t = f.start + i / rate;
            if (!found.insert(t).second) repeated.push_back(t);
            bool same = t >= start && f.sps == rate;
            for (int k = 0; same && k < rate; ++k)
                same = f.samples[i + k] ==
                       stationsim::signal_sample(seed, index, (t - start) * rate + k);
            if (!same) wrong.push_back(t);
        }
    EXPECT_TRUE(repeated.empty() && wrong.empty() &&
                (count == 0 || (found.size() == size_t(count) && *found.begin() == start &&
                                *found.rbegin() == start + count - 1)))
        << channel << ": " << found.size() << " seconds, " << repeated.size() << " twice, "
        << wrong.size() << " wrong, the first " << (wrong.empty() ? 0 : wrong[0]);
}

// A scratch station: its directory, INI files, index, and the two programs.
struct Station {
    std::string name, dir, data_dir, log_dir;
    int sim_port = free_port();
    std::string dsn = "KVR";  // the SQLite one; set another before start_veldrum
    std::map<std::string, std::string> veldrum_keys{{"HTTP", "0"}}, station_keys{{"LANA", "0"}};
    std::vector<std::string> env;     // veldrum's: the index's ODBC files, WINDIR for KVR.ini
    std::string program = "veldrum";  // "veldrum-test" reads test hooks from its environment
    Child sim, server;

    // NetBIOS names are host-wide and ctest runs tests side by side.
    explicit Station(char prefix) : name(1, prefix) {
        static unsigned counter = 0;
        for (unsigned i = 0, v = getpid() * 37u + counter++; i < 4; ++i, v /= 36)
            name += "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"[v % 36];
        dir = recorder_test::make_temp_dir(), data_dir = dir + "/data", log_dir = dir + "/log";
        env = {"ODBCINI=" + dir + "/odbc.ini", "ODBCSYSINI=" + dir, "WINDIR=" + dir};
        mkdir(data_dir.c_str(), 0755);
        EXPECT_TRUE(recorder_test::make_index(dir));
    }
    ~Station() {
        server.stop(20000);
        sim.stop(5000);
        if (!getenv("VELDRUM_KEEP_SCRATCH")) std::filesystem::remove_all(dir);
    }
    static void write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }

    std::vector<std::string> command(const std::string& program) const {
        std::vector<std::string> args = {"/usr/bin/env"};
        args.insert(args.end(), env.begin(), env.end());
        args.insert(args.end(), {bin(program), name});
        return args;
    }
    void start_sim(const std::vector<std::string>& options) {
        std::vector<std::string> args = {bin("stationsim"), "--station", name, "--port",
                                         std::to_string(sim_port)};
        args.insert(args.end(), options.begin(), options.end());
        sim = spawn(args, dir, dir + "/stationsim.out");
        wait_sim("stationsim: ", 5000);  // its listening line
    }
    void start_veldrum(const std::vector<std::string>& arguments = {}) {
        std::string ini = "[VELDRUM]\r\nLOG=" + log_dir + "\r\n";
        for (const auto& [k, v] : veldrum_keys) ini += k + "=" + v + "\r\n";
        ini += "[" + name + "]\r\n";
        for (const auto& [k, v] : station_keys) ini += k + "=" + v + "\r\n";
        write(dir + "/VELDRUM.INI", ini);
        write(dir + "/KVR.ini", "[DATA]\r\nDIR=" + data_dir + "\r\n");
        write(dir + "/lmhosts",
              "127.0.0.1:" + std::to_string(sim_port) + " " + name + ".DCH.SRV\n");
        std::vector<std::string> args = command(program);
        if (dsn != "KVR") args.push_back("ODBC=" + dsn);
        args.insert(args.end(), arguments.begin(), arguments.end());
        server = spawn(args, dir, dir + "/veldrum.out");
    }
    int stop_veldrum(int timeout_ms = 30000) { return server.stop(timeout_ms); }

    std::string log() const {
        return sh("cat '" + log_dir + "'/* 2>/dev/null | iconv -f CP1251 -t UTF-8");
    }
    size_t log_count(const std::string& text) const { return count(log(), text); }
    bool wait_log(const std::string& text, int timeout_ms, size_t times = 1) const {
        return wait_until([&] { return log_count(text) >= times; }, timeout_ms);
    }
    bool wait_sim(const std::string& text, int timeout_ms) const {
        return wait_until([&] { return count(sim.text(), text) > 0; }, timeout_ms);
    }
    // Every ring file, sorted by channel and start.
    std::vector<RingFile> files() const {
        std::vector<RingFile> files;
        std::error_code ec;
        for (int hour = 0; hour < 24; ++hour)
            for (const auto& e :
                 std::filesystem::directory_iterator(data_dir + "/" + std::to_string(hour), ec)) {
                RingFile& f = files.emplace_back();
                f.relative = std::to_string(hour) + "/" + e.path().filename().string();
                const std::string bytes = read_file(e.path());
                f.header = bytes.substr(0, 512);
                for (size_t i = 512; i + 1 < bytes.size(); i += 2)
                    f.samples.push_back(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8);
                tm t{};
                int h = 0, m = 0, s = 0;
                char channel[16] = "";
                sscanf(f.header.c_str(),
                       "[KVR2.0] Data offset=512 Start time=%d %d %d Start date=%d %d %d Time "
                       "duration=%d %d %d Data Type=SHORT SpS=%lf Gain=%*d Station=%*s "
                       "Channels=\"%15[^\"]",
                       &t.tm_hour, &t.tm_min, &t.tm_sec, &t.tm_mday, &t.tm_mon, &t.tm_year, &h, &m,
                       &s, &f.sps, channel);
                t.tm_mon -= 1, t.tm_year -= 1900;
                f.start = timegm(&t), f.duration = h * 3600LL + m * 60 + s, f.channel = channel;
            }
        std::ranges::sort(files, {},
                          [](const RingFile& f) { return std::tie(f.channel, f.start); });
        return files;
    }
    // Columns joined by '|'.
    std::vector<std::string> rows(const std::string& sql) const {
        // unixODBC keeps the first ODBCSYSINI: one that outlives every station.
        static const std::string drivers = recorder_test::index_dir();
        setenv("ODBCINI", (dir + "/odbc.ini").c_str(), 1);
        setenv("ODBCSYSINI", drivers.c_str(), 1);
        return recorder_test::query(dsn, sql);
    }
    std::string own() const {
        return " from filelist where sta='" + name + "' and creater='VELDRUM'";
    }
    long long number(const std::string& sql) const {
        const std::vector<std::string> r = rows(sql);
        return r.empty() ? 0 : atoll(r[0].c_str());
    }
};

// Files and rows one for one, each row describing its file.
inline void expect_rows_match(const Station& s, const std::vector<RingFile>& files) {
    std::multiset<std::string> want, got;
    for (const RingFile& f : files) {
        EXPECT_EQ(f.samples.size(), size_t(f.seconds() * f.sps)) << f.relative;
        want.insert(f.relative + "|" + std::to_string(f.start) + "|" + std::to_string(f.seconds()) +
                    "|" + std::to_string(int(f.sps)) + "|" + f.channel + "|5");
    }
    for (const std::string& r : s.rows("select cpath,tbegin,tqty,sps,ch,datatype" + s.own()))
        got.insert(r);
    EXPECT_EQ(got, want);
}

}  // namespace system_run
