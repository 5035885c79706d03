// The whole system on loopback, as an operator runs it: a scratch directory
// with VELDRUM.INI, KVR.ini, lmhosts, a data directory and an SQLite index,
// `stationsim` and `veldrum` as child processes, and readers for what they
// leave behind: the operation log, the ring files and the index rows.
#pragma once

#include <gtest/gtest.h>
#include <iconv.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tests/recorder/support.h"

extern char** environ;

namespace system_run {

using recorder_test::exists;
using recorder_test::read_file;

inline std::string bin(const std::string& name) {
    return std::string(VELDRUM_BINARY_DIR) + "/bin/" + name;
}

// A TCP port on loopback that nobody listens on just now.
inline int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// The body of GET path on a loopback port, "" when nothing answers.
inline std::string http_get(int port, const std::string& path) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    std::string reply;
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nConnection: close\r\n\r\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    const size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

// A station name no other test process uses: NetBIOS names are claimed
// host-wide, and ctest runs test processes side by side.
inline std::string unique_station(char prefix) {
    static int counter = 0;
    const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned v = static_cast<unsigned>(getpid()) * 37u + static_cast<unsigned>(counter++);
    std::string name(1, prefix);
    for (int i = 0; i < 4; ++i, v /= 36) name += digits[v % 36];
    return name;
}

inline std::string cp1251_to_utf8(const std::string& in) {
    iconv_t cd = iconv_open("UTF-8", "CP1251");
    if (cd == reinterpret_cast<iconv_t>(-1)) return in;
    std::string out(in.size() * 2 + 16, '\0');
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    char* dst = out.data();
    size_t dst_left = out.size();
    iconv(cd, &src, &src_left, &dst, &dst_left);
    iconv_close(cd);
    out.resize(out.size() - dst_left);
    return out;
}

// A child process with its stdout and stderr in one file.
struct Child {
    pid_t pid = -1;
    std::string output;  // path of the captured output

    bool running() const { return pid > 0; }

    // Exit code, 128+signal when killed, or -1 when it did not end within
    // timeout_ms (it is then killed).
    int wait(int timeout_ms) {
        if (pid <= 0) return -1;
        for (int waited = 0;; waited += 20) {
            int status = 0;
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                pid = -1;
                if (WIFEXITED(status)) return WEXITSTATUS(status);
                return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
            }
            if (waited >= timeout_ms) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                pid = -1;
                return -1;
            }
            usleep(20000);
        }
    }
    int stop(int timeout_ms) {
        if (pid > 0) kill(pid, SIGTERM);
        return wait(timeout_ms);
    }
    std::string text() const { return read_file(output); }
};

inline Child spawn(const std::vector<std::string>& args, const std::string& cwd,
                   const std::vector<std::string>& env_extra, const std::string& output) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string v = *e;
        bool replaced = false;
        for (const std::string& x : env_extra)
            replaced = replaced || v.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0;
        if (!replaced) env.push_back(v);
    }
    env.insert(env.end(), env_extra.begin(), env_extra.end());
    std::vector<char*> argv, envp;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    Child c;
    c.output = output;
    if (posix_spawn(&c.pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) c.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return c;
}

// One ring file as read back from the data directory.
struct RingFile {
    std::string relative;  // "<hour>/<name>"
    std::string header;    // the 512 header bytes up to the first NUL
    std::string channel;
    double sps = 0;
    long long start = 0;   // epoch seconds of the first sample
    long long duration = 0;
    std::vector<uint16_t> samples;
};

inline bool parse_ring_header(RingFile* f) {
    int h = 0, m = 0, s = 0, day = 0, mon = 0, year = 0, dh = 0, dm = 0, ds = 0;
    const char* t = f->header.c_str();
    const char* p;
    if (!(p = strstr(t, "Start time=")) || sscanf(p, "Start time=%d %d %d", &h, &m, &s) != 3) return false;
    if (!(p = strstr(t, "Start date=")) || sscanf(p, "Start date=%d %d %d", &day, &mon, &year) != 3)
        return false;
    if (!(p = strstr(t, "Time duration=")) || sscanf(p, "Time duration=%d %d %d", &dh, &dm, &ds) != 3)
        return false;
    if (!(p = strstr(t, "SpS=")) || sscanf(p, "SpS=%lf", &f->sps) != 1) return false;
    if (!(p = strstr(t, "Channels=\""))) return false;
    p += 10;
    const char* q = strchr(p, '"');
    if (!q) return false;
    f->channel.assign(p, q);
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = day;
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = s;
    f->start = timegm(&tm);
    f->duration = dh * 3600LL + dm * 60 + ds;
    return true;
}

// Every ring file under the data directory, sorted by channel and start.
inline std::vector<RingFile> ring_files(const std::string& data_dir) {
    std::vector<RingFile> files;
    for (int hour = 0; hour < 24; ++hour) {
        std::string dir = data_dir + "/" + std::to_string(hour);
        DIR* d = opendir(dir.c_str());
        if (!d) continue;
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            RingFile f;
            f.relative = std::to_string(hour) + "/" + e->d_name;
            std::string bytes = read_file(dir + "/" + e->d_name);
            if (bytes.size() >= 512) {
                f.header.assign(bytes.c_str(), strnlen(bytes.c_str(), 512));
                for (size_t i = 512; i + 1 < bytes.size(); i += 2)
                    f.samples.push_back(static_cast<uint16_t>(static_cast<uint8_t>(bytes[i]) |
                                                              static_cast<uint8_t>(bytes[i + 1]) << 8));
            }
            parse_ring_header(&f);
            files.push_back(std::move(f));
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end(), [](const RingFile& a, const RingFile& b) {
        return a.channel != b.channel ? a.channel < b.channel : a.start < b.start;
    });
    return files;
}

// Samples of one channel by whole second: second -> the samples of that
// second, from every file; a second found twice is listed in `repeated`.
struct ChannelSeconds {
    std::map<long long, std::vector<uint16_t>> by_second;
    std::vector<long long> repeated;
};

inline ChannelSeconds seconds_of(const std::vector<RingFile>& files, const std::string& channel) {
    ChannelSeconds out;
    for (const RingFile& f : files) {
        if (f.channel != channel || f.sps < 1) continue;
        const size_t per = static_cast<size_t>(f.sps);
        for (size_t i = 0; i + per <= f.samples.size(); i += per) {
            long long t = f.start + static_cast<long long>(i / per);
            if (out.by_second.count(t)) out.repeated.push_back(t);
            out.by_second[t].assign(f.samples.begin() + i, f.samples.begin() + i + per);
        }
    }
    return out;
}

// A scratch station: its directory, INI files, index, and the two programs.
class Station {
public:
    std::string name;  // station name, also the NetBIOS name's first part
    std::string dir;
    std::string data_dir;
    std::string log_dir;
    int sim_port = 0;
    std::string dsn = "KVR";  // the SQLite one; set another before start_veldrum
    std::map<std::string, std::string> veldrum_keys;  // [VELDRUM] keys beside LOG
    std::map<std::string, std::string> station_keys;  // [<name>] keys beside LANA
    std::vector<std::string> wrapper;  // runs veldrum under it (argv before veldrum's own)
    std::string program = "veldrum";   // "veldrum-test" reads test hooks from extra_env
    std::vector<std::string> extra_env;
    Child sim;
    Child server;

    explicit Station(char prefix = 'T') : name(unique_station(prefix)) {
        char pattern[] = "/tmp/veldrum-system-XXXXXX";
        const char* d = mkdtemp(pattern);
        dir = d ? d : "";
        data_dir = dir + "/data";
        log_dir = dir + "/log";
        mkdir(data_dir.c_str(), 0755);
        sim_port = free_port();
        veldrum_keys["HTTP"] = "0";
        make_index();
    }
    ~Station() {
        server.stop(20000);
        sim.stop(5000);
        if (!getenv("VELDRUM_KEEP_SCRATCH") && dir.rfind("/tmp/veldrum-system-", 0) == 0) {
            std::string command = "rm -rf '" + dir + "'";
            int rc = system(command.c_str());
            (void)rc;
        }
    }
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // What veldrum's environment adds: the index's ODBC files, and WINDIR
    // for KVR.ini and the lmhosts file beside it.
    std::vector<std::string> env() const {
        std::vector<std::string> e = {"ODBCINI=" + dir + "/odbc.ini", "ODBCSYSINI=" + dir,
                                      "WINDIR=" + dir};
        e.insert(e.end(), extra_env.begin(), extra_env.end());
        return e;
    }

    // Starts the simulator with the given options beside --station/--port.
    void start_sim(std::vector<std::string> options) {
        std::vector<std::string> args = {bin("stationsim"), "--station", name, "--port",
                                         std::to_string(sim_port)};
        args.insert(args.end(), options.begin(), options.end());
        sim = spawn(args, dir, {}, dir + "/stationsim.out");
        ASSERT_TRUE(sim.running());
        // Ready once it prints its listening line.
        for (int i = 0; i < 250 && sim.text().find("stationsim: ") == std::string::npos; ++i)
            usleep(20000);
    }
    int stop_sim() { return sim.stop(5000); }

    // Writes the INI files and starts veldrum with the given arguments.
    void start_veldrum(std::vector<std::string> arguments = {}) {
        write_ini();
        std::vector<std::string> args = {bin(program), name};
        if (dsn != "KVR") args.push_back("ODBC=" + dsn);
        args.insert(args.end(), arguments.begin(), arguments.end());
        args.insert(args.begin(), wrapper.begin(), wrapper.end());
        server = spawn(args, dir, env(), dir + "/veldrum.out");
        ASSERT_TRUE(server.running());
    }
    int stop_veldrum(int timeout_ms = 30000) { return server.stop(timeout_ms); }

    void write_ini() const {
        std::string ini = "[VELDRUM]\r\nLOG=" + log_dir + "\r\n";
        for (const auto& [k, v] : veldrum_keys) ini += k + "=" + v + "\r\n";
        ini += "[" + name + "]\r\n";
        if (!station_keys.count("LANA")) ini += "LANA=0\r\n";
        for (const auto& [k, v] : station_keys) ini += k + "=" + v + "\r\n";
        write(dir + "/VELDRUM.INI", ini);
        write(dir + "/KVR.ini", "[DATA]\r\nDIR=" + data_dir + "\r\n");
        write(dir + "/lmhosts", "127.0.0.1:" + std::to_string(sim_port) + " " + name + ".DCH.SRV\n");
    }

    // The operation log of every day so far, in UTF-8.
    std::string log() const {
        std::string all;
        DIR* d = opendir(log_dir.c_str());
        if (!d) return all;
        std::vector<std::string> names;
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
        std::sort(names.begin(), names.end());
        for (const std::string& n : names) all += read_file(log_dir + "/" + n);
        return cp1251_to_utf8(all);
    }
    size_t log_count(const std::string& text) const {
        std::string l = log();
        size_t n = 0;
        for (size_t at = l.find(text); at != std::string::npos; at = l.find(text, at + 1)) ++n;
        return n;
    }
    // Waits until the log holds `text` at least `times` times.
    bool wait_log(const std::string& text, int timeout_ms, size_t times = 1) const {
        for (int waited = 0; waited <= timeout_ms; waited += 100) {
            if (log_count(text) >= times) return true;
            usleep(100000);
        }
        return false;
    }
    // Waits until the simulator's output holds `text` at least `times` times.
    bool wait_sim(const std::string& text, int timeout_ms, size_t times = 1) const {
        for (int waited = 0; waited <= timeout_ms; waited += 50) {
            std::string out = sim.text();
            size_t n = 0;
            for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
            if (n >= times) return true;
            usleep(50000);
        }
        return false;
    }

    std::vector<RingFile> files() const { return ring_files(data_dir); }

    // Uses the other station's index (its SQLite file, or the same DSN).
    void share_index_of(const Station& other) {
        write(dir + "/odbc.ini", read_file(other.dir + "/odbc.ini"));
        write(dir + "/odbcinst.ini", read_file(other.dir + "/odbcinst.ini"));
        dsn = other.dsn;
    }

    // Rows of a query against the station's index, columns joined by '|'.
    std::vector<std::string> rows(const std::string& sql) const {
        std::string old_ini = getenv("ODBCINI") ? getenv("ODBCINI") : "";
        std::string old_sys = getenv("ODBCSYSINI") ? getenv("ODBCSYSINI") : "";
        setenv("ODBCINI", (dir + "/odbc.ini").c_str(), 1);
        setenv("ODBCSYSINI", dir.c_str(), 1);
        std::vector<std::string> r = recorder_test::query(dsn, sql);
        setenv("ODBCINI", old_ini.c_str(), 1);
        setenv("ODBCSYSINI", old_sys.c_str(), 1);
        return r;
    }

private:
    static void write(const std::string& path, const std::string& text) {
        FILE* f = fopen(path.c_str(), "wb");
        if (!f) return;
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }

    // The SQLite "KVR" in the scratch directory, with the data sources of the
    // ODBCINI this process was given (the PostgreSQL one of the test run)
    // copied beside it.
    void make_index() {
        const char* given = getenv("ODBCINI");
        std::string original = given ? read_file(given) : "";
        std::string command = std::string("sh '") + VELDRUM_SOURCE_DIR + "/db/make-sqlite-dsn.sh' '" +
                              dir + "' > /dev/null";
        if (system(command.c_str()) != 0) ADD_FAILURE() << "make-sqlite-dsn.sh failed";
        std::string ini = read_file(dir + "/odbc.ini");
        std::istringstream lines(original);
        std::string line;
        bool skip = false;
        while (std::getline(lines, line)) {
            if (!line.empty() && line[0] == '[') skip = line.rfind("[KVR]", 0) == 0;
            if (!skip) ini += line + "\n";
        }
        write(dir + "/odbc.ini", ini);
    }
};

// The PostgreSQL data source of the test run, or "" when there is none.
inline std::string postgres_dsn() {
    const char* dsn = getenv("VELDRUM_TEST_PG_DSN");
    return dsn ? dsn : "";
}

// CPU time (utime + stime, in clock ticks) that process pid has used so
// far, or -1 when it cannot be read.
inline long cpu_ticks(pid_t pid) {
    std::string s = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t close_paren = s.rfind(')');
    if (close_paren == std::string::npos) return -1;
    std::istringstream fields(s.substr(close_paren + 2));
    std::string f;
    long utime = -1, stime = -1;
    // After the name: state is field 3, utime 14 and stime 15 (1-based).
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::atol(f.c_str());
        if (i == 15) stime = std::atol(f.c_str());
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

}  // namespace system_run
