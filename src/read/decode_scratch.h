#pragma once
// Buffers reused while decoding many files, so that a walk over a whole
// directory allocates only when a block, key or record is larger than every
// one before it, and the walk's stop token (stop_token.h). One per iteration,
// shared by all the files it reads; neither file reader keeps anything in it
// between calls.

#include <string>
#include <string_view>
#include <vector>

#include "base/byte_buffer.h"
#include "format/compression.h"
#include "base/stop_token.h"
#include "format/record.h"
#include "io/mapped_file.h"

namespace vostrel {

class BlockAhead;

struct DecodeScratch {
  ByteBuffer stored;              // a table block or log block as copied out of its file
  ReadWindow window;              // a table's data blocks, read ahead as a walk goes through them
  DecompressBuffer decompressed;  // a compressed table block's contents
  std::string key;                // the table entry key being rebuilt
  std::string joined;             // a log record's fragments, joined
  StopToken stop;                 // the caller's way to end the walk early
  // Whether records carry their positions (RecordView::position); off, the
  // decoders compute none of it.
  bool positions = false;
  std::vector<LogFragment> fragments;  // a log record's physical records, with positions
  // A table walk's blocks read ahead on another thread (block_ahead.h), or
  // none: the walk reads them itself. Only for walks without positions.
  BlockAhead* ahead = nullptr;
  // A walk that wants only some of a table's records may pass over data
  // blocks: skip_block(lower, upper) is given the index keys on either side
  // of a block (every key in the block lies above lower and at or below
  // upper in the store's order: LevelDB's own seeks rely on it) and says
  // whether none of its records can matter to the walk. Not asked of a
  // table's first block (nothing bounds it below), nor while blocks are read
  // ahead. nullptr: every block is read.
  bool (*skip_block)(std::string_view lower, std::string_view upper) = nullptr;
};

}  // namespace vostrel
