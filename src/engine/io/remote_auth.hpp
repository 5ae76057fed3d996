// Object-store names (s3://, gs://): where they are read from and with which credentials.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/base/error.hpp"

namespace sekva {

// Whether `name` is an object-store URL: s3://bucket/key or gs://bucket/key (the scheme in any case).
bool is_object_store_name(std::string_view name);

// How every request for one object is made beyond its URL. Empty: an anonymous request.
struct RemoteAuth {
    std::string sigv4;                 // libcurl's AWS Signature V4 provider ("aws:amz:REGION:s3")
    std::string access_key, secret_key;
    std::vector<std::string> headers;  // extra request headers (a session token, a bearer token)
    // The user named an http:// endpoint: credentials may go over plain HTTP to it.
    bool plain_http_allowed = false;
    bool signed_or_bearer() const { return !sigv4.empty() || !headers.empty(); }
};

// Where an object-store URL is read from, and how.
struct ResolvedUrl {
    std::string target;  // the http(s) URL requests go to
    RemoteAuth auth;
};

// s3:// from the AWS variables and profile files, gs:// from the Google token variables (the
// README lists them); any other URL goes out as it is, without credentials. An Io error when the
// URL names no bucket or key, or its credentials cannot be used (a profile file that cannot be
// read, a libcurl too old to sign). Messages never hold a secret.
Result<ResolvedUrl> resolve_remote_url(const std::string& url);

}  // namespace sekva
