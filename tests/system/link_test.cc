// The station link end to end: veldrum against stationsim on loopback,
// through the NetBIOS provider and an lmhosts file, as an operator runs it.
#include <sys/resource.h>

#include <atomic>
#include <functional>
#include <thread>

#include "tests/system/system_run.h"

namespace {

using system_run::Station;

// Runs meanwhile() with process pid out of descriptors, as under a flood of
// connections: a number seen free twice in a row goes above the limit.
void without_descriptors(pid_t pid, const std::function<void()>& meanwhile) {
    rlimit old{};
    prlimit(pid, RLIMIT_NOFILE, nullptr, &old);
    std::atomic<bool> stop{false};
    std::thread tighten([&] {
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
        rlimit none = old;
        for (rlim_t seen = old.rlim_cur; !stop; usleep(5000)) {
            rlim_t n = 0;
            while (system_run::exists(fds + std::to_string(n))) ++n;
            if (n == seen && n < none.rlim_cur) {
                none.rlim_cur = n;
                prlimit(pid, RLIMIT_NOFILE, &none, nullptr);
            }
            seen = n;
        }
    });
    meanwhile();
    stop = true;
    tighten.join();
    prlimit(pid, RLIMIT_NOFILE, &old, nullptr);
}

// Whether the channel has a recorded second after t, waiting up to 15 s.
bool recorded_after(const Station& s, const std::string& channel, long long t) {
    for (int i = 0; i < 150; ++i, usleep(100000))
        for (const auto& f : s.files())
            if (f.channel == channel && f.sps >= 1 && f.start + f.samples.size() / f.sps > t + 1)
                return true;
    return false;
}

TEST(StationLink, FindsAndRegainsTheStationByItselfEvenWhenDescriptorsRunOut) {
    Station s('L');
    const std::vector<std::string> sim = {"--channels", "SHZ:100:0,SHN:20:0", "--realtime"};
    s.start_veldrum({"FLUSH=5"});
    // An absent station: every failed call is the same text, and repeat
    // suppression keeps it to one line for as long as no other comes between.
    ASSERT_TRUE(s.wait_log("#Код ошибки Netbios: 20#", 10000)) << s.log();
    ASSERT_TRUE(s.wait_log("#БД подключена#", 10000)) << s.log();
    sleep(1);
    const size_t failed_calls = s.log_count("#Код ошибки Netbios: ");
    sleep(3);
    EXPECT_EQ(s.log_count("#Код ошибки Netbios: "), failed_calls) << s.log();
    s.start_sim(sim);
    ASSERT_TRUE(s.wait_log("#Станция подключена#", 15000)) << s.log();
    // Receiving needs no descriptor; a session left open on a failure would
    // keep the station from answering any later call.
    without_descriptors(s.server.pid, [] { sleep(3); });
    EXPECT_TRUE(recorded_after(s, "SHZ", time(nullptr))) << s.log();

    s.stop_sim();
    ASSERT_TRUE(s.wait_log("#Станция отключена#", 10000)) << s.log();
    ASSERT_TRUE(s.wait_log("#Код ошибки Netbios: 20#", 10000, 2)) << s.log();
    // Calls fail for want of a descriptor, and the log still hears of it.
    without_descriptors(s.server.pid, [&] {
        s.start_sim(sim);
        EXPECT_TRUE(s.wait_log("#Код ошибки Netbios: 9#", 10000)) << s.log();
        EXPECT_EQ(s.log_count("#Станция подключена#"), 1u);
    });
    EXPECT_TRUE(s.wait_log("#Станция подключена#", 15000, 2)) << s.log();
    // Both announced channels: the roster came from the announcement.
    const long long back = time(nullptr);
    EXPECT_TRUE(recorded_after(s, "SHZ", back) && recorded_after(s, "SHN", back)) << s.log();
    EXPECT_EQ(s.stop_veldrum(), 0);
}

// A silent station is dropped at the receive time-out (shortened to 2 s
// here), called again, and recorded again once it speaks.
TEST(StationLink, SilentStationIsHungUpAndCalledAgain) {
    Station s('S');
    s.program = "veldrum-test";
    s.extra_env = {"VELDRUM_TEST_RECEIVE_TIMEOUT=4"};
    s.start_sim({"--channels", "SHZ:100:0", "--realtime", "--silence-every", "3:6"});
    s.start_veldrum({"FLUSH=5"});
    ASSERT_TRUE(s.wait_log("#Станция подключена#", 10000)) << s.log();
    ASSERT_TRUE(s.wait_log("#Код ошибки Netbios: 5#", 15000)) << s.log();
    ASSERT_TRUE(s.wait_log("#Станция отключена#", 5000)) << s.log();
    ASSERT_TRUE(s.wait_log("#Станция подключена#", 15000, 2)) << s.log();
    EXPECT_TRUE(recorded_after(s, "SHZ", time(nullptr))) << s.log();
    EXPECT_EQ(s.stop_veldrum(), 0);
}

// Stopping while the station still holds the session, again and again: the
// last completion and the threads it starts end before the process does.
TEST(StationLink, RepeatedStopsWithTheSessionOpenRaceNothing) {
    const char* given = getenv("VELDRUM_STOP_REPEATS");
    const int repeats = given ? std::atoi(given) : 3;
    Station s('Q');
    s.start_sim({"--channels", "SHZ:100:0,SHN:100:0,SHE:100:0,SHX:50:0,LHZ:20:0,LHN:20:0,LHE:20:0,EHZ:200:0",
                 "--realtime"});
    for (int i = 1; i <= repeats; ++i) {
        s.start_veldrum({"FLUSH=5"});
        ASSERT_TRUE(s.wait_log("#Станция подключена#", 15000, i)) << s.log();
        sleep(1);
        ASSERT_EQ(s.stop_veldrum(), 0) << "stop " << i << "\n" << s.server.text();
    }
}

// Settings that would fail silently later are said once at start, on stderr
// and in the log when there is one; the server runs all the same.
TEST(StationLink, UnusableSettingsAreSaidAtStart) {
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len);
    const std::string port = std::to_string(ntohs(a.sin_port));

    struct Case {
        std::map<std::string, std::string> keys;
        std::vector<std::string> args;
        bool log_is_a_file;
        std::vector<std::string> said;  // in stderr, and in the log where there is one
    };
    const std::vector<Case> cases = {
        {{{"HTTP", "bogus"}}, {"SPORT=70000", "DATA=/dev/null"}, false,
         {"Неверное значение HTTP: bogus", "Неверное значение SPORT: 70000",
          "Каталог данных недоступен: /dev/null"}},
        {{{"HTTP", "127.0.0.1:" + port}}, {"SPORT=" + port}, true,
         {"Каталог журнала недоступен: ", "Страница состояния: нет доступа к 127.0.0.1:" + port,
          "Сервер LISS: нет доступа к порту " + port}},
    };
    for (const Case& c : cases) {
        Station s('U');
        for (const auto& [k, v] : c.keys) s.veldrum_keys[k] = v;
        if (c.log_is_a_file) {
            FILE* f = fopen(s.log_dir.c_str(), "w");
            ASSERT_NE(f, nullptr);
            fclose(f);
        }
        s.start_veldrum(c.args);
        for (const std::string& text : c.said) {
            bool seen = false;
            for (int i = 0; i < 100 && !seen; ++i, usleep(100000))
                seen = s.server.text().find(text) != std::string::npos;
            EXPECT_TRUE(seen) << text << "\n" << s.server.text();
            if (!c.log_is_a_file) {
                EXPECT_TRUE(s.wait_log("#" + text + "#", 2000)) << text << "\n" << s.log();
            }
        }
        EXPECT_EQ(s.stop_veldrum(), 0);
    }
    close(taken);
}

TEST(StationLink, SecondInstanceAndMissingAdapterStopAtStart) {
    Station s('D');
    s.start_sim({"--channels", "SHZ:50:0", "--realtime"});
    s.start_veldrum();
    ASSERT_TRUE(s.wait_log("#START#", 10000));

    system_run::Child second = system_run::spawn(
        {system_run::bin("veldrum"), s.name}, s.dir, s.env(), s.dir + "/second.out");
    EXPECT_EQ(second.wait(20000), 255);
    EXPECT_NE(second.text().find("Ошибка выделения имени в системе Netbios"), std::string::npos)
        << second.text();
    EXPECT_EQ(s.stop_veldrum(), 0);

    s.station_keys["LANA"] = "7";
    s.write_ini();
    system_run::Child no_adapter = system_run::spawn(
        {system_run::bin("veldrum"), s.name}, s.dir, s.env(), s.dir + "/lana.out");
    EXPECT_EQ(no_adapter.wait(20000), 254);
    EXPECT_NE(no_adapter.text().find("Ошибка инициализации Netbios"), std::string::npos)
        << no_adapter.text();
}

}  // namespace
