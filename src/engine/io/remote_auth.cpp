// Object-store URLs resolved to HTTPS requests: bucket and key, endpoint, region and credentials
// found the way the AWS and Google tools find them, never written into a message.
#include "engine/io/remote_auth.hpp"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <optional>

#ifdef SEKVA_HAVE_CURL
#include <curl/curl.h>
#endif

namespace sekva {

namespace {

bool starts_with_nocase(std::string_view text, std::string_view lead) {
    if (text.size() < lead.size()) return false;
    for (std::size_t i = 0; i < lead.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != lead[i]) return false;
    return true;
}

std::optional<std::string> env(const char* name) {
    const char* v = std::getenv(name);
    if (!v || !*v) return std::nullopt;
    return std::string(v);
}

bool truthy(const std::optional<std::string>& v) {
    if (!v) return false;
    std::string t;
    for (char c : *v) t += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return t == "true" || t == "1" || t == "yes" || t == "on";
}

std::string trimmed(std::string_view v) {
    while (!v.empty() && std::isspace(static_cast<unsigned char>(v.front()))) v.remove_prefix(1);
    while (!v.empty() && std::isspace(static_cast<unsigned char>(v.back()))) v.remove_suffix(1);
    return std::string(v);
}

// The whole of a small text file; nothing when it cannot be opened.
std::optional<std::string> read_small_file(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return std::nullopt;
    std::string text;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0 && text.size() < (1u << 20)) text.append(buffer, got);
    std::fclose(f);
    return text;
}

using Section = std::map<std::string, std::string>;

// One section of an AWS-style INI file ("key = value" lines under "[name]"); nothing when the file
// or the section is missing.
std::optional<Section> ini_section(const std::string& path, const std::string& wanted) {
    auto text = read_small_file(path);
    if (!text) return std::nullopt;
    std::optional<Section> found;
    bool inside = false;
    std::size_t at = 0;
    while (at < text->size()) {
        std::size_t end = text->find('\n', at);
        if (end == std::string::npos) end = text->size();
        const std::string line = trimmed(std::string_view(*text).substr(at, end - at));
        at = end + 1;
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            inside = trimmed(std::string_view(line).substr(1, line.size() - 2)) == wanted;
            if (inside && !found) found.emplace();
            continue;
        }
        const std::size_t eq = line.find('=');
        if (!inside || eq == std::string::npos) continue;
        std::string key = trimmed(std::string_view(line).substr(0, eq));
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        (*found)[key] = trimmed(std::string_view(line).substr(eq + 1));
    }
    return found;
}

std::optional<std::string> field(const std::optional<Section>& section, const char* key) {
    if (!section) return std::nullopt;
    auto it = section->find(key);
    if (it == section->end() || it->second.empty()) return std::nullopt;
    return it->second;
}

// A key as a URL path: every byte but the unreserved ones and '/' percent-encoded, as S3 and GCS
// expect of a key that holds spaces or other characters.
std::string encoded_key(std::string_view key) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : key) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// Text that goes into a request header: printable ASCII only, so no value can add a header.
bool header_safe(const std::string& v) {
    for (unsigned char c : v)
        if (c < 0x20 || c > 0x7e) return false;
    return true;
}

// "scheme://bucket/key" split; an Io error naming the URL when either part is missing.
Status split_bucket_key(const std::string& url, std::size_t scheme_length, std::string& bucket, std::string& key) {
    const std::string_view rest = std::string_view(url).substr(scheme_length);
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos || slash == 0 || slash + 1 == rest.size())
        return io_error("an object-store URL names a bucket and a key (scheme://bucket/key): " + url);
    bucket = std::string(rest.substr(0, slash));
    key = std::string(rest.substr(slash + 1));
    for (unsigned char c : bucket)
        if (!(std::isalnum(c) || c == '-' || c == '.' || c == '_'))
            return io_error("not a bucket name (letters, digits, '-', '.', '_'): " + url);
    return success;
}

// An endpoint named by the user: "http(s)://host[:port][/path]" without its trailing slash.
Result<std::string> endpoint_from(const std::string& variable, std::string value) {
    if (!starts_with_nocase(value, "http://") && !starts_with_nocase(value, "https://"))
        return io_error(variable + " is not an http:// or https:// URL: " + value);
    while (!value.empty() && value.back() == '/') value.pop_back();
    return value;
}

// Whether this libcurl signs requests itself (CURLOPT_AWS_SIGV4, libcurl 7.75).
Status check_signing_support() {
#ifdef SEKVA_HAVE_CURL
#if LIBCURL_VERSION_NUM >= 0x074b00
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info && info->version_num >= 0x074b00) return success;
    return io_error(std::string("signing S3 requests needs libcurl 7.75 or later; this one is ") +
                    (info && info->version ? info->version : "older") +
                    " (set AWS_NO_SIGN_REQUEST=true to read a public bucket unsigned)");
#else
    return io_error("sekva was built against a libcurl older than 7.75, which cannot sign S3 requests "
                    "(set AWS_NO_SIGN_REQUEST=true to read a public bucket unsigned)");
#endif
#else
    return success;
#endif
}

Result<ResolvedUrl> resolve_s3(const std::string& url) {
    std::string bucket, key;
    if (Status err = split_bucket_key(url, 5, bucket, key)) return *err;
    ResolvedUrl out;

    const std::string profile = env("AWS_PROFILE").value_or("default");
    const std::string home = env("HOME").value_or("");
    const std::string credentials_file =
        env("AWS_SHARED_CREDENTIALS_FILE").value_or(home.empty() ? "" : home + "/.aws/credentials");
    const std::string config_file = env("AWS_CONFIG_FILE").value_or(home.empty() ? "" : home + "/.aws/config");
    const std::optional<Section> credentials = credentials_file.empty() ? std::nullopt
                                                                        : ini_section(credentials_file, profile);
    const std::optional<Section> config =
        config_file.empty() ? std::nullopt
                            : ini_section(config_file, profile == "default" ? profile : "profile " + profile);

    std::optional<std::string> access = env("AWS_ACCESS_KEY_ID"), secret = env("AWS_SECRET_ACCESS_KEY"),
                               token = env("AWS_SESSION_TOKEN");
    const bool keys_in_environment = access && secret;
    if (!keys_in_environment) {
        // A profile's keys: from the credentials file, else from the config file.
        const std::optional<Section>& from = field(credentials, "aws_access_key_id") ? credentials : config;
        access = field(from, "aws_access_key_id");
        secret = field(from, "aws_secret_access_key");
        token = field(from, "aws_session_token");
    }
    const bool unsigned_requests = truthy(env("AWS_NO_SIGN_REQUEST"));
    // A profile asked for by name that is nowhere is a mistake to tell, not a reason to go anonymous.
    if (env("AWS_PROFILE") && !credentials && !config && !keys_in_environment && !unsigned_requests)
        return io_error("the AWS profile '" + profile + "' is in neither " + credentials_file + " nor " + config_file +
                        ": " + url);

    std::string region = env("AWS_REGION").value_or(
        env("AWS_DEFAULT_REGION").value_or(field(config, "region").value_or(field(credentials, "region").value_or("us-east-1"))));
    for (unsigned char c : region)
        if (!(std::isalnum(c) || c == '-')) return io_error("not an AWS region: '" + region + "'");

    std::optional<std::string> endpoint_variable;
    for (const char* name : {"AWS_ENDPOINT_URL_S3", "AWS_ENDPOINT_URL"})
        if (env(name)) {
            endpoint_variable = name;
            break;
        }
    if (endpoint_variable) {
        auto endpoint = endpoint_from(*endpoint_variable, *env(endpoint_variable->c_str()));
        if (!endpoint.ok()) return std::move(endpoint.error());
        out.target = endpoint.value() + "/" + bucket + "/" + encoded_key(key);
        out.auth.plain_http_allowed = starts_with_nocase(endpoint.value(), "http://");
    } else if (bucket.find_first_of("._ABCDEFGHIJKLMNOPQRSTUVWXYZ") != std::string::npos) {
        // A bucket whose name is no host name label (dotted ones would not match the wildcard
        // certificate either): path-style.
        out.target = "https://s3." + region + ".amazonaws.com/" + bucket + "/" + encoded_key(key);
    } else {
        out.target = "https://" + bucket + ".s3." + region + ".amazonaws.com/" + encoded_key(key);
    }

    if (unsigned_requests || !access || !secret) return out;
    if (Status err = check_signing_support()) return *err;
    if (!header_safe(*access) || !header_safe(*secret) || (token && !header_safe(*token)))
        return io_error("the AWS credentials hold characters no key holds (a line break?): " + url);
    out.auth.sigv4 = "aws:amz:" + region + ":s3";
    out.auth.access_key = *access;
    out.auth.secret_key = *secret;
    // The hash of the empty body of a GET: S3 wants it named, and it is what libcurl signs.
    out.auth.headers.push_back("x-amz-content-sha256: e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    if (token) out.auth.headers.push_back("x-amz-security-token: " + *token);
    return out;
}

Result<ResolvedUrl> resolve_gs(const std::string& url) {
    std::string bucket, key;
    if (Status err = split_bucket_key(url, 5, bucket, key)) return *err;
    ResolvedUrl out;
    std::string endpoint = "https://storage.googleapis.com";
    if (auto named = env("SEKVA_GCS_ENDPOINT")) {
        auto checked = endpoint_from("SEKVA_GCS_ENDPOINT", *named);
        if (!checked.ok()) return std::move(checked.error());
        endpoint = checked.value();
        out.auth.plain_http_allowed = starts_with_nocase(endpoint, "http://");
    }
    out.target = endpoint + "/" + bucket + "/" + encoded_key(key);

    std::optional<std::string> token = env("GOOGLE_OAUTH_ACCESS_TOKEN");
    if (!token) {
        if (auto file = env("SEKVA_GCS_TOKEN_FILE")) {
            auto text = read_small_file(*file);
            if (!text) return io_error("cannot read the token file named by SEKVA_GCS_TOKEN_FILE: " + *file);
            token = trimmed(*text);
            if (token->empty()) return io_error("the token file named by SEKVA_GCS_TOKEN_FILE is empty: " + *file);
        }
    }
    if (token) {
        if (!header_safe(*token)) return io_error("the Google access token holds characters no token holds: " + url);
        out.auth.headers.push_back("Authorization: Bearer " + *token);
    }
    return out;
}

}  // namespace

bool is_object_store_name(std::string_view name) {
    return starts_with_nocase(name, "s3://") || starts_with_nocase(name, "gs://");
}

Result<ResolvedUrl> resolve_remote_url(const std::string& url) {
    try {
        if (starts_with_nocase(url, "s3://")) return resolve_s3(url);
        if (starts_with_nocase(url, "gs://")) return resolve_gs(url);
        return ResolvedUrl{url, {}};
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    }
}

}  // namespace sekva
