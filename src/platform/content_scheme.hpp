// Serving the front end's files under the private "vessa" scheme, free of any web view type.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vessa::platform {

/// The outcome of one scheme request: a whole file with its headers, or one of the error
/// messages "no url", "not found: <path>", "read failed: <path>".
struct SchemeAnswer {
  bool ok = false;
  std::string error;
  std::string body;
  std::string content_type;
  /// Exactly Content-Type, Content-Length, Access-Control-Allow-Origin, Cache-Control.
  std::vector<std::pair<std::string, std::string>> headers;
};

/// The MIME type for a file-name extension (compared in lower case): the fixed table for the
/// front end's file kinds, else GIO's type database, else "application/octet-stream".
std::string mime_for_extension(std::string_view extension);

/// Serves `uri` (a full "vessa://host/path?query" address; nullopt or empty when the request
/// carried none) from the folder `root`. Every request is confined to `root`: a path that
/// climbs out of it (".." segments after decoding, symbolic links leading outside) answers
/// "not found: " + path. Routes without an extension fall back to index.html. Any thread.
SchemeAnswer serve_content_request(const std::filesystem::path& root,
                                   const std::optional<std::string>& uri);

}  // namespace vessa::platform
