#pragma once
// Buffers reused while decoding many files, so that a walk over a whole
// directory allocates only when a block, key or record is larger than every
// one before it. One per iteration, shared by all the files it reads; neither
// file reader keeps anything in it between calls.

#include <string>

#include "compression.h"

namespace vostrel {

struct DecodeScratch {
  DecompressBuffer decompressed;  // a compressed table block's contents
  std::string key;                // the table entry key being rebuilt
  std::string joined;             // a log record's fragments, joined
};

}  // namespace vostrel
