// The local cache of indexes built for remote files: its directory and the names of its files.
#include "engine/io/remote_cache.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace sekva {

namespace {

// 64-bit FNV-1a from a given basis: two of them make a 128-bit name, so that two objects never
// share a file by accident.
std::uint64_t fnv1a(std::string_view text, std::uint64_t hash) {
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

bool make_directories(const std::string& path) {
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string remote_cache_dir() {
    std::string dir;
    if (const char* v = std::getenv("SEKVA_CACHE_DIR"); v && *v) {
        dir = v;
    } else if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg) {
        dir = std::string(xdg) + "/sekva";
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        dir = std::string(home) + "/.cache/sekva";
    } else {
        return {};
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return make_directories(dir) ? dir : std::string();
}

std::string remote_cache_path(const RemoteIdentity& object, std::string_view suffix) {
    std::string dir = remote_cache_dir();
    if (dir.empty()) return dir;
    const std::string key = object.url + '\n' + object.validator();
    char name[40];
    std::snprintf(name, sizeof name, "%016llx%016llx",
                  static_cast<unsigned long long>(fnv1a(key, 0xcbf29ce484222325ULL)),
                  static_cast<unsigned long long>(fnv1a(key, 0x84222325cbf29ce4ULL)));
    return dir + '/' + name + std::string(suffix);
}

}  // namespace sekva
