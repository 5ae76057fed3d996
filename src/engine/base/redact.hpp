// Hiding what a URL's query may carry (a presigned URL's signature, a token) wherever a name is shown.
#pragma once

#include <string>
#include <string_view>

namespace sekva {

// `text` with the query (and fragment) of every URL in it shown as "?<redacted>": a URL is read
// with its query whole, but a signature or token in it never reaches a message, warning or repr.
// A URL here is any run of non-space characters holding "://"; other text is left as it is.
std::string redact_urls(std::string_view text);

}  // namespace sekva
