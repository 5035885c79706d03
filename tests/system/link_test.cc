// The station link end to end: veldrum against stationsim on loopback,
// through the NetBIOS provider and an lmhosts file, as an operator runs it.
#include <sys/resource.h>

#include <atomic>
#include <thread>

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

// Keeps process pid out of descriptors while it lives, as a flood of
// connections does: a number seen free twice in a row goes above the limit.
class NoDescriptors {
public:
    explicit NoDescriptors(pid_t pid) : pid_(pid) {
        prlimit(pid_, RLIMIT_NOFILE, nullptr, &old_);
        thread_ = std::thread([this] {
            for (int seen = -1, limit = static_cast<int>(old_.rlim_cur); !stop_; usleep(5000)) {
                int n = 0;
                while (system_run::exists("/proc/" + std::to_string(pid_) + "/fd/" + std::to_string(n))) ++n;
                if (n == seen && n < limit) {
                    rlimit none = old_;
                    none.rlim_cur = limit = n;
                    prlimit(pid_, RLIMIT_NOFILE, &none, nullptr);
                }
                seen = n;
            }
        });
    }
    ~NoDescriptors() {
        stop_ = true;
        thread_.join();
        prlimit(pid_, RLIMIT_NOFILE, &old_, nullptr);
    }

private:
    pid_t pid_;
    rlimit old_{};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Whether SHZ has a recorded second after t, waiting up to 15 s.
bool recorded_after(const Station& s, long long t) {
    for (int i = 0; i < 150; ++i, usleep(100000))
        for (const auto& f : s.files())
            if (f.channel == "SHZ" && f.start + static_cast<long long>(f.samples.size() / 100) > t + 1)
                return true;
    return false;
}

TEST(StationLink, ComesBackByItselfWhenDescriptorsAreFreeAgain) {
    Station s('F');
    const std::vector<std::string> sim = {"--channels", "SHZ:100:0", "--realtime"};
    s.start_sim(sim);
    s.start_veldrum({"FLUSH=5"});
    ASSERT_TRUE(s.wait_log("#Станция подключена#", 10000)) << s.log();
    {
        // Receiving needs no descriptor; a session left open on a failure
        // would keep the station from answering any later call.
        NoDescriptors none(s.server.pid);
        sleep(3);
    }
    EXPECT_TRUE(recorded_after(s, time(nullptr))) << s.log();

    s.stop_sim();
    ASSERT_TRUE(s.wait_log("#Код ошибки Netbios: 20#", 10000)) << s.log();
    {
        // Calls fail for want of a descriptor, and the log still hears of it.
        NoDescriptors none(s.server.pid);
        s.start_sim(sim);
        EXPECT_TRUE(s.wait_log("#Код ошибки Netbios: 9#", 10000)) << s.log();
        EXPECT_EQ(s.log_count("#Станция подключена#"), 1u);
    }
    EXPECT_TRUE(s.wait_log("#Станция подключена#", 15000, 2)) << s.log();
    EXPECT_TRUE(recorded_after(s, time(nullptr))) << s.log();
    EXPECT_EQ(s.stop_veldrum(), 0);
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
