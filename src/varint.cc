#include "varint.h"

namespace vostrel {

std::optional<std::uint64_t> SliceCursor::read_varint(bool narrow) noexcept {
  const auto decoded = decode_varint(data_, pos_, narrow);
  if (!decoded) return std::nullopt;
  pos_ += decoded->length;
  return decoded->value;
}

std::optional<std::string_view> SliceCursor::read_length_prefixed_blob() noexcept {
  const auto length = decode_varint(data_, pos_, /*narrow=*/false);
  if (!length) return std::nullopt;
  // Compared as a subtraction from what remains, so a huge length cannot wrap.
  const std::size_t after_prefix = remaining() - length->length;
  if (length->value > after_prefix) return std::nullopt;
  const std::string_view blob =
      data_.substr(pos_ + length->length, static_cast<std::size_t>(length->value));
  pos_ += length->length + blob.size();
  return blob;
}

}  // namespace vostrel
