// Input sources the front package hands to the engine: a Python binary
// file object, or a file the engine opens itself, under an optional
// decompressor.
//
// A source spec is the tuple (reader, codec, label[, offset[, encoding]]):
// reader None (open the path given beside it) or an object with readinto()
// or read(); codec None or a codec name of engine/decompress.hpp; label the
// name errors give the input; offset the input's byte the reader starts at
// (default 0, only without a codec); encoding None (UTF-8 as it is) or the
// iconv name of the text's encoding, converted to UTF-8 after
// decompression. The front package builds it; nothing else should.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/byte_source.hpp"
#include "engine/error.hpp"
#include "python/pyref.hpp"

namespace vornish {

class PyFileSource;

struct OpenedSource {
  std::shared_ptr<ByteSource> bytes;
  // The Python file object at the bottom, if any: it keeps the exception
  // its read raised.
  PyFileSource* python = nullptr;
  std::string label;
  // Read through a decompressor.
  bool decompressed = false;
  // Read through the transcoding stage.
  bool transcoded = false;
  // The file at the bottom when it is read from its path (not a file
  // object), and its size: progress through a decoder is told in its bytes.
  const FdSource* file = nullptr;
  std::uint64_t file_size = 0;
  // The input's byte the reader starts at: a remote file read from a row
  // start on.
  std::uint64_t offset = 0;
};

// Builds the source a spec names, with the interpreter lock held. Raises
// TypeError for a malformed spec and the file errors of open() when the
// path cannot be opened.
// With `threads` above 1, a compressed input made of independent pieces
// (BGZF, many zstd frames) is decoded on that many threads.
OpenedSource open_source(PyObject* spec, std::string_view path, std::size_t threads = 1);

// Raises the Python exception for a failure of a run that read `source`:
// the file object's own exception, ValueError naming the input for
// compressed data that does not decode, else the engine's usual error
// (`file_error`: the OSError subclass of the errno).
[[noreturn]] void raise_source_error(const OpenedSource& source, const VornishError& error,
                                     bool file_error);

// The front's _decoded_head() entry point.
PyMethodDef* decoded_head_method();

}  // namespace vornish
