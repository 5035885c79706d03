// The station link end to end: veldrum against stationsim on loopback,
// through the NetBIOS provider and an lmhosts file, as an operator runs it.
#include "tests/system/system_run.h"

namespace {

using system_run::Station;

// Seconds of data the veldrum index holds for a channel, from its rows.
long long indexed_seconds(const Station& s, const std::string& channel) {
    auto r = s.rows("select sum(tqty) from filelist where ch='" + channel + "'");
    return r.empty() || r[0] == "NULL" ? 0 : std::atoll(r[0].c_str());
}

TEST(StationLink, ConnectsLosesAndRegainsTheStationWithoutHelp) {
    Station s('L');
    s.start_sim({"--channels", "SHZ:100:0,SHN:20:0", "--realtime"});
    s.start_veldrum({"FLUSH=5"});
    ASSERT_TRUE(s.wait_log("#Станция подключена#", 10000)) << s.log();

    // The simulator going away is seen, logged with its code, and the link
    // comes back by itself when the station does.
    s.stop_sim();
    ASSERT_TRUE(s.wait_log("#Станция отключена#", 10000)) << s.log();
    EXPECT_NE(s.log().find("#Код ошибки Netbios: "), std::string::npos);
    s.start_sim({"--channels", "SHZ:100:0,SHN:20:0", "--realtime"});
    ASSERT_TRUE(s.wait_log("#Станция подключена#", 15000, 2)) << s.log();
    sleep(2);
    EXPECT_EQ(s.stop_veldrum(), 0);

    // Both announced channels were recorded: the roster came from the
    // announcement and the blocks were queued.
    EXPECT_GT(indexed_seconds(s, "SHZ"), 0);
    EXPECT_GT(indexed_seconds(s, "SHN"), 0);
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
    const long long before = indexed_seconds(s, "SHZ");
    sleep(8);
    EXPECT_EQ(s.stop_veldrum(), 0);
    EXPECT_GT(indexed_seconds(s, "SHZ"), before) << s.log();
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

TEST(StationLink, AbsentStationIsCalledUntilItAppears) {
    Station s('A');
    s.start_veldrum({"FLUSH=5"});
    // Every failed call is the same text, and repeat suppression keeps it to
    // one line for as long as no other line comes between.
    ASSERT_TRUE(s.wait_log("#Код ошибки Netbios: ", 10000)) << s.log();
    ASSERT_TRUE(s.wait_log("#БД подключена#", 10000)) << s.log();
    sleep(1);
    const size_t before = s.log_count("#Код ошибки Netbios: ");
    sleep(3);
    EXPECT_EQ(s.log_count("#Код ошибки Netbios: "), before) << s.log();
    s.start_sim({"--channels", "SHZ:50:0", "--realtime"});
    EXPECT_TRUE(s.wait_log("#Станция подключена#", 15000)) << s.log();
    EXPECT_EQ(s.stop_veldrum(), 0);
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
