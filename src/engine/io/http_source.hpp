// Files over HTTP(S): a byte source that reads bounded, checked byte ranges through libcurl, with a
// small cache of recent pieces, and the fetching of small remote files (indexes) whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/error.hpp"
#include "engine/io/byte_source.hpp"
#include "engine/io/remote_auth.hpp"

namespace sekva {

// Whether `name` is a URL sekva reads remotely (http://, https://, s3://, gs://, the scheme in any
// case); any other name is a local path.
bool is_remote_name(std::string_view name);
// Whether this build reads remote files at all (it was built with libcurl).
bool remote_access_built();
// Io "sekva was built without remote access (libcurl): {url}".
FaidxError no_remote_access_error(const std::string& url);

// Called on the waiting thread around every wait for the network (a request, a back-off): the host
// lets its other threads run meanwhile, and may stop the wait. `before` returns what `after` is given back. Set once,
// before any file is opened.
struct NetworkWaitHooks {
    void* (*before)() = nullptr;
    void (*after)(void* token) = nullptr;
    // Asked now and then during a wait, on the waiting thread, without the host lock: true when the
    // user interrupted it (the host has raised its exception), and the wait ends with
    // interrupted_error().
    bool (*interrupted)() = nullptr;
};
void set_network_wait_hooks(NetworkWaitHooks hooks);

// What identifies one version of a remote object: its size and validator, as the answer to the
// opening request gave them. A later answer with another validator is another object.
struct RemoteIdentity {
    std::string url;            // as given: what messages name
    std::string resolved;       // where the opening request ended after redirects (an object
                                // store's https URL for s3:// and gs://): what is read
    std::uint64_t size = 0;
    std::string etag;           // empty when the server gave none
    std::string last_modified;  // the Last-Modified header as sent, empty when none
    // The validator as one text ("etag:..." or "modified:...;size:..."): what a cached index is keyed by.
    std::string validator() const;
    // Last-Modified in seconds since the epoch, when the server gave one that parses.
    std::optional<std::int64_t> modified_time() const;
};

// How a source's requests are made: read from the SEKVA_HTTP_* and CA variables when the source is
// opened.
struct HttpSettings {
    int retries = 4;             // further attempts after a failed one (time-outs, 429, 5xx, drops)
    long timeout_seconds = 30;   // to connect, and the longest stall of a transfer
    std::string ca_file;         // CURL_CA_BUNDLE, else SSL_CERT_FILE; empty: libcurl's default
    std::string ca_dir;          // SSL_CERT_DIR
    int connections = 32;        // SEKVA_HTTP_CONNECTIONS: requests a staged read makes at once
    std::size_t cache_bytes = 4 << 20;  // SEKVA_HTTP_CACHE_MB: the cache of recent pieces
    RemoteAuth auth;             // an object store's credentials (resolve_remote_url), else none
    static HttpSettings from_environment();
};

// The requests that read `spans` (sorted by begin): overlapping spans read once, the gaps between
// them bridged smallest first while no gap is wider than `widest_gap` and the bytes moved stay
// within 1.25 times the spans' own (a span holds its region's bases and up to a line more: the
// bases alone then move at most 1.5 times over for regions of two lines or more), and no request
// longer than `longest`.
std::vector<ByteSpan> plan_requests(std::span<const ByteSpan> spans, std::uint64_t longest, std::uint64_t widest_gap);

class HttpStaging;

// The bytes of a remote object as they were when it was opened. Every request asks for a bounded
// range, If-Match (or If-Unmodified-Since) the validator seen at opening, and every answer is
// checked (206, Content-Range, body length, validator) before a byte of it is used. Small reads go
// through a cache of recent pieces shared by all threads; long ones go straight to the caller.
class HttpSource final : public ByteSource {
public:
    // One ranged GET of the first bytes learns the size and validator (the bytes stay cached). A
    // 404 fails with `missing` (kind and payload); every other failure is Io naming the URL.
    static Result<std::shared_ptr<HttpSource>> open(const std::string& url, const FaidxError& missing);

    std::uint64_t size() const override { return identity_.size; }
    Result<std::size_t> read_some(std::uint64_t offset, std::size_t n, char* out) const override;
    std::size_t piece_bytes() const override { return 4 << 20; }
    // Bulk jobs take their ranges in file order and hand them over first (a pass over the whole
    // object reads in large pieces instead).
    bool ordered_reads() const override { return !one_pass_; }
    bool stages_reads() const override { return !one_pass_; }
    // Plans the spans' requests (plan_requests) and makes SEKVA_HTTP_CONNECTIONS of them at once,
    // skipping what an earlier staging still holds.
    std::unique_ptr<StagedReads> stage(std::span<const ByteSpan> spans) const override;
    // A nul in bases is read from the object itself: no remote object shrinks under a map.
    FaidxError nul_error() const override;
    // The same object for one pass from start to end (an index build, a block scan): read in
    // large pieces, through a cache of its own.
    std::shared_ptr<const HttpSource> sequential() const;

    const RemoteIdentity& identity() const { return identity_; }
    // Requests made and body bytes received by all sources of this process: what tests count.
    static std::uint64_t requests_made();

    HttpSource(RemoteIdentity identity, HttpSettings settings, std::size_t window, std::size_t budget);

private:
    friend class HttpStaging;
    struct Piece {
        std::uint64_t start = 0;
        std::string bytes;
        std::uint64_t used = 0;
    };
    bool from_cache(std::uint64_t offset, std::size_t n, char* out, std::size_t& got) const;
    // A read inside a staged piece: its bytes (or its error); nothing when no staging holds it.
    std::optional<Result<std::size_t>> from_staged(std::uint64_t offset, std::size_t n, char* out) const;
    // The parts of `spans` no live staging holds.
    std::vector<ByteSpan> not_staged(std::span<const ByteSpan> spans) const;
    void unstage(const HttpStaging* staging) const;
    void to_cache(std::uint64_t start, std::string bytes) const;

    RemoteIdentity identity_;
    HttpSettings settings_;
    std::size_t window_;  // the bytes one small read fetches around itself
    std::size_t budget_;  // the most bytes the cache keeps
    mutable std::mutex cache_mutex_;
    mutable std::vector<Piece> pieces_;
    mutable std::uint64_t tick_ = 0;
    bool one_pass_ = false;  // made by sequential()
    mutable std::vector<const HttpStaging*> staged_;  // guarded by cache_mutex_
};

// The whole remote file at `url` (an index, which is small), read in bounded ranges; nothing when
// it is not there (404). `identity`, when given, receives the file's identity.
Result<std::optional<std::string>> fetch_remote_file(const std::string& url, RemoteIdentity* identity = nullptr);

}  // namespace sekva
