// The station link end to end, through the NetBIOS provider and lmhosts.
#include <httplib.h>
#include <sys/resource.h>

#include <atomic>
#include <thread>

#include "tests/system/system_run.h"

namespace {

using namespace system_run;

// Runs meanwhile() with process pid out of descriptors: a number seen free
// twice in a row goes above the limit.
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

// Whether each channel gets a recorded second after now, waiting up to 30 s.
bool recorded_from_now(const Station& s, std::set<std::string> channels) {
    const long long now = time(nullptr);
    auto recorded = [&] {
        for (const RingFile& f : s.files())
            if (f.start + f.seconds() > now + 1) channels.erase(f.channel);
        return channels.empty();
    };
    return wait_until(recorded, 30000);
}

// The station absent, found, lost and found again without descriptors, back
// with other channels (some refused) and falling silent now and then: the
// new set is recorded and listed without a restart, a silent station is hung
// up at the receive time-out (4 s here) and called again.
TEST(StationLink, FindsAndRegainsTheStationByItselfEvenWhenDescriptorsRunOut) {
    Station s('L');
    const int http = free_port();
    s.veldrum_keys["HTTP"] = "127.0.0.1:" + std::to_string(http);
    s.program = "veldrum-test";
    s.env.push_back("VELDRUM_TEST_RECEIVE_TIMEOUT=4");
    s.start_veldrum({"FLUSH=5"});
    // Repeat suppression keeps the same failed call to one line.
    ASSERT_TRUE(s.wait_log("#Код ошибки Netbios: 20#", 10000) &&
                s.wait_log("#БД подключена#", 10000))
        << s.log();
    sleep(1);
    const size_t failed_calls = s.log_count("#Код ошибки Netbios: ");
    sleep(3);
    EXPECT_EQ(s.log_count("#Код ошибки Netbios: "), failed_calls) << s.log();
    s.start_sim({"--channels", "SHZ:100:0,SHN:20:0", "--realtime"});
    ASSERT_TRUE(s.wait_log("#Станция подключена#", 15000)) << s.log();
    // Receiving needs none; a session left open would block later calls.
    without_descriptors(s.server.pid, [] { sleep(3); });
    EXPECT_TRUE(recorded_from_now(s, {"SHN"})) << s.log();
    s.sim.stop(5000);
    ASSERT_TRUE(s.wait_log("#Станция отключена#", 10000) &&
                s.wait_log("#Код ошибки Netbios: 20#", 10000, 2))
        << s.log();
    // Calls fail for want of a descriptor, and the log still hears of it.
    without_descriptors(s.server.pid, [&] {
        s.start_sim({"--channels", "SHZ:100:0,BHZ:50:0,../X:50:0,BHZ:20:0,B\nZ:20:0", "--realtime",
                     "--silence-every", "8:6"});
        EXPECT_TRUE(s.wait_log("#Код ошибки Netbios: 9#", 10000)) << s.log();
        EXPECT_EQ(s.log_count("#Станция подключена#"), 1u);
    });
    for (const char* line :
         {"#Станция подключена#", "#Состав каналов станции изменился#",
          "#Канал 2: недопустимое имя, канал не записывается#",
          "#Канал 3: имя повторяется, канал не записывается#",
          "#Канал 4: недопустимое имя, канал не записывается#", "#Код ошибки Netbios: 5#"})
        EXPECT_TRUE(s.wait_log(line, 20000)) << line << "\n" << s.log();
    EXPECT_TRUE(s.wait_log("#Станция подключена#", 20000, 3)) << s.log();
    EXPECT_TRUE(recorded_from_now(s, {"SHZ", "BHZ"})) << s.log();
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

// The last completion and its threads end before the process does.
TEST(StationLink, RepeatedStopsWithTheSessionOpenRaceNothing) {
    Station s('Q');
    s.start_sim({"--realtime", "--channels",
                 "SHZ:100:0,SHN:100:0,SHE:100:0,SHX:50:0,LHZ:20:0,LHN:20:0,LHE:20:0,EHZ:200:0"});
    const char* repeats = getenv("VELDRUM_STOP_REPEATS");
    for (int i = 1; i <= (repeats ? atoi(repeats) : 3); ++i) {
        s.start_veldrum({"FLUSH=5"});
        ASSERT_TRUE(s.wait_log("#Станция подключена#", 15000, i)) << s.log();
        sleep(1);
        ASSERT_EQ(s.stop_veldrum(), 0) << "stop " << i << "\n" << s.server.text();
    }
}

// Bad settings are said at start, on stderr and in the log, and the server
// runs; a second instance and a missing adapter stop at start.
TEST(StationLink, StartUpFaultsAreSaid) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    const std::string port = std::to_string(liss_client::local_port(listener));
    // exit_code -1: it runs, and a second instance beside it stops at start.
    auto run = [&](const std::string& http, const std::string& lana,
                   const std::vector<std::string>& args, bool log_is_a_file, int exit_code,
                   const std::vector<std::string>& said) {
        Station s('U');
        s.veldrum_keys["HTTP"] = http, s.station_keys["LANA"] = lana;
        if (log_is_a_file) Station::write(s.log_dir, "");
        s.start_veldrum(args);
        for (const std::string& text : said) {
            EXPECT_TRUE(wait_until([&] { return count(s.server.text(), text) > 0; }, 10000))
                << text + "\n" + s.server.text();
            EXPECT_TRUE(log_is_a_file || s.wait_log("#" + text + "#", 2000)) << s.log();
        }
        EXPECT_EQ(exit_code >= 0 ? s.server.wait(20000) : -1, exit_code);
        if (exit_code >= 0) return;
        Child second = spawn(s.command("veldrum"), s.dir, s.dir + "/second.out");
        EXPECT_EQ(second.wait(20000), 255);
        EXPECT_GT(count(second.text(), "Ошибка выделения имени в системе Netbios"), 0u)
            << second.text();
        EXPECT_EQ(s.stop_veldrum(), 0);
    };
    run("bogus", "0", {"SPORT=70000", "DATA=/dev/null"}, false, -1,
        {"Неверное значение HTTP: bogus", "Неверное значение SPORT: 70000",
         "Каталог данных недоступен: /dev/null"});
    run("127.0.0.1:" + port, "0", {"SPORT=" + port}, true, -1,
        {"Каталог журнала недоступен: ", "Страница состояния: нет доступа к 127.0.0.1:" + port,
         "Сервер LISS: нет доступа к порту " + port});
    run("0", "7", {}, true, 254, {"Ошибка инициализации Netbios"});
    close(listener);
}

}  // namespace
