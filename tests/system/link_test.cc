// The station link end to end: veldrum against stationsim on loopback,
// through the NetBIOS provider and an lmhosts file, as an operator runs it.
#include <httplib.h>
#include <sys/resource.h>

#include <atomic>
#include <thread>

#include "tests/system/system_run.h"

namespace {

using namespace system_run;

// Runs meanwhile() with process pid out of descriptors, as under a flood of
// connections: a number seen free twice in a row goes above the limit.
void without_descriptors(pid_t pid, const std::function<void()>& meanwhile) {
    rlimit old{};
    prlimit(pid, RLIMIT_NOFILE, nullptr, &old);
    std::atomic<bool> stop{false};
    std::thread tighten([&] {
        rlimit none = old;
        for (rlim_t seen = old.rlim_cur, n; !stop; seen = n, usleep(5000)) {
            for (n = 0; exists("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(n));) ++n;
            if (n == seen && n < none.rlim_cur) none.rlim_cur = n;
            if (n == seen) prlimit(pid, RLIMIT_NOFILE, &none, nullptr);
        }
    });
    meanwhile();
    stop = true;
    tighten.join();
    prlimit(pid, RLIMIT_NOFILE, &old, nullptr);
}

// Whether the channel gets a recorded second after now, waiting up to 30 s.
bool recorded_from_now(const Station& s, const std::string& channel) {
    const long long now = time(nullptr);
    return wait_until(
        [&] {
            for (const RingFile& f : s.files())
                if (f.channel == channel && f.start + f.seconds() > now + 1) return true;
            return false;
        },
        30000);
}

// The station is absent, then found, then lost and found again while the
// process is out of descriptors, and comes back with other channels, among
// them names that cannot stand in a path and a repeated one: the new set is
// recorded without a restart, the refused ones touch nothing, and the page
// lists the new set.
TEST(StationLink, FindsAndRegainsTheStationByItselfEvenWhenDescriptorsRunOut) {
    Station s('L');
    const int http = free_port();
    s.veldrum_keys["HTTP"] = "127.0.0.1:" + std::to_string(http);
    s.start_veldrum({"FLUSH=5"});
    // Every failed call is the same text, and repeat suppression keeps it to
    // one line while no other comes between.
    ASSERT_TRUE(s.wait_log("#Код ошибки Netbios: 20#", 10000)) << s.log();
    ASSERT_TRUE(s.wait_log("#БД подключена#", 10000)) << s.log();
    sleep(1);
    const size_t failed_calls = s.log_count("#Код ошибки Netbios: ");
    sleep(3);
    EXPECT_EQ(s.log_count("#Код ошибки Netbios: "), failed_calls) << s.log();
    s.start_sim({"--channels", "SHZ:100:0,SHN:20:0", "--realtime"});
    ASSERT_TRUE(s.wait_log("#Станция подключена#", 15000)) << s.log();
    // Receiving needs no descriptor; a session left open on a failure would
    // keep the station from answering any later call.
    without_descriptors(s.server.pid, [] { sleep(3); });
    EXPECT_TRUE(recorded_from_now(s, "SHN")) << s.log();
    s.stop_sim();
    ASSERT_TRUE(s.wait_log("#Станция отключена#", 10000)) << s.log();
    ASSERT_TRUE(s.wait_log("#Код ошибки Netbios: 20#", 10000, 2)) << s.log();
    // Calls fail for want of a descriptor, and the log still hears of it.
    without_descriptors(s.server.pid, [&] {
        s.start_sim(
            {"--channels", "SHZ:100:0,BHZ:50:0,../X:50:0,BHZ:20:0,B\nZ:20:0", "--realtime"});
        EXPECT_TRUE(s.wait_log("#Код ошибки Netbios: 9#", 10000)) << s.log();
        EXPECT_EQ(s.log_count("#Станция подключена#"), 1u);
    });
    EXPECT_TRUE(s.wait_log("#Станция подключена#", 15000, 2)) << s.log();
    for (const char* line : {"#Состав каналов станции изменился#",
                             "#Канал 2: недопустимое имя, канал не записывается#",
                             "#Канал 3: имя повторяется, канал не записывается#",
                             "#Канал 4: недопустимое имя, канал не записывается#"})
        EXPECT_TRUE(s.wait_log(line, 5000)) << line << "\n" << s.log();
    EXPECT_TRUE(recorded_from_now(s, "SHZ") && recorded_from_now(s, "BHZ")) << s.log();
    const auto page = httplib::Client("127.0.0.1", http).Get("/api/status");
    ASSERT_TRUE(page);
    EXPECT_TRUE(count(page->body, "\"name\":\"BHZ\"") > 0 && count(page->body, "\"SHN\"") == 0)
        << page->body;
    EXPECT_EQ(s.stop_veldrum(), 0);
    const std::vector<RingFile> files = s.files();
    expect_rows_match(s, files);
    for (const RingFile& f : files)
        EXPECT_TRUE(f.channel == "SHZ" || f.channel == "SHN" || f.channel == "BHZ") << f.relative;
    EXPECT_FALSE(exists(s.dir + "/X." + s.name.substr(0, 3))) << "outside the data directory";
}

// A silent station is dropped at the receive time-out (shortened to 4 s
// here), called again, and recorded again once it speaks.
TEST(StationLink, SilentStationIsHungUpAndCalledAgain) {
    Station s('S');
    s.program = "veldrum-test";
    s.env.push_back("VELDRUM_TEST_RECEIVE_TIMEOUT=4");
    s.start_sim({"--channels", "SHZ:100:0", "--realtime", "--silence-every", "3:6"});
    s.start_veldrum({"FLUSH=5"});
    for (const char* line :
         {"#Станция подключена#", "#Код ошибки Netbios: 5#", "#Станция отключена#"})
        ASSERT_TRUE(s.wait_log(line, 15000)) << line << "\n" << s.log();
    ASSERT_TRUE(s.wait_log("#Станция подключена#", 15000, 2)) << s.log();
    EXPECT_TRUE(recorded_from_now(s, "SHZ")) << s.log();
    EXPECT_EQ(s.stop_veldrum(), 0);
}

// Stopping while the station still holds the session, again and again: the
// last completion and the threads it starts end before the process does.
TEST(StationLink, RepeatedStopsWithTheSessionOpenRaceNothing) {
    Station s('Q');
    s.start_sim({"--channels",
                 "SHZ:100:0,SHN:100:0,SHE:100:0,SHX:50:0,LHZ:20:0,LHN:20:0,"
                 "LHE:20:0,EHZ:200:0",
                 "--realtime"});
    const char* repeats = getenv("VELDRUM_STOP_REPEATS");
    for (int i = 1; i <= (repeats ? atoi(repeats) : 3); ++i) {
        s.start_veldrum({"FLUSH=5"});
        ASSERT_TRUE(s.wait_log("#Станция подключена#", 15000, i)) << s.log();
        sleep(1);
        ASSERT_EQ(s.stop_veldrum(), 0) << "stop " << i << "\n" << s.server.text();
    }
}

// Settings that would fail silently later are said once at start, on stderr
// and in the log when there is one, and the server runs all the same; a
// second instance and a missing adapter stop it at start.
TEST(StationLink, StartUpFaultsAreSaid) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    const std::string port = std::to_string(liss_client::local_port(listener));
    struct Case {
        std::string http, lana;
        std::vector<std::string> args;
        bool log_is_a_file;
        int exit_code;                  // -1: runs until stopped, and a second instance fails
        std::vector<std::string> said;  // on stderr, and in the log where there is one
    } const cases[] = {
        {"bogus",
         "0",
         {"SPORT=70000", "DATA=/dev/null"},
         false,
         -1,
         {"Неверное значение HTTP: bogus", "Неверное значение SPORT: 70000",
          "Каталог данных недоступен: /dev/null"}},
        {"127.0.0.1:" + port,
         "0",
         {"SPORT=" + port},
         true,
         -1,
         {"Каталог журнала недоступен: ", "Страница состояния: нет доступа к 127.0.0.1:" + port,
          "Сервер LISS: нет доступа к порту " + port}},
        {"0", "7", {}, true, 254, {"Ошибка инициализации Netbios"}},
    };
    for (const Case& c : cases) {
        Station s('U');
        s.veldrum_keys["HTTP"] = c.http;
        s.station_keys["LANA"] = c.lana;
        if (c.log_is_a_file) Station::write(s.log_dir, "");
        s.start_veldrum(c.args);
        for (const std::string& text : c.said) {
            EXPECT_TRUE(wait_until([&] { return count(s.server.text(), text) > 0; }, 10000))
                << text << "\n"
                << s.server.text();
            EXPECT_TRUE(c.log_is_a_file || s.wait_log("#" + text + "#", 2000)) << s.log();
        }
        if (c.exit_code >= 0) {
            EXPECT_EQ(s.server.wait(20000), c.exit_code);
            continue;
        }
        Child second = spawn(s.command("veldrum"), s.dir, s.dir + "/second.out");
        EXPECT_EQ(second.wait(20000), 255);
        EXPECT_GT(count(second.text(), "Ошибка выделения имени в системе Netbios"), 0u)
            << second.text();
        EXPECT_EQ(s.stop_veldrum(), 0);
    }
    close(listener);
}

}  // namespace
