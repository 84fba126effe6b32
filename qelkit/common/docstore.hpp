// The JSON file store: where a JSON file lives, and reading and writing whole
// JSON documents there.
//
// JsonFileHandler has class-level operations only and no state. A file named
// without a directory lands in the base directory, "json" below the current
// working directory unless the caller names another; the working directory is
// read at each call.
//
// Writing replaces the file atomically where the file system allows it: the
// document goes to a temporary file in the target's directory, is flushed to
// disk and renamed over the target, so readers see either the old document
// or the new one, never a truncated file, and a failing write leaves the
// previous content and no temporary behind. Temporaries that a killed writer
// left (".<name>.tmp-XXXXXX" beside the target) are removed by the next
// write, never one that a live writer still holds. Where a rename cannot
// replace the target (the file is a bind mount of its own, the directory is
// read-only, or the file has other hard links, which must keep seeing the
// new content) the file is rewritten in place, in an order that a killed
// process still leaves a readable document, and only once the room for the
// new document is secured, so that a full disk leaves the old document as
// it was. A file that the caller may not open for writing is never
// replaced. A symbolic link is followed, and the file it names written,
// only when the link belongs to this user (or root) and its directory is
// not writable by other users without the sticky bit; other links are
// refused, and so is the file of a folder (json/) that is such a link.
// A new file gets the mode the umask gives; a replaced file keeps
// its owner and permission bits. Failures of the write itself are silent;
// only preparing the directory reports errors. save_private_data is the
// variant for documents that hold credentials, and reports every failure.
//
// Reading never fails towards the caller of load_data: a missing, unreadable
// or invalid file gives a new empty object. load_data_strict tells a missing
// file (empty object) from one that exists but is unusable (an exception), for
// callers that must not mistake a damaged file for an empty one. A file that
// reads as invalid while it may be rewritten in place (it has other hard
// links, is a mount point of its own, belongs to another user, or its
// directory takes no new file from this process) is read again a few times
// over some 150 ms before it is called invalid, since such a file can be
// seen half written while a rewrite runs. Documents nested deeper than
// kMaxDepth levels are neither read nor written.
//
// Thread safety: every call stands alone and may run on any thread. Writers
// of the same file are not coordinated with each other (the last rename wins).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "qelkit/common/json.hpp"

namespace qelkit {

class JsonFileHandler {
 public:
  // Base directory used when a caller names none; relative, so resolved
  // against the working directory at the time of each call.
  static constexpr std::string_view _default_base_dir = "json";

  // The deepest nesting of arrays and objects read or written: a document
  // whose containers nest deeper (513 and more levels; a bare value is level
  // 0, "[]" level 1) is refused, since walking it could exhaust the stack.
  static constexpr int kMaxDepth = 512;

  JsonFileHandler() = delete;

  // The path to use for `filename`:
  // - an absolute filename is returned unchanged;
  // - a filename with a directory part ("users/u.json", "./u.json") is
  //   returned unchanged, relative to the working directory, whatever base_dir;
  // - otherwise base_dir (default "json") joined with filename by one
  //   separator (none added when base_dir ends in one; an empty base_dir
  //   gives the bare filename).
  // Never fails.
  static std::string get_file_path(const std::string& filename,
                                   const std::optional<std::string>& base_dir = std::nullopt);

  // Writes `data` to get_file_path(filename, base_dir) as one JSON text:
  // members and elements one per line, indented by `indent` spaces per level
  // (a negative indent counts as 0), "," at line ends, ": " after keys,
  // members in insertion order, "{}" and "[]" for empty containers,
  // non-ASCII characters as they are or, with ensure_ascii, as \uXXXX escapes
  // (surrogate pairs above U+FFFF), floats in their shortest round-trip form,
  // and no newline after the final bracket.
  //
  // Creates the file's directory with its parents when it is missing; if that
  // fails, throws SystemError naming the directory, with the system's wording,
  // and writes nothing. Every later failure (an encoding other than UTF-8, a
  // string that is not valid UTF-8, a document nested deeper than kMaxDepth,
  // a directory in the file's place, a symbolic link that is refused, a
  // failing write, a full disk, also during a rewrite in place) is silent:
  // the call returns normally and the previous file, if any, is left as it
  // was.
  static void save_data(const Json& data, const std::string& filename,
                        const std::optional<std::string>& base_dir = std::nullopt, int indent = 2,
                        bool ensure_ascii = false, const std::string& encoding = "utf-8");

  // Writes `data` like save_data with its defaults (indent 2, UTF-8 as it is)
  // to a file that holds credentials, and reports every failure. The file
  // must belong to this user and must not be writable by other users; a new
  // file is readable and writable by its owner only, and a replaced one
  // loses every group and other permission bit. A file that other users may
  // read is not rewritten in place (where a rename cannot replace it): a
  // process that opened it earlier would read the new content through its
  // descriptor, whatever its mode becomes; its mode must be tightened first.
  // Throws SystemError (with the path and the reason) when the directory
  // cannot be made, the file belongs to someone else, is writable by others,
  // is readable by others and can only be rewritten in place, or is a
  // symbolic link that is refused, or when the write fails (a full disk
  // included); the file is then left as it was. Throws InvalidArgumentError
  // for a text that is not valid UTF-8 or a document nested deeper than
  // kMaxDepth.
  static void save_private_data(const Json& data, const std::string& filename,
                                const std::optional<std::string>& base_dir = std::nullopt);

  // Throws SystemError when get_file_path(filename, base_dir), or the folder
  // that holds it, is a symbolic link that save_data and save_private_data
  // refuse to follow (see above);
  // does nothing otherwise. A caller that reads a file before rewriting it
  // checks first, so that nothing is read or moved through such a link.
  static void check_link(const std::string& filename, const std::optional<std::string>& base_dir = std::nullopt);

  // Reads the one JSON value in get_file_path(filename, base_dir) and returns
  // it as it is (null, arrays, texts and numbers are not wrapped). White
  // space around the value is allowed; anything else after it, a byte-order
  // mark, an empty file, bytes that are not UTF-8 or nesting deeper than
  // kMaxDepth make the file invalid; an invalid file that may be rewritten
  // in place (see above) is read again a few times (some 150 ms in all)
  // before it is taken as such.
  // Returns a new empty object when the file is missing, invalid or cannot be
  // read (a directory in its place, missing permission), or when `encoding`
  // is not UTF-8. Never throws.
  static Json load_data(const std::string& filename, const std::optional<std::string>& base_dir = std::nullopt,
                        const std::string& encoding = "utf-8");

  // Like load_data, but only a missing file gives a new empty object. Throws
  // InvalidArgumentError for an encoding other than UTF-8, SystemError (with
  // the path and the system's wording) for a file that exists but cannot be
  // read, and ProtocolError (with the parser's wording) for a file that is
  // not one valid JSON text or nests deeper than kMaxDepth.
  static Json load_data_strict(const std::string& filename,
                               const std::optional<std::string>& base_dir = std::nullopt,
                               const std::string& encoding = "utf-8");
};

}  // namespace qelkit
