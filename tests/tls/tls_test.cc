// HTTPS and SeedLink over TLS for curl, Node's tls and seisplotjs over wss://
// (the ws package), trusting a test CA made with the openssl command line,
// while a client stalls in the handshake on both TLS ports; another CA's
// certificate refused; SIGHUP's reload; no certificate: plain ports only.
#include <signal.h>

#include <cmath>

#include "fdsn/fdsn_request.h"
#include "tests/seed/mseed_check.h"
#include "tests/system/system_run.h"

namespace {

using namespace system_run;
using std::to_string;

// DIR/caN.pem, and DIR/serverN.pem and .key that it signs for 127.0.0.1.
void make_certificates(const std::string& dir, int n) {
    const std::string ca = "ca" + to_string(n), sv = "server" + to_string(n),
                      ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ";
    const std::string run =
        "cd '" + dir + "' && echo subjectAltName=IP:127.0.0.1 > san && " + "openssl req -x509" +
        ec + ca + ".key -out " + ca + ".pem -subj /CN=CA" + to_string(n) + " && openssl req" + ec +
        sv + ".key -out " + sv + ".csr -subj /CN=localhost && openssl x509 -req -in " + sv +
        ".csr -CA " + ca + ".pem -CAkey " + ca + ".key -extfile san -out " + sv + ".pem";
    ASSERT_EQ(system(("(" + run + ") >/dev/null 2>&1").c_str()), 0) << run;
}

const char* const given_modules = std::getenv("VELDRUM_NODE_MODULES");
const std::string modules = given_modules ? given_modules : VELDRUM_BINARY_DIR "/node/node_modules";

std::string node(const std::string& ca, const std::string& args) {
    return sh("node --no-warnings " VELDRUM_SOURCE_DIR "/tests/tls/tls_clients.mjs '" + ca + "' '" +
              modules + "' " + args + " 2>/dev/null");
}

TEST(Tls, OthersClientsWhileOneStallsInTheHandshakeAndSighupChangesTheCertificate) {
    const long long start = time(nullptr) - 3600;
    Station s('T');
    for (int n : {1, 2}) make_certificates(s.dir, n);
    const std::string ca1 = s.dir + "/ca1.pem", ca2 = s.dir + "/ca2.pem";
    const std::string cert = s.dir + "/tls.pem", key = s.dir + "/tls.key";
    const int seedlink = free_port(), sltls = free_port(), https = free_port();
    s.veldrum_keys = {{"HTTP", "0"},
                      {"SEEDLINK", to_string(seedlink)},
                      {"SLTLS", to_string(sltls)},
                      {"HTTPS", to_string(https)},
                      {"TLSCERT", cert},
                      {"TLSKEY", key}};
    s.station_keys = {{"LANA", "0"}, {"SCH", "SHZ"}};
    // Without a certificate the TLS ports stay shut and the plain ones serve.
    s.start_veldrum();
    ASSERT_TRUE(s.wait_log("TLS: сертификат не прочитан (" + cert, 20000)) << s.log();
    const int plain = liss_client::connect_to(seedlink, 0, 10000);
    EXPECT_TRUE(plain >= 0 && liss_client::connect_to(sltls, 0, 500) < 0 &&
                liss_client::connect_to(https, 0, 500) < 0);
    close(plain);
    s.stop_veldrum();
    std::filesystem::copy_file(s.dir + "/server1.pem", cert);
    std::filesystem::copy_file(s.dir + "/server1.key", key);
    s.start_veldrum({"FLUSH=5"});
    int stalled[2];  // the first bytes of a TLS record, and no more
    for (int i : {0, 1})
        (void)!write(stalled[i] = liss_client::connect_to(i ? https : sltls), "\x16\x03\x01", 3);
    s.start_sim({"--channels", "SHZ:100:0", "--pattern", "--fast", "--start", to_string(start),
                 "--seconds", "60", "--once"});
    ASSERT_TRUE(wait_until([&] { return s.number("select sum(tqty)" + s.own()) >= 60; }, 60000))
        << s.log() << s.server.text();
    auto curl = [&](const std::string& ca, const std::string& options, const std::string& path) {
        return sh("curl -s " + options + " --cacert " + ca +
                  " https://127.0.0.1:" + to_string(https) + path);
    };
    size_t values = 0, differ = 0;  // SHZ's, against what the simulator sent
    auto compare = [&](double seconds, const auto& samples) {
        long long at = std::llround((seconds - double(start)) * 100);
        for (long long v : samples) ++values, differ += v != stationsim::pattern_sample(0, at++);
    };

    // curl: the JSON with the TLS port the page reads, the page allowed to
    // open wss:// there, /metrics, and dataselect's records.
    for (const auto& [path, want] :
         {std::pair<std::string, std::string>{"/api/status",
                                              "\"seedlink_tls_port\":" + to_string(sltls)},
          {"/", "wss://127.0.0.1:" + to_string(sltls)},
          {"/metrics", "# TYPE"}})
        EXPECT_NE(curl(ca1, "-i", path).find(want), std::string::npos) << path;
    auto t = [](long long at) { return format_fdsn_time(FdsnTime(at * 1000000)); };
    const std::string records = curl(ca1, "",
                                     "'/fdsnws/dataselect/1/query?cha=SHZ&start=" + t(start - 10) +
                                         "&end=" + t(start + 60) + "'");
    for (size_t at = 0; at + kSeedRecordLength <= records.size(); at += kSeedRecordLength) {
        const Decoded d = mseed_decode(reinterpret_cast<const uint8_t*>(records.data() + at));
        compare(double(d.start) / HPTMODULUS, d.ok ? d.samples : std::vector<int32_t>{-1});
    }
    EXPECT_TRUE(values == 6000 && differ == 0) << values << " values by dataselect, " << differ;

    // seisplotjs, SeedLink 4 and 3.1 over wss://: "format sequence channel start_ms samples...".
    if (!exists(modules + "/ws/package.json")) GTEST_SKIP() << "no ws in " << modules;
    const std::string wss = "wss://127.0.0.1:" + to_string(sltls) + "/ 3 ";
    for (const std::string& args :
         {wss + "4 'STATION XX_" + s.name + "' 'SELECT *_S_H_Z' 'DATA 1'",
          wss + "3 'STATION " + s.name + " XX' 'SELECT SHZ.D' 'DATA 000001'"}) {
        std::istringstream lines(node(ca1, args));
        values = differ = 0;
        for (std::string line, channel; std::getline(lines, line);) {
            std::istringstream in(line);
            double format = 0, sequence = 0, ms = 0;
            differ += !(in >> format >> sequence >> channel >> ms) || channel != "SHZ";
            compare(ms / 1000, std::vector<long long>(std::istream_iterator<long long>(in), {}));
        }
        EXPECT_TRUE(values > 100 && differ == 0) << args << ": " << values << " values, " << differ;
    }

    // Each step's certificate, then whom curl and Node let in.
    struct Step {
        std::string files, log, trusted, refused;
    };
    for (const Step& step :
         {Step{"", "", ca1, ca2}, Step{"server2", "сертификат перечитан", ca2, ca1},
          Step{"junk", "сертификат не перечитан", ca2, ca1}}) {
        if (!step.files.empty()) {  // "junk": empty files
            Station::write(cert, read_file(s.dir + "/" + step.files + ".pem"));
            Station::write(key, read_file(s.dir + "/" + step.files + ".key"));
            kill(s.server.pid, SIGHUP);
            ASSERT_TRUE(s.wait_log("TLS: " + step.log, 10000)) << s.log();
        }
        for (const std::string& ca : {step.trusted, step.refused}) {
            const bool good = ca == step.trusted;
            EXPECT_EQ(curl(ca, "-I", "/api/status").substr(0, 15), good ? "HTTP/1.1 200 OK" : "")
                << step.files;
            EXPECT_EQ(node(ca, "hello " + to_string(sltls)).substr(0, 6),
                      good ? "SeedLi" : "error ");
        }
    }
    // Still in its handshake: not given up on, and it held nobody up.
    EXPECT_FALSE(liss_client::readable_within(stalled[0], 0));
    for (int fd : stalled) close(fd);
    EXPECT_EQ(s.stop_veldrum(), 0) << "a SIGHUP must not end the program";
}

}  // namespace
