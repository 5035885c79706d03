// Private-profile reader and writer. The whole file is read for every call:
// configuration is read a handful of times at start-up and written once.
#include "platform/profile.h"

#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

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

bool read_lines(const char* file, std::vector<std::string>* lines, bool* had_bom = nullptr) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        // An editor's byte-order mark would hide the first section.
        if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            line.erase(0, 3);
            if (had_bom) *had_bom = true;
        }
        first = false;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines->push_back(line);
    }
    return true;
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
    if (!section || !key || !file || !read_lines(file, &lines)) return false;
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

bool profile_write_string(const char* section, const char* key, const char* value,
                          const char* file) {
    if (!section || !key || !value || !file) return false;
    std::vector<std::string> lines;
    bool had_bom = false;
    read_lines(file, &lines, &had_bom);
    bool crlf = false;
    {
        std::ifstream in(file, std::ios::binary);
        std::string first;
        if (in && std::getline(in, first)) crlf = !first.empty() && first.back() == '\r';
    }
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
    // Write beside the file and rename, so a failed write never leaves half a file.
    std::string tmp = std::string(file) + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        if (had_bom) out << "\xEF\xBB\xBF";
        for (const std::string& line : lines) out << line << (crlf ? "\r\n" : "\n");
        out.flush();
        if (!out) {
            std::remove(tmp.c_str());
            return false;
        }
    }
    struct stat original {};
    if (::stat(file, &original) == 0) ::chmod(tmp.c_str(), original.st_mode & 07777);
    if (std::rename(tmp.c_str(), file) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

std::string kvr_ini_path() {
    const char* windir = std::getenv("WINDIR");
    std::string dir = windir && *windir ? windir : "/etc";
    if (dir.back() != '/') dir += '/';
    return dir + "KVR.ini";
}
