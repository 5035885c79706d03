// Private-profile reader and writer. The whole file is read for every call:
// configuration is read a handful of times at start-up and written once.
#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "common/descriptor.h"

namespace {

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n'))
        --e;
    return s.substr(b, e - b);
}

bool same_name(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Larger files are taken for something other than an INI file.
constexpr size_t kMaxFileSize = 16 * 1024 * 1024;

enum class Found { readable, missing, unreadable };

Found read_whole(const char* file, std::string* text) {
    // Non-blocking, so a FIFO in the file's place cannot hold the caller.
    int fd = ::open(file, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT ? Found::missing : Found::unreadable;
    struct stat st {};
    Found found =
        ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? Found::readable : Found::unreadable;
    char buf[8192];
    while (found == Found::readable) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) break;
        if (n < 0 || text->size() + static_cast<size_t>(n) > kMaxFileSize) {
            found = Found::unreadable;
        } else {
            text->append(buf, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return found;
}

// How the first read of each file went: a write goes only into a file that
// could be read then, or that did not exist yet.
std::mutex first_reads_lock;
std::map<std::string, Found> first_reads;

Found first_read(const char* file, Found now) {
    std::lock_guard<std::mutex> lock(first_reads_lock);
    return first_reads.emplace(file, now).first->second;
}

Found read_lines(const char* file, std::vector<std::string>* lines, bool* had_bom = nullptr,
                 bool* crlf = nullptr) {
    std::string text;
    Found found = read_whole(file, &text);
    first_read(file, found);
    if (found != Found::readable) return found;
    // An editor's byte-order mark would hide the first section.
    size_t start = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        start = 3;
        if (had_bom) *had_bom = true;
    }
    if (crlf) {
        size_t end = text.find('\n');
        *crlf = end != std::string::npos && end > 0 && text[end - 1] == '\r';
    }
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines->push_back(line);
        start = end + 1;
    }
    return found;
}

// "[name]" gives name; anything else is no section header.
bool section_of(const std::string& line, std::string* name) {
    std::string t = trim(line);
    if (t.size() < 2 || t.front() != '[') return false;
    size_t close = t.find(']');
    if (close == std::string::npos) return false;
    *name = trim(t.substr(1, close - 1));
    return true;
}

bool key_of(const std::string& line, std::string* key, std::string* value) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    *key = trim(line.substr(0, eq));
    if (value) *value = trim(line.substr(eq + 1));
    return !key->empty() && (*key)[0] != ';';
}

bool find_value(const char* section, const char* key, const char* file, std::string* value) {
    std::vector<std::string> lines;
    if (!section || !key || !file || read_lines(file, &lines) != Found::readable) return false;
    bool inside = false;
    for (const std::string& line : lines) {
        std::string name;
        if (section_of(line, &name)) {
            inside = same_name(name, section);
            continue;
        }
        std::string k, v;
        if (inside && key_of(line, &k, &v) && same_name(k, key)) {
            if (v.size() >= 2 &&
                ((v.front() == '"' && v.back() == '"') || (v.front() == '\'' && v.back() == '\'')))
                v = v.substr(1, v.size() - 2);
            *value = v;
            return true;
        }
    }
    return false;
}

}  // namespace

std::string profile_get_string(const char* section, const char* key, const char* default_value,
                               const char* file) {
    std::string value;
    if (find_value(section, key, file, &value)) return value;
    return default_value ? default_value : "";
}

size_t profile_get_string(const char* section, const char* key, const char* default_value,
                          char* out, size_t size, const char* file) {
    if (!out || size == 0) return 0;
    std::string value = profile_get_string(section, key, default_value, file);
    size_t n = value.size() < size - 1 ? value.size() : size - 1;
    std::memcpy(out, value.data(), n);
    out[n] = '\0';
    return n;
}

long long parse_decimal(const char* text) {
    if (!text) return 0;
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long long v = 0;
    while (*p >= '0' && *p <= '9') {
        if (v < LLONG_MAX / 10 - 10) v = v * 10 + (*p - '0');
        ++p;
    }
    return negative ? -v : v;
}

int profile_get_int(const char* section, const char* key, int default_value, const char* file) {
    std::string value;
    if (!find_value(section, key, file, &value)) return default_value;
    long long v = parse_decimal(value.c_str());
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

namespace {

// The file a write lands in: the path itself or the end of its chain of
// symbolic links, when that is a regular file or does not exist yet.
bool write_target(const char* file, std::string* target) {
    std::string path = file;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            *target = path;
            return errno == ENOENT;
        }
        if (S_ISREG(st.st_mode)) {
            *target = path;
            return true;
        }
        if (!S_ISLNK(st.st_mode)) return false;
        char link[PATH_MAX];
        ssize_t n = ::readlink(path.c_str(), link, sizeof link);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof link) return false;
        size_t slash = path.rfind('/');
        std::string next(link, static_cast<size_t>(n));
        if (next[0] != '/' && slash != std::string::npos) next = path.substr(0, slash + 1) + next;
        path = next;
    }
    return false;
}

// Writes text into a new file beside target, created exclusively so that
// nothing planted there is written through, and renames it over target.
bool replace_file(const std::string& target, const std::string& text) {
    struct stat original {};
    const bool existed = ::stat(target.c_str(), &original) == 0;
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = target + "." + std::to_string(getpid()) + "." + std::to_string(attempt) + ".tmp";
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    bool ok = true;
    if (existed) {
        // Owner and mode as they were; the owner only when allowed to.
        ok = ::fchown(fd, original.st_uid, original.st_gid) == 0 || errno == EPERM;
        ok = ok && ::fchmod(fd, original.st_mode & 07777) == 0;
    }
    ok = ok && write_all(fd, text.data(), text.size()) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tmp.c_str(), target.c_str()) == 0;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

}  // namespace

bool profile_write_string(const char* section, const char* key, const char* value,
                          const char* file) {
    if (!section || !key || !value || !file) return false;
    std::string target;
    if (!write_target(file, &target)) return false;
    std::vector<std::string> lines;
    bool had_bom = false, crlf = false;
    const Found now = read_lines(target.c_str(), &lines, &had_bom, &crlf);
    if (now == Found::unreadable || first_read(file, now) == Found::unreadable) return false;
    const std::string entry = std::string(key) + "=" + value;
    int section_line = -1, last_in_section = -1, key_line = -1;
    bool inside = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string name, k;
        if (section_of(lines[i], &name)) {
            // Only the first section of that name is written to.
            inside = section_line < 0 && same_name(name, section);
            if (inside) section_line = last_in_section = static_cast<int>(i);
            continue;
        }
        if (inside) {
            if (!trim(lines[i]).empty()) last_in_section = static_cast<int>(i);
            if (key_line < 0 && key_of(lines[i], &k, nullptr) && same_name(k, key))
                key_line = static_cast<int>(i);
        }
    }
    if (key_line >= 0) {
        lines[key_line] = entry;
    } else if (section_line >= 0) {
        lines.insert(lines.begin() + last_in_section + 1, entry);
    } else {
        lines.push_back(std::string("[") + section + "]");
        lines.push_back(entry);
    }
    std::string text = had_bom ? "\xEF\xBB\xBF" : "";
    for (const std::string& line : lines) text += line + (crlf ? "\r\n" : "\n");
    return replace_file(target, text);
}

std::string kvr_ini_path() {
    const char* windir = std::getenv("WINDIR");
    std::string dir = windir && *windir ? windir : "/etc";
    if (dir.back() != '/') dir += '/';
    return dir + "KVR.ini";
}
