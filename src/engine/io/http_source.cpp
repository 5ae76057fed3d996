// The HTTP(S) byte source: bounded range requests through libcurl (one easy handle per thread,
// connections shared through a share handle), each answer checked before it is used, faults
// retried with back-off, and a cache of recent pieces.
#include "engine/io/http_source.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <random>
#include <system_error>
#include <thread>

#ifdef SEKVA_HAVE_CURL
#include <curl/curl.h>
#endif

namespace sekva {

namespace {

std::atomic<std::uint64_t> request_count{0};
NetworkWaitHooks wait_hooks;

// A wait for the network, with the host's hooks around it.
template <class Fn>
auto waiting(Fn&& fn) {
    struct Around {
        void* token = wait_hooks.before ? wait_hooks.before() : nullptr;
        ~Around() {
            if (wait_hooks.after) wait_hooks.after(token);
        }
    } around;
    return fn();
}

bool starts_with_nocase(std::string_view text, std::string_view lead) {
    if (text.size() < lead.size()) return false;
    for (std::size_t i = 0; i < lead.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != lead[i]) return false;
    return true;
}

// A staged read's requests are at most this long, and bridge gaps of at most this many bytes.
constexpr std::uint64_t LONGEST_REQUEST = 8 << 20;
constexpr std::uint64_t WIDEST_GAP = 1 << 20;

// The first bytes an opening asks for: enough for the compression check and for a short file whole.
constexpr std::size_t OPENING_BYTES = 64 << 10;
// A small read fetches this much around itself.
constexpr std::size_t WINDOW = 64 << 10;
// One pass over the whole object reads in these pieces.
constexpr std::size_t PASS_WINDOW = 4 << 20;
constexpr std::size_t PASS_BUDGET = 8 << 20;
// Redirects followed before giving up, and the longest wait a Retry-After is allowed.
constexpr int MAX_REDIRECTS = 5;
constexpr double MAX_WAIT_SECONDS = 60;
// The most bytes of an error page or a redirect's body read before the transfer is stopped.
constexpr std::size_t DISCARDED_BODY = 64 << 10;
// ... of which this many are kept to find the service's error code in.
constexpr std::size_t ERROR_BODY = 4096;

}  // namespace

void set_network_wait_hooks(NetworkWaitHooks hooks) { wait_hooks = hooks; }

bool is_remote_name(std::string_view name) {
    return starts_with_nocase(name, "http://") || starts_with_nocase(name, "https://") || is_object_store_name(name);
}

FaidxError no_remote_access_error(const std::string& url) {
    return io_error("sekva was built without remote access (libcurl): " + url);
}

namespace {

// The system's certificates where libcurl's own default is missing: a libcurl built on one
// distribution (and carried inside a wheel) looks where that distribution keeps them. Empty: the
// default is there, or nothing is.
std::string system_ca_file() {
#ifdef SEKVA_HAVE_CURL
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (!info || !info->cainfo || ::access(info->cainfo, R_OK) == 0) return {};
#endif
    for (const char* path : {"/etc/ssl/certs/ca-certificates.crt", "/etc/pki/tls/certs/ca-bundle.crt",
                             "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem", "/etc/ssl/ca-bundle.pem",
                             "/etc/ssl/cert.pem"})
        if (::access(path, R_OK) == 0) return path;
    return {};
}

}  // namespace

std::string RemoteIdentity::validator() const {
    if (!etag.empty()) return "etag:" + etag;
    return "modified:" + last_modified + ";size:" + std::to_string(size);
}

HttpSettings HttpSettings::from_environment() {
    HttpSettings s;
    auto number = [](const char* name, long low, long high, long fallback) {
        const char* text = std::getenv(name);
        if (!text || !*text) return fallback;
        char* end = nullptr;
        long v = std::strtol(text, &end, 10);
        return *end == '\0' && v >= low && v <= high ? v : fallback;
    };
    s.retries = static_cast<int>(number("SEKVA_HTTP_RETRIES", 0, 20, 4));
    s.timeout_seconds = number("SEKVA_HTTP_TIMEOUT", 1, 3600, 30);
    s.connections = static_cast<int>(number("SEKVA_HTTP_CONNECTIONS", 1, 256, 32));
    s.cache_bytes = static_cast<std::size_t>(number("SEKVA_HTTP_CACHE_MB", 0, 1 << 16, 4)) << 20;
    for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"})
        if (const char* v = std::getenv(name); v && *v) {
            s.ca_file = v;
            break;
        }
    if (const char* v = std::getenv("SSL_CERT_DIR"); v && *v) s.ca_dir = v;
    if (s.ca_file.empty() && s.ca_dir.empty()) s.ca_file = system_ca_file();
    return s;
}

std::uint64_t HttpSource::requests_made() { return request_count.load(); }

std::vector<ByteSpan> plan_requests(std::span<const ByteSpan> spans, std::uint64_t longest, std::uint64_t widest_gap) {
    std::vector<ByteSpan> runs;
    std::uint64_t own = 0;
    for (const ByteSpan& s : spans) {
        if (s.begin >= s.end) continue;
        if (!runs.empty() && s.begin <= runs.back().end) {
            if (s.end > runs.back().end) {
                own += s.end - runs.back().end;
                runs.back().end = s.end;
            }
        } else {
            runs.push_back(s);
            own += s.end - s.begin;
        }
    }
    // Bridging a gap saves a request and moves the gap's bytes: the narrowest gaps go first.
    std::vector<std::pair<std::uint64_t, std::size_t>> gaps;
    gaps.reserve(runs.size());
    for (std::size_t i = 1; i < runs.size(); ++i) gaps.emplace_back(runs[i].begin - runs[i - 1].end, i);
    std::sort(gaps.begin(), gaps.end());
    std::vector<bool> bridged(runs.size(), false);
    std::uint64_t extra = 0;
    for (const auto& [gap, i] : gaps) {
        if (gap > widest_gap || extra + gap > own / 4) break;
        bridged[i] = true;
        extra += gap;
    }
    std::vector<ByteSpan> joined;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (bridged[i] && runs[i].end - joined.back().begin <= longest)
            joined.back().end = runs[i].end;
        else
            joined.push_back(runs[i]);
    }
    std::vector<ByteSpan> requests;
    requests.reserve(joined.size());
    for (ByteSpan r : joined) {
        for (; r.end - r.begin > longest; r.begin += longest) requests.push_back(ByteSpan{r.begin, r.begin + longest});
        requests.push_back(r);
    }
    return requests;
}

// What one staged read holds: the bytes of its requests, or what each failed with, until the job
// that asked for them drops it.
class HttpStaging final : public StagedReads {
public:
    struct Piece {
        std::uint64_t start = 0, size = 0;
        std::unique_ptr<char[]> bytes;
        std::optional<FaidxError> error;
    };
    explicit HttpStaging(const HttpSource& source) : source_(source) {}
    ~HttpStaging() override {
        if (registered) source_.unstage(this);
    }
    HttpStaging(const HttpStaging&) = delete;
    HttpStaging& operator=(const HttpStaging&) = delete;

    // The piece that holds byte `offset`, if any.
    const Piece* find(std::uint64_t offset) const {
        auto after = std::upper_bound(pieces.begin(), pieces.end(), offset,
                                      [](std::uint64_t at, const Piece& p) { return at < p.start; });
        if (after == pieces.begin()) return nullptr;
        const Piece& p = *(after - 1);
        return offset < p.start + p.size ? &p : nullptr;
    }

    std::vector<Piece> pieces;  // sorted by start, apart
    bool registered = false;

private:
    const HttpSource& source_;
};

std::optional<Result<std::size_t>> HttpSource::from_staged(std::uint64_t offset, std::size_t n, char* out) const {
    const HttpStaging::Piece* hit = nullptr;
    {
        std::lock_guard<std::mutex> lock(cache_mutex_);
        for (const HttpStaging* staging : staged_)
            if ((hit = staging->find(offset))) break;
    }
    // A staged piece stays as it is until its job drops it, after the job's reads: no lock needed.
    if (!hit) return std::nullopt;
    if (hit->error) return Result<std::size_t>(FaidxError(*hit->error));
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(n, hit->start + hit->size - offset));
    std::memcpy(out, hit->bytes.get() + (offset - hit->start), take);
    return Result<std::size_t>(take);
}

std::vector<ByteSpan> HttpSource::not_staged(std::span<const ByteSpan> spans) const {
    std::vector<ByteSpan> held;
    {
        std::lock_guard<std::mutex> lock(cache_mutex_);
        for (const HttpStaging* staging : staged_)
            for (const HttpStaging::Piece& p : staging->pieces)
                if (!p.error) held.push_back(ByteSpan{p.start, p.start + p.size});
    }
    if (held.empty()) return {spans.begin(), spans.end()};
    std::sort(held.begin(), held.end(), [](const ByteSpan& a, const ByteSpan& b) { return a.begin < b.begin; });
    std::vector<ByteSpan> rest;
    for (ByteSpan s : spans) {
        // The held pieces that may overlap s, in order: cut what they cover out of it.
        auto h = std::upper_bound(held.begin(), held.end(), s.begin,
                                  [](std::uint64_t at, const ByteSpan& p) { return at < p.begin; });
        if (h != held.begin()) --h;
        for (; h != held.end() && h->begin < s.end && s.begin < s.end; ++h) {
            if (h->end <= s.begin) continue;
            if (h->begin > s.begin) rest.push_back(ByteSpan{s.begin, h->begin});
            s.begin = std::max(s.begin, h->end);
        }
        if (s.begin < s.end) rest.push_back(s);
    }
    return rest;
}

void HttpSource::unstage(const HttpStaging* staging) const {
    std::lock_guard<std::mutex> lock(cache_mutex_);
    staged_.erase(std::remove(staged_.begin(), staged_.end(), staging), staged_.end());
}

HttpSource::HttpSource(RemoteIdentity identity, HttpSettings settings, std::size_t window, std::size_t budget)
    : ByteSource(identity.url), identity_(std::move(identity)), settings_(std::move(settings)), window_(window),
      budget_(budget) {}

FaidxError HttpSource::nul_error() const {
    return io_error(name() + ": the FASTA text holds a NUL byte, which no FASTA file holds");
}

std::shared_ptr<const HttpSource> HttpSource::sequential() const {
    try {
        auto pass = std::make_shared<HttpSource>(identity_, settings_, PASS_WINDOW, PASS_BUDGET);
        pass->one_pass_ = true;
        return pass;
    } catch (const std::bad_alloc&) {
        return std::static_pointer_cast<const HttpSource>(shared_from_this());
    }
}

bool HttpSource::from_cache(std::uint64_t offset, std::size_t n, char* out, std::size_t& got) const {
    std::lock_guard<std::mutex> lock(cache_mutex_);
    for (Piece& p : pieces_) {
        if (offset < p.start || offset >= p.start + p.bytes.size()) continue;
        got = static_cast<std::size_t>(std::min<std::uint64_t>(n, p.start + p.bytes.size() - offset));
        std::memcpy(out, p.bytes.data() + (offset - p.start), got);
        p.used = ++tick_;
        return true;
    }
    return false;
}

void HttpSource::to_cache(std::uint64_t start, std::string bytes) const {
    if (bytes.empty() || bytes.size() > budget_) return;
    std::lock_guard<std::mutex> lock(cache_mutex_);
    std::size_t total = bytes.size();
    for (const Piece& p : pieces_) total += p.bytes.size();
    while (total > budget_ && !pieces_.empty()) {
        auto oldest = std::min_element(pieces_.begin(), pieces_.end(),
                                       [](const Piece& a, const Piece& b) { return a.used < b.used; });
        total -= oldest->bytes.size();
        pieces_.erase(oldest);
    }
    pieces_.push_back(Piece{start, std::move(bytes), ++tick_});
}

#ifdef SEKVA_HAVE_CURL

bool remote_access_built() { return true; }

namespace {

// ---- libcurl, set up once; one easy handle per thread over one shared connection cache ----

// A forked child must never use the connections it inherited (the parent reads from the same
// sockets): it starts a new share, and its threads new handles, leaving the inherited ones untouched.
std::once_flag global_once;
bool global_ready = false;
std::mutex share_mutex;
std::mutex share_locks[CURL_LOCK_DATA_LAST];
CURLSH* share_now = nullptr;
std::atomic<unsigned> fork_generation{0};

void lock_share(CURL*, curl_lock_data data, curl_lock_access, void*) { share_locks[data].lock(); }
void unlock_share(CURL*, curl_lock_data data, void*) { share_locks[data].unlock(); }

void after_fork_in_child() {
    // The child has one thread; a lock some other parent thread held at the fork would never be
    // released, so every lock starts anew.
    new (&share_mutex) std::mutex;
    for (auto& m : share_locks) new (&m) std::mutex;
    share_now = nullptr;
    fork_generation.fetch_add(1);
}

// Made on first use, before any thread has a handle; never cleaned up: handles of threads that
// end at process exit may still point at it.
CURLSH* shared_state() {
    std::call_once(global_once, [] {
        global_ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
        if (global_ready) ::pthread_atfork(nullptr, nullptr, after_fork_in_child);
    });
    if (!global_ready) return nullptr;
    std::lock_guard<std::mutex> lock(share_mutex);
    if (!share_now) {
        CURLSH* s = curl_share_init();
        if (!s) return s;
        curl_share_setopt(s, CURLSHOPT_LOCKFUNC, lock_share);
        curl_share_setopt(s, CURLSHOPT_UNLOCKFUNC, unlock_share);
        curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        share_now = s;
    }
    return share_now;
}

struct ThreadHandle {
    CURL* curl = nullptr;
    CURLSH* share = nullptr;
    unsigned generation = 0;
    ~ThreadHandle() {
        if (curl && generation == fork_generation.load()) curl_easy_cleanup(curl);
    }
};

// This thread's handle and the share it uses; a handle from before a fork is left as it is.
CURL* this_thread_handle(CURLSH*& share) {
    thread_local ThreadHandle handle;
    if (!handle.curl || handle.generation != fork_generation.load()) {
        handle.curl = nullptr;
        handle.share = shared_state();
        if (!handle.share) return nullptr;
        handle.generation = fork_generation.load();
        handle.curl = curl_easy_init();
    }
    share = handle.share;
    return handle.curl;
}

// ---- One request ----

struct Answer {
    long status = 0;
    CURLcode code = CURLE_OK;
    char curl_error[CURL_ERROR_SIZE] = {};
    std::string content_range, etag, last_modified, retry_after, location;
    // The body: written into [out, out + capacity); a 206 longer than that stops the transfer.
    char* out = nullptr;
    std::size_t capacity = 0, got = 0;
    bool whole_object = false;  // a 200: the range was ignored (the transfer is stopped)
    std::size_t discarded = 0;  // bytes of an answer other than a 206
    bool body_cut = false;      // ... stopped once there were too many: the status still counts
    std::string error_body;     // the first bytes of such an answer: where an S3 error code is
    bool over_long = false;
    CURL* curl = nullptr;
    bool status_known = false;
    // Shared by the requests of one staged read: set when one was interrupted, so the rest stop.
    std::atomic<bool>* stop = nullptr;
    bool interrupted = false;
    std::chrono::steady_clock::time_point asked{};
};

// How often a wait asks the host whether the user interrupted it.
constexpr auto INTERRUPT_CHECK = std::chrono::milliseconds(100);

// Whether the user interrupted the wait (asked at most every INTERRUPT_CHECK); `stop`, when given,
// is set for the other requests of the same read and ends them too.
bool interrupted_now(std::chrono::steady_clock::time_point& asked, std::atomic<bool>* stop) {
    if (stop && stop->load(std::memory_order_relaxed)) return true;
    if (!wait_hooks.interrupted) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - asked < INTERRUPT_CHECK) return false;
    asked = now;
    if (!wait_hooks.interrupted()) return false;
    if (stop) stop->store(true);
    return true;
}

int on_progress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto& a = *static_cast<Answer*>(context);
    if (!interrupted_now(a.asked, a.stop)) return 0;
    a.interrupted = true;
    return 1;  // ends the transfer with CURLE_ABORTED_BY_CALLBACK
}

std::string trimmed(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == '\r' || v.back() == '\n' || v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    return std::string(v);
}

size_t on_header(char* p, size_t size, size_t count, void* context) {
    auto* a = static_cast<Answer*>(context);
    const std::string_view line(p, size * count);
    try {
        if (starts_with_nocase(line, "http/")) {
            // A new answer (after a 100 Continue, say): only its own headers count.
            a->content_range.clear(), a->etag.clear(), a->last_modified.clear(), a->retry_after.clear(),
                a->location.clear();
            a->status_known = false;
        } else if (starts_with_nocase(line, "content-range:")) {
            a->content_range = trimmed(line.substr(14));
        } else if (starts_with_nocase(line, "etag:")) {
            a->etag = trimmed(line.substr(5));
        } else if (starts_with_nocase(line, "last-modified:")) {
            a->last_modified = trimmed(line.substr(14));
        } else if (starts_with_nocase(line, "retry-after:")) {
            a->retry_after = trimmed(line.substr(12));
        } else if (starts_with_nocase(line, "location:")) {
            a->location = trimmed(line.substr(9));
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return size * count;
}

size_t on_body(char* p, size_t size, size_t count, void* context) {
    auto* a = static_cast<Answer*>(context);
    const std::size_t n = size * count;
    if (!a->status_known) {
        curl_easy_getinfo(a->curl, CURLINFO_RESPONSE_CODE, &a->status);
        a->status_known = true;
    }
    if (a->status == 200) {
        // The whole object instead of a range: stopped at once rather than read to its end.
        a->whole_object = true;
        return 0;
    }
    if (a->status != 206) {
        // An error page or a redirect's body: not kept, and not read on past a little.
        a->discarded += n;
        if (a->error_body.size() < ERROR_BODY) {
            try {
                a->error_body.append(p, std::min(n, ERROR_BODY - a->error_body.size()));
            } catch (const std::bad_alloc&) {
                // The status alone says enough.
            }
        }
        if (a->discarded <= DISCARDED_BODY) return n;
        a->body_cut = true;
        return 0;
    }
    if (n > a->capacity - a->got) {
        a->over_long = true;
        return 0;
    }
    std::memcpy(a->out + a->got, p, n);
    a->got += n;
    return n;
}

// What to do with an answer.
enum class Verdict : std::uint8_t { Done, Retry, Fail, Redirect };

bool transient(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_SSL_CONNECT_ERROR:
            return true;
        default:
            return false;
    }
}

// "bytes FIRST-LAST/TOTAL" (TOTAL may be "*", taken as unknown).
bool parse_content_range(const std::string& text, std::uint64_t& first, std::uint64_t& last,
                         std::optional<std::uint64_t>& total) {
    if (!starts_with_nocase(text, "bytes ")) return false;
    const char* p = text.c_str() + 6;
    auto number = [&](std::uint64_t& out) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
        out = 0;
        while (std::isdigit(static_cast<unsigned char>(*p))) {
            if (__builtin_mul_overflow(out, 10, &out) || __builtin_add_overflow(out, *p - '0', &out)) return false;
            ++p;
        }
        return true;
    };
    if (*p == '*') {  // the answer to an unsatisfiable range: "bytes */TOTAL"
        ++p;
        first = 1, last = 0;
    } else {
        if (!number(first) || *p++ != '-' || !number(last) || last < first) return false;
    }
    if (*p++ != '/') return false;
    if (*p == '*' && p[1] == '\0') {
        total.reset();
        return true;
    }
    std::uint64_t t;
    if (!number(t) || *p != '\0') return false;
    total = t;
    return true;
}

// The scheme and host of a URL, lower-cased, through libcurl's own parser.
bool scheme_and_host(const std::string& url, std::string& scheme, std::string& host) {
    CURLU* u = curl_url();
    if (!u) return false;
    char *s = nullptr, *h = nullptr;
    bool ok = curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
              curl_url_get(u, CURLUPART_SCHEME, &s, 0) == CURLUE_OK && curl_url_get(u, CURLUPART_HOST, &h, 0) == CURLUE_OK;
    if (ok) {
        scheme = s, host = h;
        for (auto* t : {&scheme, &host})
            for (char& c : *t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    curl_free(s);
    curl_free(h);
    curl_url_cleanup(u);
    return ok;
}

// The absolute URL a Location header points at, from the URL it answered.
std::optional<std::string> redirect_target(const std::string& from, const std::string& location) {
    CURLU* u = curl_url();
    if (!u) return std::nullopt;
    char* full = nullptr;
    std::optional<std::string> out;
    if (curl_url_set(u, CURLUPART_URL, from.c_str(), 0) == CURLUE_OK &&
        curl_url_set(u, CURLUPART_URL, location.c_str(), 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_URL, &full, 0) == CURLUE_OK)
        out = std::string(full);
    curl_free(full);
    curl_url_cleanup(u);
    return out;
}

// How long a 429 or 503 asks to be left alone, in seconds.
std::optional<double> retry_after_seconds(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() && *end == '\0' && v >= 0) return v;
    const time_t when = curl_getdate(text.c_str(), nullptr);
    if (when < 0) return std::nullopt;
    return std::max<double>(0, static_cast<double>(when - std::time(nullptr)));
}

std::string status_text(long status) {
    switch (status) {
        case 401: return "HTTP 401 (unauthorized)";
        case 403: return "HTTP 403 (forbidden)";
        case 404: return "HTTP 404 (not found)";
        case 416: return "HTTP 416 (range not satisfiable)";
        default: return "HTTP " + std::to_string(status);
    }
}

// The status of a failed answer, with the error code an object store put in its XML body
// ("<Code>AccessDenied</Code>") when there is one: "HTTP 403 (forbidden): AccessDenied".
std::string failure_text(const Answer& a) {
    std::string text = status_text(a.status);
    const std::size_t open = a.error_body.find("<Code>");
    if (open == std::string::npos) return text;
    const std::size_t from = open + 6, close = a.error_body.find("</Code>", from);
    if (close == std::string::npos || close - from > 64 || close == from) return text;
    for (std::size_t i = from; i < close; ++i)
        if (!std::isalnum(static_cast<unsigned char>(a.error_body[i])) && a.error_body[i] != '.') return text;
    return text + ": " + a.error_body.substr(from, close - from);
}

FaidxError changed_error(const std::string& url) {
    return io_error("the remote file changed while it was open: " + url);
}

// A range request, as the source (or an opening) makes it.
struct RangeRequest {
    const std::string* url;      // for messages
    std::string target;          // where the request goes (after the opening's redirects)
    std::uint64_t first, last;   // bytes asked for, both included
    bool opening = false;        // the size is learnt from this answer
    const RemoteIdentity* expect = nullptr;  // the validator every later answer must carry
    const FaidxError* missing = nullptr;     // what a 404 at opening is
    std::atomic<bool>* stop = nullptr;       // shared by the requests of one staged read
};

void set_options(CURL* curl, CURLSH* share, const HttpSettings& settings, const std::string& target,
                 const std::string& range, curl_slist* headers, Answer& answer) {
    curl_easy_reset(curl);
    curl_easy_setopt(curl, CURLOPT_SHARE, share);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_URL, target.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS);
#endif
    curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);  // redirects are checked and followed here
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, settings.timeout_seconds);
    // A transfer that stalls for the time-out fails and is retried; a slow one that moves goes on.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, settings.timeout_seconds);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!settings.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, settings.ca_file.c_str());
    if (!settings.ca_dir.empty()) curl_easy_setopt(curl, CURLOPT_CAPATH, settings.ca_dir.c_str());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "sekva");
#if LIBCURL_VERSION_NUM >= 0x074b00
    if (!settings.auth.sigv4.empty()) {
        // libcurl signs each request itself (Signature V4), so the secret never travels.
        curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, settings.auth.sigv4.c_str());
        curl_easy_setopt(curl, CURLOPT_USERNAME, settings.auth.access_key.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, settings.auth.secret_key.c_str());
    }
#endif
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, answer.curl_error);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &answer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
}

// Checks a 206 against what was asked. At opening, fills `identity` (size and validator).
Status check_partial(const RangeRequest& req, const Answer& a, RemoteIdentity* identity) {
    const std::string& url = *req.url;
    std::uint64_t first, last;
    std::optional<std::uint64_t> total;
    if (!parse_content_range(a.content_range, first, last, total) || first > last)
        return io_error("the server answered with a missing or malformed Content-Range (\"" + a.content_range +
                        "\"): " + url);
    if (req.opening) {
        if (!total || first != 0 || *total == 0 || last != std::min(req.last, *total - 1))
            return io_error("the server answered a range that was not asked for (Content-Range \"" + a.content_range +
                            "\"): " + url);
        identity->size = *total;
        identity->etag = a.etag;
        identity->last_modified = a.last_modified;
    } else {
        if (first != req.first || last != req.last || (total && *total != req.expect->size))
            return io_error("the server answered a range that was not asked for (Content-Range \"" + a.content_range +
                            "\", asked bytes " + std::to_string(req.first) + "-" + std::to_string(req.last) + "): " + url);
        const RemoteIdentity& seen = *req.expect;
        if (!seen.etag.empty() ? a.etag != seen.etag : a.last_modified != seen.last_modified)
            return changed_error(url);
    }
    if (a.got != last - first + 1)
        return io_error("the server sent " + std::to_string(a.got) + " bytes for a range of " +
                        std::to_string(last - first + 1) + ": " + url);
    return success;
}

// One range request to its end: redirects checked and followed, faults retried. The body lands in
// [out, out + capacity); `got` says how much came. At opening, `identity` receives what was learnt.
Status fetch_range(const HttpSettings& settings, RangeRequest req, char* out, std::size_t capacity, std::size_t& got,
                   RemoteIdentity* identity) {
    const std::string& url = *req.url;
    CURLSH* share = nullptr;
    CURL* curl = this_thread_handle(share);
    if (!curl) return io_error("could not set up libcurl to read " + url);
    const std::string range = std::to_string(req.first) + "-" + std::to_string(req.last);

    curl_slist* headers = nullptr;
    struct HeadersOwner {
        curl_slist*& list;
        ~HeadersOwner() { curl_slist_free_all(list); }
    } owner{headers};
    // No compression: the length and Content-Range checks are on the object's own bytes.
    headers = curl_slist_append(headers, "Accept-Encoding: identity");
    for (const std::string& line : settings.auth.headers)
        if (curl_slist* h = curl_slist_append(headers, line.c_str())) headers = h;
    if (req.expect) {
        const RemoteIdentity& seen = *req.expect;
        // A weak ETag never matches If-Match; the time stamp stands in for it then.
        if (!seen.etag.empty() && seen.etag.rfind("W/", 0) != 0) {
            if (curl_slist* h = curl_slist_append(headers, ("If-Match: " + seen.etag).c_str())) headers = h;
        } else if (!seen.last_modified.empty()) {
            if (curl_slist* h = curl_slist_append(headers, ("If-Unmodified-Since: " + seen.last_modified).c_str()))
                headers = h;
        }
    }
    if (!headers) return io_error_from_errno(ENOMEM);

    int redirects = 0;
    std::string last_fault;
    const auto began = std::chrono::steady_clock::now();
    for (int attempt = 0;; ++attempt) {
        Answer a;
        a.out = out;
        a.capacity = capacity;
        a.curl = curl;
        a.stop = req.stop;
        set_options(curl, share, settings, req.target, range, headers, a);
        request_count.fetch_add(1, std::memory_order_relaxed);
        a.code = waiting([&] { return curl_easy_perform(curl); });
        if (!a.status_known || a.status == 0) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &a.status);

        std::optional<double> wait;
        if (a.interrupted || (a.stop && a.stop->load())) return interrupted_error();
        if (a.whole_object)
            return io_error("the server ignored the byte range and sent the whole file (HTTP 200): " + url);
        if (a.over_long)
            return io_error("the server sent more bytes than the range asked for: " + url);
        if (a.code != CURLE_OK && !(a.body_cut && a.code == CURLE_WRITE_ERROR)) {
            if (!transient(a.code))
                return io_error("cannot read " + url + ": " +
                                (a.curl_error[0] ? std::string(a.curl_error) : curl_easy_strerror(a.code)));
            last_fault = a.curl_error[0] ? std::string(a.curl_error) : curl_easy_strerror(a.code);
        } else if (a.status == 206) {
            if (Status err = check_partial(req, a, identity)) return err;
            got = a.got;
            if (identity) identity->resolved = req.target;
            return success;
        } else if (a.status == 416 && req.opening) {
            // An empty object has no first byte to ask for: "bytes */0".
            std::uint64_t f, l;
            std::optional<std::uint64_t> total;
            if (parse_content_range(a.content_range, f, l, total) && total && *total == 0) {
                identity->size = 0;
                identity->etag = a.etag;
                identity->last_modified = a.last_modified;
                identity->resolved = req.target;
                got = 0;
                return success;
            }
            return io_error("cannot read " + url + ": " + failure_text(a));
        } else if (a.status == 412 || (a.status == 404 && !req.opening)) {
            return changed_error(url);
        } else if (a.status == 404) {
            return *req.missing;
        } else if (a.status == 403 && req.opening && req.missing->kind == ErrorKind::IndexNotFound &&
                   is_object_store_name(url)) {
            // S3 answers 403, not 404, for a key that is not there when the reader may not list the
            // bucket: an index beside a readable file that cannot be read is one to build.
            return *req.missing;
        } else if (a.status >= 300 && a.status < 400 && a.status != 304 && !a.location.empty()) {
            auto target = redirect_target(req.target, a.location);
            std::string from_scheme, from_host, to_scheme, to_host;
            if (!target || !scheme_and_host(req.target, from_scheme, from_host) ||
                !scheme_and_host(*target, to_scheme, to_host))
                return io_error("cannot read " + url + ": a redirect to an unreadable location");
            if (to_scheme != "https" && (to_scheme != from_scheme || to_host != from_host))
                return io_error("cannot read " + url + ": refused a redirect to " + to_scheme + "://" + to_host +
                                " (only to https, or within the same scheme and host)");
            // Credentials go only where the user sent them.
            if (settings.auth.signed_or_bearer() && (to_scheme != from_scheme || to_host != from_host))
                return io_error("cannot read " + url + ": refused a redirect to " + to_scheme + "://" + to_host +
                                " with credentials (only within the same scheme and host)");
            if (++redirects > MAX_REDIRECTS) return io_error("cannot read " + url + ": too many redirects");
            req.target = *target;
            --attempt;  // a redirect is no failed attempt
            continue;
        } else if (a.status == 429 || a.status >= 500) {
            last_fault = status_text(a.status);
            wait = retry_after_seconds(a.retry_after);
        } else {
            return io_error("cannot read " + url + ": " + failure_text(a));
        }
        if (attempt >= settings.retries)
            return io_error("cannot read " + url + ": " + last_fault + " (after " + std::to_string(attempt + 1) +
                            " attempts)");
        // Exponential back-off with jitter, or what the server asked for; no retry starts once the
        // request has been at it for a minute.
        const double cap = std::min(8.0, 0.25 * static_cast<double>(1u << std::min(attempt, 10)));
        thread_local std::mt19937_64 jitter(std::random_device{}());
        double delay = std::uniform_real_distribution<double>(cap / 2, cap)(jitter);
        if (wait) delay = std::min(*wait, MAX_WAIT_SECONDS);
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - began;
        if (spent.count() + delay > MAX_WAIT_SECONDS)
            return io_error("cannot read " + url + ": " + last_fault + " (gave up after " +
                            std::to_string(attempt + 1) + " attempts in " +
                            std::to_string(static_cast<int>(spent.count())) + " seconds)");
        // The back-off sleeps in slices, so that the user can interrupt it.
        const bool stopped = waiting([&] {
            const auto until = std::chrono::steady_clock::now() +
                               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                   std::chrono::duration<double>(delay));
            std::chrono::steady_clock::time_point asked{};
            while (std::chrono::steady_clock::now() < until) {
                if (interrupted_now(asked, req.stop)) return true;
                const std::chrono::steady_clock::duration slice = INTERRUPT_CHECK;
                std::this_thread::sleep_for(std::min(slice, until - std::chrono::steady_clock::now()));
            }
            return false;
        });
        if (stopped) return interrupted_error();
    }
}

}  // namespace

std::optional<std::int64_t> RemoteIdentity::modified_time() const {
    if (last_modified.empty()) return std::nullopt;
    const time_t t = curl_getdate(last_modified.c_str(), nullptr);
    if (t < 0) return std::nullopt;
    return static_cast<std::int64_t>(t);
}

Result<std::shared_ptr<HttpSource>> HttpSource::open(const std::string& url, const FaidxError& missing) {
    try {
        HttpSettings settings = HttpSettings::from_environment();
        auto resolved = resolve_remote_url(url);
        if (!resolved.ok()) return std::move(resolved.error());
        settings.auth = std::move(resolved.value().auth);
        RemoteIdentity identity;
        identity.url = url;
        std::string head(OPENING_BYTES, '\0');
        std::size_t got = 0;
        RangeRequest req{&url, std::move(resolved.value().target), 0, OPENING_BYTES - 1, true, nullptr, &missing};
        if (Status err = fetch_range(settings, req, head.data(), head.size(), got, &identity)) return *err;
        head.resize(got);
        const std::size_t budget = settings.cache_bytes;
        auto source = std::make_shared<HttpSource>(std::move(identity), std::move(settings), WINDOW, budget);
        source->to_cache(0, std::move(head));
        return source;
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    }
}

Result<std::size_t> HttpSource::read_some(std::uint64_t offset, std::size_t n, char* out) const {
    const std::uint64_t size = identity_.size;
    if (offset >= size || n == 0) return std::size_t{0};
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size - offset));
    if (auto staged = from_staged(offset, n, out)) return std::move(*staged);
    std::size_t got = 0;
    if (from_cache(offset, n, out, got)) return got;
    try {
        if (n >= window_) {
            // A long read goes straight to the caller, in one bounded request.
            n = std::min(n, piece_bytes());
            RangeRequest req{&identity_.url, identity_.resolved, offset, offset + n - 1, false, &identity_, nullptr};
            if (Status err = fetch_range(settings_, req, out, n, got, nullptr)) return std::move(*err);
            return got;
        }
        // A short one fetches the aligned window around it, or, where it crosses a window's edge, a
        // window of the same size centred on it: never more than one window per read.
        std::uint64_t start = offset - offset % window_;
        if (offset + n > start + window_) {
            const std::uint64_t slack = (window_ - n) / 2;
            start = offset - std::min<std::uint64_t>(offset, slack);
            start -= start % 4096;
            if (start + window_ < offset + n) start = offset;
        }
        const std::uint64_t end = std::min<std::uint64_t>(start + window_, size);
        std::string piece(static_cast<std::size_t>(end - start), '\0');
        RangeRequest req{&identity_.url, identity_.resolved, start, end - 1, false, &identity_, nullptr};
        if (Status err = fetch_range(settings_, req, piece.data(), piece.size(), got, nullptr)) return std::move(*err);
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, end - offset));
        std::memcpy(out, piece.data() + (offset - start), take);
        to_cache(start, std::move(piece));
        return take;
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    }
}

std::unique_ptr<StagedReads> HttpSource::stage(std::span<const ByteSpan> spans) const {
    if (one_pass_) return nullptr;
    try {
        // Spans a live staging holds whole are dropped at once; the rest lose what it holds.
        std::vector<ByteSpan> wanted;
        {
            std::lock_guard<std::mutex> lock(cache_mutex_);
            for (ByteSpan s : spans) {
                s.end = std::min(s.end, identity_.size);
                if (s.begin >= s.end) continue;
                bool held = false;
                for (const HttpStaging* staging : staged_) {
                    const HttpStaging::Piece* p = staging->find(s.begin);
                    if ((held = p && !p->error && p->start + p->size >= s.end)) break;
                }
                // ... and so are spans the cache of recent pieces holds (the opening's first bytes).
                for (const Piece& p : pieces_)
                    held = held || (p.start <= s.begin && s.end <= p.start + p.bytes.size());
                if (!held) wanted.push_back(s);
            }
        }
        if (wanted.empty()) return nullptr;
        const std::vector<ByteSpan> requests = plan_requests(not_staged(wanted), LONGEST_REQUEST, WIDEST_GAP);
        if (requests.empty()) return nullptr;
        auto staging = std::make_unique<HttpStaging>(*this);
        staging->pieces.resize(requests.size());
        for (std::size_t i = 0; i < requests.size(); ++i) {
            HttpStaging::Piece& p = staging->pieces[i];
            p.start = requests[i].begin;
            p.size = requests[i].end - requests[i].begin;
            p.bytes = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(p.size));
        }
        std::atomic<std::size_t> next{0};
        std::atomic<bool> stop{false};  // the user interrupted one request: the others end too
        auto fetch_pieces = [&] {
            for (std::size_t i; (i = next.fetch_add(1)) < staging->pieces.size();) {
                HttpStaging::Piece& p = staging->pieces[i];
                if (stop.load()) {
                    p.error = interrupted_error();
                    continue;
                }
                RangeRequest req{&identity_.url, identity_.resolved, p.start, p.start + p.size - 1, false, &identity_, nullptr,
                                 &stop};
                std::size_t got = 0;
                if (Status err = fetch_range(settings_, req, p.bytes.get(), static_cast<std::size_t>(p.size), got, nullptr))
                    p.error = std::move(*err);
            }
        };
        // The calling thread fetches too; helpers are plain threads that only make requests. The
        // calling thread then waits for them, asking now and then whether the user interrupted.
        std::vector<std::thread> helpers;
        std::mutex mutex;
        std::condition_variable finished;
        std::size_t done = 0;
        const std::size_t most = static_cast<std::size_t>(std::max(settings_.connections, 1));
        try {
            while (helpers.size() + 1 < std::min(most, requests.size()))
                helpers.emplace_back([&] {
                    fetch_pieces();
                    std::lock_guard<std::mutex> lock(mutex);
                    ++done;
                    finished.notify_one();
                });
        } catch (const std::system_error&) {
            // No more threads: fewer requests at once.
        }
        fetch_pieces();
        waiting([&] {
            std::chrono::steady_clock::time_point asked{};
            std::unique_lock<std::mutex> lock(mutex);
            while (!finished.wait_for(lock, INTERRUPT_CHECK, [&] { return done == helpers.size(); })) {
                lock.unlock();
                interrupted_now(asked, &stop);
                lock.lock();
            }
            lock.unlock();
            for (std::thread& t : helpers) t.join();
            return 0;
        });
        std::lock_guard<std::mutex> lock(cache_mutex_);
        staged_.push_back(staging.get());
        staging->registered = true;
        return staging;
    } catch (const std::bad_alloc&) {
        return nullptr;  // the reads are then made one by one
    }
}

Result<std::optional<std::string>> fetch_remote_file(const std::string& url, RemoteIdentity* identity) {
    auto opened = HttpSource::open(url, FaidxError{ErrorKind::IndexNotFound, url});
    if (!opened.ok()) {
        if (opened.error().kind == ErrorKind::IndexNotFound) return std::optional<std::string>();
        return std::move(opened.error());
    }
    const HttpSource& source = *opened.value();
    try {
        std::string text(static_cast<std::size_t>(source.size()), '\0');
        auto got = read_at(source, 0, source.size(), text.data());
        if (!got.ok()) return std::move(got.error());
        if (identity) *identity = source.identity();
        return std::optional<std::string>(std::move(text));
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    }
}

#else  // built without libcurl

bool remote_access_built() { return false; }

std::optional<std::int64_t> RemoteIdentity::modified_time() const { return std::nullopt; }

Result<std::shared_ptr<HttpSource>> HttpSource::open(const std::string& url, const FaidxError&) {
    return no_remote_access_error(url);
}

Result<std::size_t> HttpSource::read_some(std::uint64_t, std::size_t, char*) const {
    return no_remote_access_error(identity_.url);
}

std::unique_ptr<StagedReads> HttpSource::stage(std::span<const ByteSpan>) const { return nullptr; }

Result<std::optional<std::string>> fetch_remote_file(const std::string& url, RemoteIdentity*) {
    return no_remote_access_error(url);
}

#endif

}  // namespace sekva
