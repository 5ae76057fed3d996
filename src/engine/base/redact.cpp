// Redaction of URL queries in shown text.
#include "engine/base/redact.hpp"

namespace sekva {

namespace {

bool ends_token(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '"' || c == '\'' || c == '<' || c == '>'; }

}  // namespace

std::string redact_urls(std::string_view text) {
    if (text.find("://") == std::string_view::npos) return std::string(text);
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t scheme_end = text.find("://", at);
        if (scheme_end == std::string_view::npos) break;
        std::size_t end = scheme_end + 3;
        while (end < text.size() && !ends_token(text[end])) ++end;
        std::size_t query = scheme_end + 3;
        while (query < end && text[query] != '?' && text[query] != '#') ++query;
        if (query == end) {
            out.append(text.substr(at, end - at));
        } else {
            out.append(text.substr(at, query - at));
            out += "?<redacted>";
            // Punctuation a message put after the URL stays: "…?<redacted>: HTTP 403".
            while (end > query + 1 && (text[end - 1] == ':' || text[end - 1] == ',' || text[end - 1] == ')' ||
                                       text[end - 1] == ';' || text[end - 1] == '.'))
                --end;
            std::size_t kept = end;
            while (kept < text.size() && !ends_token(text[kept])) ++kept;
            out.append(text.substr(end, kept - end));
            end = kept;
        }
        at = end;
    }
    out.append(text.substr(at));
    return out;
}

}  // namespace sekva
