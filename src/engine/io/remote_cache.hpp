// Where indexes built for remote files are kept: a local cache directory, one file per object version.
#pragma once

#include <string>
#include <string_view>

#include "engine/io/http_source.hpp"

namespace sekva {

// The cache directory: SEKVA_CACHE_DIR, else $XDG_CACHE_HOME/sekva, else ~/.cache/sekva; made
// (with its parents) when missing. Empty when none is named or it cannot be made.
std::string remote_cache_dir();
// The file that keeps `suffix` (".fai", ".gzi") for this version of the object: named by a hash of
// its URL and validator, so an object that changed finds no file and a new one is built.
// Empty when there is no cache directory.
std::string remote_cache_path(const RemoteIdentity& object, std::string_view suffix);

}  // namespace sekva
