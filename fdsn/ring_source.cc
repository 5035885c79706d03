#include "fdsn/ring_source.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/oplog.h"
#include "common/samples.h"
#include "recorder/file_index.h"
#include "recorder/odbc_statement.h"
#include "recorder/ring_writer.h"

namespace {

// Bounds on a row's values; rows beyond them are not ours and are skipped.
constexpr SQLINTEGER kMaxRate = 1000000;
constexpr SQLBIGINT kMaxRowSeconds = 10LL * 365 * 86400;
constexpr SQLBIGINT kMaxEpoch = 1LL << 40;

// Connections kept for the next requests; more requests at once open more.
constexpr size_t kPooledConnections = 4;

std::mutex pool_mutex;
std::vector<OdbcConnection> pool;

OdbcConnection take_connection(const Config& config) {
    {
        std::lock_guard<std::mutex> lock(pool_mutex);
        if (!pool.empty()) {
            OdbcConnection c = pool.back();
            pool.pop_back();
            return c;
        }
    }
    OdbcConnection c;
    if (c.connect(config) != OdbcConnect::kConnected) return OdbcConnection{};
    return c;
}

void give_back(OdbcConnection c) {
    std::lock_guard<std::mutex> lock(pool_mutex);
    if (pool.size() < kPooledConnections) {
        pool.push_back(c);
        return;
    }
    c.disconnect();
}

// Runs the select on c; kUnavailable when the statement failed.
IndexResult select_rows(const OdbcConnection& c, const char* text, std::vector<IndexRow>* out) {
    OdbcStatement st(c);
    if (!st.execute(text, Accept::kWithInfo)) return IndexResult::kUnavailable;
    char cpath[256] = "", ch[64] = "";
    SQLBIGINT tbegin = 0, tqty = 0;
    SQLINTEGER sps = 0;
    SQLLEN n1 = 0, n2 = 0, n3 = 0, n4 = 0, n5 = 0;
    st.bind(1, SQL_C_CHAR, cpath, sizeof cpath, &n1);
    st.bind(2, SQL_C_CHAR, ch, sizeof ch, &n2);
    st.bind(3, SQL_C_SBIGINT, &tbegin, 0, &n3);
    st.bind(4, SQL_C_SBIGINT, &tqty, 0, &n4);
    st.bind(5, SQL_C_SLONG, &sps, 0, &n5);
    for (;;) {
        const SQLRETURN rc = st.fetch();
        if (rc == SQL_NO_DATA) return IndexResult::kOk;
        if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) return IndexResult::kUnavailable;
        if (n1 == SQL_NULL_DATA || n2 == SQL_NULL_DATA || n3 == SQL_NULL_DATA ||
            n4 == SQL_NULL_DATA || n5 == SQL_NULL_DATA)
            continue;
        // Rows another program wrote may hold anything: keep the
        // arithmetic on sample numbers far from overflow.
        if (sps <= 0 || sps > kMaxRate || tqty <= 0 || tqty > kMaxRowSeconds ||
            tbegin < -kMaxEpoch || tbegin > kMaxEpoch)
            continue;
        if (out->size() >= kMaxIndexRows) return IndexResult::kTooMany;
        out->push_back(IndexRow{cpath, ch, static_cast<int64_t>(tbegin), static_cast<int64_t>(tqty),
                                static_cast<int>(sps)});
    }
}

// Station names may be Cyrillic: bytes above 127 are UTF-8 letters.
bool name_character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' ||
           c == '-' || c == '_' || c == '.' || static_cast<unsigned char>(c) >= 0x80;
}

// openat2 confines the lookup to the directory (no "..", no absolute
// path, no link leading out); where the kernel lacks it, no link at all.
int open_beneath(int dir, const char* path) {
    open_how how{};
    how.flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long fd = syscall(SYS_openat2, dir, path, &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
    const char* slash = std::strchr(path, '/');
    if (slash == nullptr) return -1;
    const std::string hour(path, slash);
    Descriptor sub(openat(dir, hour.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (sub.fd < 0) return -1;
    return openat(sub.fd, slash + 1, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
}

}  // namespace

IndexResult index_rows(const Config& config, const char* station, int64_t from, int64_t to,
                       std::vector<IndexRow>* out) {
    out->clear();
    char quoted[64];
    if (!quote_sql(station, quoted, sizeof quoted)) return IndexResult::kUnavailable;
    // Files hold at most 12 hours, so a file that overlaps `from` began
    // less than a day before it; that keeps the index's range scan short.
    const int64_t lo = from < INT64_MIN / 2 ? INT64_MIN / 2 : from - 86400;
    char text[512];
    std::snprintf(text, sizeof text,
                  "select cpath,ch,tbegin,tqty,sps from filelist where sta='%s' and "
                  "creater='VELDRUM' and tqty>0 and tbegin>=%" PRId64 " and tbegin<=%" PRId64
                  " order by ch,tbegin",
                  quoted, lo, to);
    for (int attempt = 0; attempt < 2; ++attempt) {
        OdbcConnection c = take_connection(config);
        if (c.dbc == SQL_NULL_HDBC) return IndexResult::kUnavailable;
        out->clear();
        IndexResult r = select_rows(c, text, out);
        if (r != IndexResult::kUnavailable) {
            give_back(c);
            // Rows that end before `from` are left out here, not in SQL:
            // tbegin+tqty would defeat the index on tbegin.
            std::vector<IndexRow> kept;
            kept.reserve(out->size());
            for (IndexRow& row : *out)
                if (row.tbegin + row.tqty >= from) kept.push_back(std::move(row));
            out->swap(kept);
            return r;
        }
        // A pooled connection may have died (database restarted): once more
        // on a fresh one.
        c.disconnect();
    }
    write_log_line("FDSN: запрос к индексу не выполнен");
    return IndexResult::kUnavailable;
}

void close_index_connections() {
    std::lock_guard<std::mutex> lock(pool_mutex);
    for (OdbcConnection& c : pool) c.disconnect();
    pool.clear();
}

bool valid_ring_path(const std::string& cpath) {
    const size_t slash = cpath.find('/');
    if (slash == std::string::npos || slash == 0 || slash > 2) return false;
    int hour = 0;
    for (size_t i = 0; i < slash; ++i) {
        if (cpath[i] < '0' || cpath[i] > '9') return false;
        hour = hour * 10 + (cpath[i] - '0');
    }
    if (hour > 23) return false;
    const std::string name = cpath.substr(slash + 1);
    if (name.empty() || name == "." || name == ".." || name.size() > 200) return false;
    for (char c : name)
        if (!name_character(c)) return false;
    return true;
}

int64_t open_ring_file(const char* data_dir, const std::string& cpath, Descriptor* file) {
    if (!valid_ring_path(cpath)) return -1;
    Descriptor dir(open(data_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0) return -1;
    file->fd = open_beneath(dir.fd, cpath.c_str());
    if (file->fd < 0) return -1;
    struct stat st {};
    char head[16] = "";
    if (fstat(file->fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < kRingHeaderSize ||
        pread(file->fd, head, 8, 0) != 8 || std::memcmp(head, "[KVR2.0]", 8) != 0) {
        close(file->fd);
        file->fd = -1;
        return -1;
    }
    return (st.st_size - kRingHeaderSize) / 2;
}

int64_t read_ring_samples(int fd, int64_t first, int64_t n, int32_t* out) {
    if (first < 0 || n <= 0) return 0;
    constexpr int64_t kBlock = 32768;
    uint8_t raw[2 * kBlock];
    int64_t done = 0;
    while (done < n) {
        const int64_t want = n - done < kBlock ? n - done : kBlock;
        const ssize_t got =
            pread(fd, raw, static_cast<size_t>(want) * 2, kRingHeaderSize + (first + done) * 2);
        if (got <= 0) break;
        const int64_t samples = got / 2;
        widen_samples(raw, static_cast<size_t>(samples), out + done);
        done += samples;
        if (samples < want) break;
    }
    return done;
}
