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
